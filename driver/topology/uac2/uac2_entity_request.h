// What the class-2 entities share: the release-2.0 request codes and control selectors, one
// class request to an entity (CUR, RANGE or MEM, vendor controls included), the clocked-terminal
// interface the streaming walk asks for a terminal's clock, and the connector gate of the
// terminal extensions.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "driver/core/adapter_common.h"
#include "driver/topology/nodes/usb_entity_node.h"

// Everything the class-2 entities allocate: jack records, pin-type tables, the extended control
// map, temporary reply buffers and the nodes they build.
#define UAC2_ENTITY_POOL_TAG MAKE_POOL_TAG('U', 'A', '2', '0')

// Release-2.0 request codes; the direction comes from the transfer.
constexpr UCHAR UAC2_REQUEST_CUR = 0x01;
constexpr UCHAR UAC2_REQUEST_RANGE = 0x02;
constexpr UCHAR UAC2_REQUEST_MEM = 0x03;

// Entity subtypes of release 2.0 that release 1.0 numbers otherwise or lacks.
constexpr UCHAR UAC2_AC_EFFECT_UNIT = 0x07;
constexpr UCHAR UAC2_AC_PROCESSING_UNIT = 0x08;
constexpr UCHAR UAC2_AC_EXTENSION_UNIT = 0x09;
constexpr UCHAR UAC2_AC_CLOCK_SOURCE = 0x0A;
constexpr UCHAR UAC2_AC_CLOCK_SELECTOR = 0x0B;
constexpr UCHAR UAC2_AC_CLOCK_MULTIPLIER = 0x0C;
constexpr UCHAR UAC2_AC_SAMPLE_RATE_CONVERTER = 0x0D;

// wValue of the controls the entities address whole (selector << 8, channel 0).
constexpr USHORT UAC2_SAMPLING_FREQUENCY_VALUE = 0x0100; // clock source, u32 Hz
constexpr USHORT UAC2_SELECTED_INPUT_VALUE = 0x0100;     // selector unit, u8
constexpr USHORT UAC2_CLOCK_VALIDITY_VALUE = 0x0200;     // clock source, u8
constexpr USHORT UAC2_CONNECTOR_VALUE = 0x0200;          // terminals: 6 bytes, byte 1 the plugged channels
constexpr USHORT UAC2_JACK_BLOCK_VALUE = 0x02FF;         // terminals: JackInfoBlock
constexpr USHORT UAC2_TERMINAL_TYPE_VALUE = 0x0800;      // output terminal: CUR type, RANGE list

// Terminal control selectors a status report names.
constexpr ULONG UAC2_TERMINAL_CONNECTOR_SELECTOR = 2;
constexpr ULONG UAC2_TERMINAL_TYPE_SELECTOR = 8;

// One class request to entity EntityId, as Uac1EntityRequest. PASSIVE_LEVEL.
NTSTATUS Uac2EntityRequest(PUNKNOWN Device, BOOLEAN In, UCHAR Request, USHORT Value, UCHAR EntityId,
                           PVOID Buffer, ULONG Length, PULONG Received);
// A read that must bring exactly Length bytes (a shorter reply: STATUS_UNSUCCESSFUL). PASSIVE_LEVEL.
NTSTATUS Uac2EntityRead(PUNKNOWN Device, UCHAR Request, USHORT Value, UCHAR EntityId, PVOID Buffer,
                        ULONG Length);
// A write of Length bytes. PASSIVE_LEVEL.
NTSTATUS Uac2EntityWrite(PUNKNOWN Device, UCHAR Request, USHORT Value, UCHAR EntityId, const VOID* Buffer,
                         ULONG Length);

// Whether a terminal's bmControls (input terminal bytes 14-15, output terminal bytes 9-10)
// announce a readable connector control, which gates the jack and terminal-type extensions.
// False when the descriptor is too short to hold the field. Any IRQL.
BOOLEAN Uac2TerminalConnectorReadable(const UCHAR* Descriptor);

// {4F6D2C1B-88A0-4E35-9C7B-2D41E0A8C913}
DEFINE_GUID(IID_IClockedTerminal, 0x4F6D2C1B, 0x88A0, 0x4E35, 0x9C, 0x7B, 0x2D, 0x41, 0xE0, 0xA8, 0xC9, 0x13);

// The class-2 terminals name the clock source that times their samples. Implemented by
// CUac2InputTerminal and CUac2OutputTerminal; asked by the class-2 streaming walk. PASSIVE_LEVEL.
DECLARE_INTERFACE_(IClockedTerminal, IUnknown)
{
    // bCSourceID of the descriptor; a null pointer or another descriptor: STATUS_INVALID_PARAMETER.
    STDMETHOD_(NTSTATUS, GetClockSourceId)(PULONG Id) PURE;
};
typedef IClockedTerminal* PCLOCKEDTERMINAL;
