// Constant data of the topology miniport: the automation tables of the filter and of each node
// kind, how node kinds and pin types appear to KS, the node names, the pins' data range and
// the filter's categories.
#include "driver/topology/miniport/miniport_topology_tables.h"

#include "driver/core/device_extension.h"
#include "driver/core/pin_type.h"

namespace
{

constexpr ULONG kGet = PCPROPERTY_ITEM_FLAG_GET;
constexpr ULONG kSet = PCPROPERTY_ITEM_FLAG_SET;
constexpr ULONG kSupport = PCPROPERTY_ITEM_FLAG_BASICSUPPORT;

// ---- Property items ----
// Columns: set, id, verbs, handler.

const PCPROPERTY_ITEM FilterProperties[] = {
    {&KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_VERSION, kGet, PropertyHandlerVendorVersion},
    {&KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_JACKS, kGet | kSupport, PropertyHandlerVendorJack},
    {&KSPROPSETID_PinGuids, KSPROPERTY_PINGUIDS_GUIDS, kGet | kSupport, PropertyHandlerPinGuids},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, kGet | kSupport, PropertyHandlerJack},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, kGet | kSupport, PropertyHandlerJack},
};

const PCPROPERTY_ITEM VolumeNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kGet | kSet | kSupport, PropertyHandlerLevel},
    {&KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_LEVEL, kSet, PropertyHandlerLevel},
};

const PCPROPERTY_ITEM ToneNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, kGet | kSet | kSupport, PropertyHandlerLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MID, kGet | kSet | kSupport, PropertyHandlerLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_TREBLE, kGet | kSet | kSupport, PropertyHandlerLevel},
    {&KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_LEVEL, kSet, PropertyHandlerLevel},
};

const PCPROPERTY_ITEM MuteNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, kGet | kSet | kSupport, PropertyHandlerOnOff},
};

const PCPROPERTY_ITEM AgcNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_AGC, kGet | kSet | kSupport, PropertyHandlerOnOff},
};

const PCPROPERTY_ITEM LoudnessNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_LOUDNESS, kGet | kSet | kSupport, PropertyHandlerOnOff},
};

const PCPROPERTY_ITEM MuxNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, kGet | kSet, PropertyHandlerMuxSource},
};

const PCPROPERTY_ITEM SingleInputSelectorProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kGet | kSet | kSupport, PropertyHandlerDevSpecific},
};

const PCPROPERTY_ITEM DevSpecificNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kGet | kSet | kSupport, PropertyHandlerDevSpecific},
    {&KSPROPSETID_NodeName, KSPROPERTY_NODENAME_NAME, kGet, PropertyHandlerNodeName},
};

const PCPROPERTY_ITEM PinTypeSelectorProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kSet | kSupport, PropertyHandlerDevSpecific},
    {&KSPROPSETID_NodeName, KSPROPERTY_NODENAME_NAME, kGet, PropertyHandlerNodeName},
    {&KSPROPSETID_PinTypeSelector, KSPROPERTY_PINTYPESELECTOR_LIST, kGet, PropertyHandlerDevSpecific},
    {&KSPROPSETID_PinTypeSelector, KSPROPERTY_PINTYPESELECTOR_CURRENT, kGet, PropertyHandlerDevSpecific},
};

const PCPROPERTY_ITEM Kind20NodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kSet | kSupport, PropertyHandlerDevSpecific},
    {&KSPROPSETID_NodeName, KSPROPERTY_NODENAME_NAME, kGet, PropertyHandlerNodeName},
    {&KSPROPSETID_Kind20Node, 1, kGet, PropertyHandlerDevSpecific},
    {&KSPROPSETID_Kind20Node, 2, kGet, PropertyHandlerDevSpecific},
    {&KSPROPSETID_Kind20Node, 3, kSet, PropertyHandlerDevSpecific},
    {&KSPROPSETID_Kind20Node, 4, kGet, PropertyHandlerDevSpecific},
    {&KSPROPSETID_Kind20Node, 5, kGet, PropertyHandlerDevSpecific},
};

