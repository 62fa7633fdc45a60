// Constant data of the wave-cyclic miniport: filter categories, the private property items,
// the bridge pin's analog range and the streaming pin's interface.
#include "driver/wave/miniport_wave_cyclic.h"

#include "driver/core/device_extension.h"

const GUID g_WaveRenderCategories[WAVE_CATEGORY_COUNT] = {
    KSCATEGORY_AUDIO,
    KSCATEGORY_RENDER,
    GUID_DEVINTERFACE_ENUM_PRIVATE,
};

const GUID g_WaveCaptureCategories[WAVE_CATEGORY_COUNT] = {
    KSCATEGORY_AUDIO,
    KSCATEGORY_CAPTURE,
    GUID_DEVINTERFACE_ENUM_PRIVATE,
};

// Set, id, verbs, handler
static const PCPROPERTY_ITEM g_WavePropertyItems[] = {
    {&KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_ENDPOINT_CAPS, KSPROPERTY_TYPE_GET,
     CMiniportWaveCyclic::WaveEndpointCapsHandler},
    {&KSPROPSETID_VendorAudio, KSPROPERTY_VENDORAUDIO_FORMAT_SUPPORT, KSPROPERTY_TYPE_SET,
     CMiniportWaveCyclic::WaveFormatSupportHandler},
};

DEFINE_PCAUTOMATION_TABLE_PROP(g_WaveFilterAutomationTable, g_WavePropertyItems);

// The bridge pin carries no data: it only ties the filter to the topology filter's terminal.
const KSDATARANGE g_WaveBridgeDataRange = {{
    sizeof(KSDATARANGE),         // FormatSize
    0,                           // Flags
    0,                           // SampleSize
    0,                           // Reserved
    KSDATAFORMAT_TYPE_AUDIO,     // MajorFormat
    KSDATAFORMAT_SUBTYPE_ANALOG, // SubFormat
    KSDATAFORMAT_SPECIFIER_NONE, // Specifier
}};

const KSPIN_INTERFACE g_WaveStreamingInterface = {
    {{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}}};
