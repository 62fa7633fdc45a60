// What `uacsim topology` prints about a started device: the topology filter's pins, nodes and
// connections, the endpoints' wave subdevices and format lists, every node's value and range,
// and the jacks.
#pragma once

#include "ntddk.h"
#include "ksmedia.h"

#include <cstdio>
#include <string>

namespace uacsim
{

// Each section reads the device the way the audio stack would (through the filter's handle),
// except the endpoint list, which no filter describes. False when the topology filter could not
// be read.
bool PrintTopologyFilter(PDEVICE_OBJECT Pdo, std::FILE* Out, std::FILE* Err);
void PrintWaveSubdevices(PDEVICE_OBJECT Fdo, std::FILE* Out);
bool PrintNodeValues(PDEVICE_OBJECT Pdo, std::FILE* Out, std::FILE* Err);
bool PrintJacks(PDEVICE_OBJECT Pdo, std::FILE* Out, std::FILE* Err);

// The effect a node's name GUID names on the effects model ("delay" or "virtualiser"), or null.
const char* EffectNodeName(const GUID& Name);

// Everything of a format-list entry but its rate ("2 ch, 16-bit (16 valid), PCM (0x0001), mask
// 0x3"); entries that share it print as one line with their rates.
std::string FormatShape(const WAVEFORMATEXTENSIBLE& Format);

} // namespace uacsim