const PCPROPERTY_ITEM EffectNodeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kGet | kSet | kSupport, PropertyHandlerDevSpecific},
    {&KSPROPSETID_NodeName, KSPROPERTY_NODENAME_NAME, kGet, PropertyHandlerNodeName},
    {&KSPROPSETID_EffectNode, KSPROPERTY_EFFECTNODE_NAME, kGet, PropertyHandlerDevSpecific},
    {&KSPROPSETID_EffectNode, KSPROPERTY_EFFECTNODE_PARAMETER_COUNT, kGet, PropertyHandlerDevSpecific},
    {&KSPROPSETID_EffectNode, KSPROPERTY_EFFECTNODE_PARAMETER_INFO, kGet, PropertyHandlerDevSpecific},
    {&KSPROPSETID_EffectNode, KSPROPERTY_EFFECTNODE_PARAMETERS, kGet | kSet, PropertyHandlerDevSpecific},
};

// ---- Event items ----
// Columns: set, id, verbs, handler.

const PCEVENT_ITEM ControlChangeEvents[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE,
     PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT, ControlChangeEventHandler},
};

} // namespace

// ---- Automation tables ----

DEFINE_PCAUTOMATION_TABLE_PROP(FilterAutomation, FilterProperties);
DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(VolumeNodeAutomation, VolumeNodeProperties, ControlChangeEvents);
DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(ToneNodeAutomation, ToneNodeProperties, ControlChangeEvents);
DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(MuteNodeAutomation, MuteNodeProperties, ControlChangeEvents);
DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(AgcNodeAutomation, AgcNodeProperties, ControlChangeEvents);
DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(LoudnessNodeAutomation, LoudnessNodeProperties, ControlChangeEvents);
DEFINE_PCAUTOMATION_TABLE_PROP(MuxNodeAutomation, MuxNodeProperties);
DEFINE_PCAUTOMATION_TABLE_PROP(SingleInputSelectorAutomation, SingleInputSelectorProperties);
DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(DevSpecificNodeAutomation, DevSpecificNodeProperties,
                                     ControlChangeEvents);
DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(PinTypeSelectorAutomation, PinTypeSelectorProperties,
                                     ControlChangeEvents);
DEFINE_PCAUTOMATION_TABLE_PROP(Kind20NodeAutomation, Kind20NodeProperties);
DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(EffectNodeAutomation, EffectNodeProperties, ControlChangeEvents);

// ---- Node kinds as KS nodes ----
// Columns: kind, KS node type, automation table, name. Selectors and effect nodes are
// described in code; kinds missing here (terminals, clocks, 14, 21) are no KS nodes.

const TopologyNodeKindRow TopologyNodeKindRows[] = {
    {NODE_KIND_MUTE, &KSNODETYPE_MUTE, &MuteNodeAutomation, nullptr},
    {NODE_KIND_VOLUME, &KSNODETYPE_VOLUME, &VolumeNodeAutomation, nullptr},
    {NODE_KIND_MIXER, &KSNODETYPE_SUM, nullptr, nullptr},
    {NODE_KIND_AGC, &KSNODETYPE_AGC, &AgcNodeAutomation, nullptr},
    {NODE_KIND_LOUDNESS, &KSNODETYPE_LOUDNESS, &LoudnessNodeAutomation, nullptr},
    {NODE_KIND_INPUT_GAIN_PAD, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation,
     &NODENAME_INPUT_GAIN_PAD},
    {NODE_KIND_BASS, &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_BASS},
    {NODE_KIND_MID, &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_MIDRANGE},
    {NODE_KIND_TREBLE, &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_TREBLE},
    {NODE_KIND_PIN_TYPE_SELECTOR, &KSNODETYPE_DEV_SPECIFIC, &PinTypeSelectorAutomation,
     &NODENAME_PIN_TYPE_SELECTOR},
    {15, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODENAME_KIND15},
    {16, &KSNODETYPE_VOLUME, &VolumeNodeAutomation, &NODENAME_KIND16},
    {17, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODENAME_KIND17},
    {NODE_KIND_VENDOR_SWITCH, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODENAME_VENDOR_SWITCH},
    {19, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODENAME_VENDOR_SWITCH},
    {20, &KSNODETYPE_DEV_SPECIFIC, &Kind20NodeAutomation, &KSPROPSETID_Kind20Node},
    {NODE_KIND_VARIANT_A_SWITCH, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation,
     &NODENAME_VARIANT_A_SWITCH},
};
const ULONG TopologyNodeKindRowCount = ARRAYSIZE(TopologyNodeKindRows);

