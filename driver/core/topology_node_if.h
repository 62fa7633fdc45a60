// ITopologyNode and the node interfaces: how the rest of the driver reads and changes the
// topology graph (node ids, kinds, sources) and the state each kind of node keeps (on/off
// values, levels, pin types and jacks, selector inputs, clock rates, effects), with the node
// kind codes and the jack record that terminal nodes keep.
#pragma once

#include "ntddk.h"
#include "portcls.h"

struct _CALLBACK_OBJECT;
typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;

// Kind code of a node (GetKind). Entity objects report their descriptor subtype instead.
// The topology miniport maps kinds to KS node types, including kinds no node class builds.
enum NodeKind : ULONG
{
    NODE_KIND_INPUT_TERMINAL = 0, // also a mixer node in pin mode
    NODE_KIND_OUTPUT_TERMINAL = 1,
    NODE_KIND_MUTE = 2,
    NODE_KIND_VOLUME = 3,
    NODE_KIND_SELECTOR = 4,
    NODE_KIND_MIXER = 5,
    NODE_KIND_AGC = 6,
    NODE_KIND_LOUDNESS = 7,
    NODE_KIND_INPUT_GAIN_PAD = 8,
    NODE_KIND_BASS = 9,
    NODE_KIND_MID = 10,
    NODE_KIND_TREBLE = 11,
    NODE_KIND_CLOCK_SOURCE = 12,
    NODE_KIND_PIN_TYPE_SELECTOR = 13,
    NODE_KIND_VENDOR_SWITCH = 18,
    NODE_KIND_VARIANT_A_SWITCH = 22,
    NODE_KIND_EFFECT = 23,
};

// One jack of a terminal: nine 32-bit words. The first six carry the values of the
// KSJACK_DESCRIPTION fields of the same names.
struct JackRecord
{
    ULONG ChannelMapping;
    ULONG Color;
    ULONG ConnectionType;
    ULONG GeoLocation;
    ULONG GenLocation;
    ULONG PortConnection;
    ULONG Flags;       // JACK_FLAG_*
    ULONG IsConnected; // non-zero while something is plugged in
    ULONG Reserved;
};
static_assert(sizeof(JackRecord) == 36, "JackRecord is 36 bytes");
static_assert(offsetof(JackRecord, Color) == 4 && offsetof(JackRecord, PortConnection) == 20 &&
                  offsetof(JackRecord, Flags) == 24 && offsetof(JackRecord, IsConnected) == 28 &&
                  offsetof(JackRecord, Reserved) == 32,
              "JackRecord field offsets are fixed");

// The jack cannot detect presence; IsConnected is not a measurement.
constexpr ULONG JACK_FLAG_NO_PRESENCE_DETECT = 0x00000001;

// A terminal has at most this many pin types.
constexpr ULONG TERMINAL_MAX_PIN_TYPES = 5;
// A clock source node holds at most this many rates.
constexpr ULONG CLOCK_MAX_SAMPLE_RATES = 30;

// {200AFF7F-71A4-4FFC-BF4F-61F2B8A522B5}
DEFINE_GUID(IID_ITopologyNode, 0x200AFF7F, 0x71A4, 0x4FFC, 0xBF, 0x4F, 0x61, 0xF2, 0xB8, 0xA5, 0x22, 0xB5);
// {540C5664-4620-4FDB-9B81-7E2145D95BE3}
DEFINE_GUID(IID_ITerminalNode, 0x540C5664, 0x4620, 0x4FDB, 0x9B, 0x81, 0x7E, 0x21, 0x45, 0xD9, 0x5B, 0xE3);
// {8EDE1D42-90E4-4B08-96EF-7CBBC472F9ED}
DEFINE_GUID(IID_IBooleanControl, 0x8EDE1D42, 0x90E4, 0x4B08, 0x96, 0xEF, 0x7C, 0xBB, 0xC4, 0x72, 0xF9, 0xED);
// {B0446B44-06EB-403F-8B78-E1E963DEA3CD}
DEFINE_GUID(IID_ILevelControl, 0xB0446B44, 0x06EB, 0x403F, 0x8B, 0x78, 0xE1, 0xE9, 0x63, 0xDE, 0xA3, 0xCD);
// {03449A8C-92DC-45CA-859F-AC21AD70C59F}
DEFINE_GUID(IID_IPinTypeSink, 0x03449A8C, 0x92DC, 0x45CA, 0x85, 0x9F, 0xAC, 0x21, 0xAD, 0x70, 0xC5, 0x9F);
// {524FA5C2-9FBF-4FC8-B8D2-DC302DEDB0DF}
DEFINE_GUID(IID_ISelectorNode, 0x524FA5C2, 0x9FBF, 0x4FC8, 0xB8, 0xD2, 0xDC, 0x30, 0x2D, 0xED, 0xB0, 0xDF);
// {9E3FB612-FCD2-4C51-88BA-B1BD3734F1B5}
DEFINE_GUID(IID_IMixerNode, 0x9E3FB612, 0xFCD2, 0x4C51, 0x88, 0xBA, 0xB1, 0xBD, 0x37, 0x34, 0xF1, 0xB5);
// {DC7604D8-C1F4-4EA1-818C-F744191B5B18}
DEFINE_GUID(IID_IPinTypeSelector, 0xDC7604D8, 0xC1F4, 0x4EA1, 0x81, 0x8C, 0xF7, 0x44, 0x19, 0x1B, 0x5B, 0x18);
// {E1A6E8A0-3C43-4950-901B-9E84F6C3C2EC}
DEFINE_GUID(IID_IClockSourceNode, 0xE1A6E8A0, 0x3C43, 0x4950, 0x90, 0x1B, 0x9E, 0x84, 0xF6, 0xC3, 0xC2, 0xEC);
// {34480E1C-F752-41EE-81AE-70174C8FB3B3}
DEFINE_GUID(IID_IEffectNode, 0x34480E1C, 0xF752, 0x41EE, 0x81, 0xAE, 0x70, 0x17, 0x4C, 0x8F, 0xB3, 0xB3);
// {D31296ED-008B-4C8C-A239-4E6B322E9626}
DEFINE_GUID(IID_IConnectionIndexSync, 0xD31296ED, 0x008B, 0x4C8C, 0xA2, 0x39, 0x4E, 0x6B, 0x32, 0x2E, 0x96,
            0x26);

