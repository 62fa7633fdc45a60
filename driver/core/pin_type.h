// PinType: the code of a terminal's role (speaker, headphones, microphone, ...), which names
// the endpoint's wave subdevice and selects per-type behaviour.
#pragma once

#include "ntddk.h"

enum PinType : ULONG
{
    PIN_TYPE_STREAM = 0, // a streaming (USB) terminal, not a jack
    PIN_TYPE_SPK = 1,
    PIN_TYPE_HP = 2,
    PIN_TYPE_SPDIF = 3,
    PIN_TYPE_HDMI = 4,
    PIN_TYPE_DISPLAYPORT = 5,
    PIN_TYPE_LINE = 6,
    PIN_TYPE_MIC = 7,
    PIN_TYPE_AUX = 8,
    PIN_TYPE_CD = 9,
    PIN_TYPE_VIDEO = 10,
    PIN_TYPE_FMIC = 11,
    PIN_TYPE_TELEPHONE = 12,
    PIN_TYPE_HANDSET = 13,
    PIN_TYPE_HEADSET = 14,
    PIN_TYPE_SPEAKERPHONE = 15,
    PIN_TYPE_STEREOMIX = 16,
    PIN_TYPE_FHP = 17,
    PIN_TYPE_REC = 18, // a capture endpoint fed by several input terminals
};

constexpr ULONG PIN_TYPE_COUNT = 19;

// Name prefixes of the wave subdevices ("SPKOut00", "MicIn00"), indexed by PinType.
extern const PCWSTR PinTypeNames[PIN_TYPE_COUNT];