// ---- Pin types as KS pins ----
// Columns: category, name; row n is PinType n. Rec (18) is no pin.

const TopologyPinTypeRow TopologyPinTypeRows[] = {
    {&KSCATEGORY_AUDIO, nullptr},                              // Stream
    {&KSNODETYPE_SPEAKER, nullptr},                            // SPK
    {&KSNODETYPE_HEADPHONES, nullptr},                         // HP
    {&KSNODETYPE_SPDIF_INTERFACE, nullptr},                    // SPDIF: named by direction
    {&KSNODETYPE_HDMI_INTERFACE, &PINNAME_HDMI},               // HDMI
    {&KSNODETYPE_DISPLAYPORT_INTERFACE, &PINNAME_DISPLAYPORT}, // DisplayPort
    {&KSNODETYPE_LINE_CONNECTOR, nullptr},                     // Line
    {&KSNODETYPE_MICROPHONE, nullptr},                         // Mic
    {&KSNODETYPE_ANALOG_CONNECTOR, &PINNAME_AUX},              // Aux
    {&KSNODETYPE_CD_PLAYER, nullptr},                          // CD
    {&KSNODETYPE_VIDEO_DISC_AUDIO, nullptr},                   // Video
    {&KSNODETYPE_DESKTOP_MICROPHONE, nullptr},                 // FMic
    {&KSNODETYPE_TELEPHONE, nullptr},                          // Telephone
    {&KSNODETYPE_HANDSET, nullptr},                            // HandSet
    {&KSNODETYPE_HEADSET, nullptr},                            // HeadSet
    {&KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, nullptr},     // Speakerphone
    {&KSNODETYPE_ANALOG_CONNECTOR, &PINNAME_STEREO_MIX},       // StereoMix
    {&KSNODETYPE_HEADPHONES, nullptr},                         // FHP
};
const ULONG TopologyPinTypeRowCount = ARRAYSIZE(TopologyPinTypeRows);
static_assert(ARRAYSIZE(TopologyPinTypeRows) == PIN_TYPE_REC, "one row per pin type below Rec");

// ---- Node names ----
// Columns: kind, name the node-name property answers.

const TopologyNodeNameRow TopologyNodeNameRows[] = {
    {NODE_KIND_INPUT_GAIN_PAD, &NODENAME_INPUT_GAIN_PAD},
    {NODE_KIND_PIN_TYPE_SELECTOR, &NODENAME_PIN_TYPE_SELECTOR},
    {15, &NODENAME_KIND15},
    {17, &NODENAME_KIND17},
    {NODE_KIND_VENDOR_SWITCH, &NODENAME_VENDOR_SWITCH},
    {19, &NODENAME_VENDOR_SWITCH},
    {20, &KSPROPSETID_Kind20Node},
    {NODE_KIND_VARIANT_A_SWITCH, &NODENAME_VARIANT_A_SWITCH},
    {NODE_KIND_EFFECT, &KSPROPSETID_EffectNode},
};
const ULONG TopologyNodeNameRowCount = ARRAYSIZE(TopologyNodeNameRows);

// ---- Pins and filter ----

namespace
{

// Writable because KSPIN_DESCRIPTOR points at non-const ranges; nothing writes it.
KSDATARANGE PinDataRangeAnalog = {{
    sizeof(KSDATARANGE),         // FormatSize
    0,                           // Flags
    0,                           // SampleSize
    0,                           // Reserved
    KSDATAFORMAT_TYPE_AUDIO,     // MajorFormat
    KSDATAFORMAT_SUBTYPE_ANALOG, // SubFormat
    KSDATAFORMAT_SPECIFIER_NONE, // Specifier
}};

} // namespace

const PKSDATARANGE TopologyPinDataRanges[] = {&PinDataRangeAnalog};
const ULONG TopologyPinDataRangeCount = ARRAYSIZE(TopologyPinDataRanges);

const GUID TopologyFilterCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY,
                                         GUID_DEVINTERFACE_ENUM_PRIVATE};
const ULONG TopologyFilterCategoryCount = ARRAYSIZE(TopologyFilterCategories);