// Every node object: implemented by CTopologyNode and extended by the node and entity classes.
// Called by the device base (lists, RestoreNodeValues, BuildConnections), the descriptor
// walks, the stream objects and the topology miniport. PASSIVE_LEVEL.
DECLARE_INTERFACE_(ITopologyNode, IUnknown)
{
    STDMETHOD_(ULONG, GetId)() PURE;
    STDMETHOD_(ULONG, GetKind)() PURE;
    STDMETHOD_(ULONG, GetSourceCount)() PURE;
    // Count: in, room for ids; out, ids copied.
    STDMETHOD_(NTSTATUS, GetSourceIdList)(PULONG Count, PULONG Ids) PURE;
    // Writes the node's cached values to the device.
    STDMETHOD_(NTSTATUS, RestoreValues)() PURE;
    // Re-reads the node's values from the device and saves them.
    STDMETHOD_(NTSTATUS, SaveValues)() PURE;
    STDMETHOD_(NTSTATUS, Start)() PURE;
    STDMETHOD_(NTSTATUS, Stop)() PURE;
    STDMETHOD_(NTSTATUS, SetSourceIdList)(ULONG Count, const ULONG* Ids) PURE;
};
typedef ITopologyNode* PTOPOLOGYNODE;

// Terminal nodes (and mixer nodes in pin mode): CTerminalNode and its classes, the terminal
// entities. Read by the stream objects, the wave miniport and the topology miniport. Each
// terminal class adds its own Init, with arguments of its own, after these slots.
DECLARE_INTERFACE_(ITerminalNode, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetPinType)(PULONG PinType) PURE;
    STDMETHOD_(NTSTATUS, GetPinTypeCount)(PULONG Count) PURE;
    STDMETHOD_(NTSTATUS, GetJackCount)(PULONG Count) PURE;
    // Types: room for TERMINAL_MAX_PIN_TYPES entries.
    STDMETHOD_(NTSTATUS, GetPinTypes)(PULONG Types) PURE;
    STDMETHOD_(NTSTATUS, SetPinType)(ULONG PinType) PURE;
    // Copies the smaller of Bytes and the jack count x sizeof(JackRecord).
    STDMETHOD_(NTSTATUS, GetJackDescriptions)(ULONG Bytes, PVOID Records) PURE;
    // Copies the two pin GUIDs (32 bytes).
    STDMETHOD_(NTSTATUS, GetPinGuids)(PVOID Guids) PURE;
};

// Nodes that follow a terminal's pin type (control nodes): told by the pin-type selector.
DECLARE_INTERFACE_(IPinTypeSink, IUnknown)
{
    STDMETHOD_(NTSTATUS, SetPinType)(ULONG PinType, PCALLBACK_OBJECT Notify) PURE;
};

// On/off nodes (mute, AGC, loudness, vendor switches): CBooleanNode and the control nodes.
// Called by the topology property handlers and the node builders.
DECLARE_INTERFACE_(IBooleanControl, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetValue)(ULONG Channel, PUCHAR Value) PURE;
    STDMETHOD_(NTSTATUS, SetValue)(ULONG Channel, UCHAR Value) PURE;
    STDMETHOD_(NTSTATUS, GetChannelCount)(PULONG Count) PURE;
    STDMETHOD_(NTSTATUS, Init)(ULONG SourceId, ULONG ChannelCount) PURE;
};

// Ranged nodes (volume, input gain pad, tone): CLevelNode and the control nodes. Levels are in
// 1/65536 dB; channel 0 is the master channel, 1 to the channel count the channels.
DECLARE_INTERFACE_(ILevelControl, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetLevel)(ULONG Channel, PLONG Level) PURE;
    STDMETHOD_(NTSTATUS, SetLevel)(ULONG Channel, LONG Level) PURE;
    STDMETHOD_(NTSTATUS, GetRange)(PLONG Maximum, PLONG Minimum, PLONG Step) PURE;
    STDMETHOD_(NTSTATUS, GetChannelCount)(PULONG Count) PURE;
    STDMETHOD_(NTSTATUS, Init)
    (ULONG SourceId, ULONG ChannelCount, LONG Maximum, LONG Minimum, LONG Step) PURE;
};

// Nodes whose processing depends on which input a downstream selector selects.
DECLARE_INTERFACE_(IConnectionIndexSync, IUnknown)
{
    STDMETHOD_(NTSTATUS, Spare)() PURE;
    // The input the selector currently selects; passed on after every change.
    STDMETHOD_(NTSTATUS, SetExpectedIndex)(ULONG Index) PURE;
    // The selector input through which this node's path reaches it.
    STDMETHOD_(NTSTATUS, SetWalkIndex)(ULONG Index) PURE;
};

// Selector nodes and entities: CSelectorNode. Inputs are numbered from 1 to the source count.
DECLARE_INTERFACE_(ISelectorNode, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetSelectedInput)(PULONG Input) PURE;
    STDMETHOD_(NTSTATUS, SetSelectedInput)(ULONG Input) PURE;
    STDMETHOD_(NTSTATUS, GetInputCount)(PULONG Count) PURE;
    STDMETHOD_(NTSTATUS, AddSelectorSink)(IConnectionIndexSync * Sink) PURE;
};

// Mixer nodes: in pin mode the node reports kind 0, no sources, and answers ITerminalNode.
DECLARE_INTERFACE_(IMixerNode, IUnknown)
{
    STDMETHOD_(NTSTATUS, SetPinMode)(UCHAR On) PURE;
};

// The pin-type choice of an output terminal: CPinTypeSelectorNode. Tells its sinks of a change.
DECLARE_INTERFACE_(IPinTypeSelector, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetPinType)(PULONG PinType) PURE;
    STDMETHOD_(NTSTATUS, GetPinTypeCount)(PULONG Count) PURE;
    STDMETHOD_(NTSTATUS, GetPinTypes)(PULONG Types) PURE;
    STDMETHOD_(NTSTATUS, SetPinType)(ULONG PinType) PURE;
    // The changed flag itself, not a status.
    STDMETHOD_(ULONG, IsPinTypeChanged)() PURE;
    STDMETHOD_(NTSTATUS, ClearPinTypeChanged)() PURE;
    STDMETHOD_(NTSTATUS, AddPinTypeSink)(IPinTypeSink * Sink) PURE;
    STDMETHOD_(NTSTATUS, Init)(ULONG SourceId, ULONG Count, const ULONG* PinTypes) PURE;
};

// Class-2 clock sources: CClockNode and the clock-source entity; rates in Hz.
DECLARE_INTERFACE_(IClockSourceNode, IUnknown)
{
    // Count: in, room for rates; out, rates copied.
    STDMETHOD_(NTSTATUS, GetSampleRates)(PULONG Count, PULONG Rates) PURE;
    STDMETHOD_(NTSTATUS, GetSampleRateCount)(PULONG Count) PURE;
    STDMETHOD_(NTSTATUS, SetSampleRate)(ULONG Rate) PURE;
    STDMETHOD_(NTSTATUS, GetSampleRate)(PULONG Rate) PURE;
    STDMETHOD_(NTSTATUS, IsClockValid)(PUCHAR Valid) PURE;
    STDMETHOD_(NTSTATUS, Init)(ULONG Count, const ULONG* Rates) PURE;
};

// Effect nodes: CEffectNode and the effect-control nodes. Called by the topology miniport's
// property handlers.
DECLARE_INTERFACE_(IEffectNode, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetNameGuid)(GUID * Name) PURE;
    STDMETHOD_(NTSTATUS, SetEnable)(UCHAR Enable) PURE;
    STDMETHOD_(NTSTATUS, GetEnable)(PUCHAR Enable) PURE;
    STDMETHOD_(NTSTATUS, GetParameterCount)(PULONG Count) PURE;
    STDMETHOD_(NTSTATUS, GetParameters)(ULONG First, ULONG Count, PULONG Values) PURE;
    STDMETHOD_(NTSTATUS, SetParameters)(ULONG First, ULONG Count, const ULONG* Values) PURE;
    STDMETHOD_(NTSTATUS, Spare)() PURE;
    STDMETHOD_(NTSTATUS, Init)(ULONG SourceId) PURE;
};
