// CMiniportWaveCyclic: the miniport behind the wave filter of one streaming endpoint. It turns
// the endpoint's offered formats into the filter's data ranges, describes the filter (a
// streaming pin, a bridge pin, one DAC or ADC node), answers data-range intersection and the
// two private wave properties, and creates the one stream that may be open at a time.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "ksmedia.h"

#include "driver/core/adapter_common.h"
#include "driver/core/miniport_subdevice_if.h"
#include "driver/core/stream_engine_if.h"
#include "driver/core/vendor_audio_props.h"

// The miniport, its descriptors and data ranges, and the wave stream object.
#define MINIPORT_WAVE_POOL_TAG MAKE_POOL_TAG('W', 'A', 'V', 'C')

// KSPROPSETID_VendorAudio ids the wave filter answers.
constexpr ULONG KSPROPERTY_VENDORAUDIO_ENDPOINT_CAPS = 1;
constexpr ULONG KSPROPERTY_VENDORAUDIO_FORMAT_SUPPORT = 5;

// Streaming pin 0 carries the audio; bridge pin 1 stands for the endpoint's terminal.
constexpr ULONG WAVE_PIN_STREAMING = 0;
constexpr ULONG WAVE_PIN_BRIDGE = 1;
constexpr ULONG WAVE_PIN_COUNT = 2;
constexpr ULONG WAVE_NODE_COUNT = 1;
constexpr ULONG WAVE_CONNECTION_COUNT = 2;
constexpr ULONG WAVE_CATEGORY_COUNT = 3;

// The subdevice name buffer: 51 characters; "<endpoint>Wave" is cut to fit 98 bytes.
constexpr ULONG WAVE_SUBDEVICE_NAME_BYTES = 102;
constexpr ULONG WAVE_SUBDEVICE_NAME_BOUND_BYTES = 98;

// Every intersection result is a KSDATAFORMAT followed by a WAVEFORMATEXTENSIBLE.
constexpr ULONG WAVE_INTERSECTION_BYTES = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);

// The filter's categories by direction; the third registers every wave filter under the
// enumeration interface as well.
extern const GUID g_WaveRenderCategories[WAVE_CATEGORY_COUNT];
extern const GUID g_WaveCaptureCategories[WAVE_CATEGORY_COUNT];
extern const PCAUTOMATION_TABLE g_WaveFilterAutomationTable;
extern const KSDATARANGE g_WaveBridgeDataRange;
extern const KSPIN_INTERFACE g_WaveStreamingInterface;

// PASSIVE_LEVEL. ClassId is not used.
NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN UnknownOuter,
                                  POOL_TYPE PoolType, ULONG EndpointIndex);

class CMiniportWaveCyclic : public IMiniportWaveCyclic,
                            public IMiniportSubdevice,
                            public IPowerNotify,
                            public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    CMiniportWaveCyclic(PUNKNOWN UnknownOuter, ULONG EndpointIndex);
    ~CMiniportWaveCyclic() override;

    // IMiniport, IMiniportWaveCyclic. PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* Description) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                          ULONG OutputBufferLength, PVOID ResultantFormat,
                          PULONG ResultantFormatLength) override;
    STDMETHODIMP_(NTSTATUS)
    Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) override;
    STDMETHODIMP_(NTSTATUS)
    NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
              BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
              PSERVICEGROUP* ServiceGroup) override;

    // IMiniportSubdevice. PASSIVE_LEVEL. FindPinId: *NodeId out; PinId is not used.
    STDMETHODIMP_(NTSTATUS) FindPinId(PULONG NodeId, PULONG PinId) override;
    STDMETHODIMP_(NTSTATUS) GetSubdeviceName(PWSTR* Name) override;

    // IPowerNotify. PASSIVE_LEVEL.
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override;

    // For the stream. PASSIVE_LEVEL. ValidateFormat finds the wave format inside DataFormat and
    // checks it against the endpoint's offers; *WaveFormat points into DataFormat.
    NTSTATUS ValidateFormat(PKSDATAFORMAT DataFormat, PWAVEFORMATEX* WaveFormat);
    VOID AddStreamRef();
    VOID ReleaseStreamRef();
    VOID SetStreamOpen(BOOLEAN Open) { m_bStreamOpen = Open ? 1 : 0; }
    // Any IRQL: the stream calls Notify on it from its transfer paths.
    PPORTWAVECYCLIC GetPort() const { return m_pPort; }
    IStreamEngine* GetStreamEngine() const { return m_pStreamEngine; }
    ULONG GetDevicePowerState() const { return m_nDevicePowerState; }
    ULONG GetDataRangeCount() const { return m_nDataRangeCount; }
    const KSDATARANGE_AUDIO* GetDataRanges() const { return m_pDataRanges; }

    // Property handlers of the filter's automation table. PASSIVE_LEVEL.
    static NTSTATUS WaveEndpointCapsHandler(PPCPROPERTY_REQUEST PropertyRequest);
    static NTSTATUS WaveFormatSupportHandler(PPCPROPERTY_REQUEST PropertyRequest);

private:
    NTSTATUS BuildDataRanges();
    NTSTATUS CollectRanges(ULONG FormatCount, GUID* SubFormats, KSDATARANGE_AUDIO* Ranges, PULONG RangeCount);
    NTSTATUS BuildFilterDescriptor();
    VOID BuildPins(BOOLEAN Capture);
    VOID BuildNodeAndConnections(BOOLEAN Capture);
    NTSTATUS BuildName();
    VOID FreeEverything();
    NTSTATUS IntersectWildcard(PKSDATARANGE_AUDIO Own, ULONG OutputBufferLength, PVOID ResultantFormat,
                               PULONG ResultantFormatLength);
    NTSTATUS IntersectSpecific(PKSDATARANGE_AUDIO Client, PKSDATARANGE_AUDIO Own, ULONG OutputBufferLength,
                               PVOID ResultantFormat, PULONG ResultantFormatLength);
    NTSTATUS FindOfferedFormat(PWAVEFORMATEXTENSIBLE Format);
    BOOLEAN OffersSubFormat(REFGUID SubFormat);

    PPCFILTER_DESCRIPTOR m_pFilterDescriptor;
    PPCPIN_DESCRIPTOR m_pPinDescriptors;
    PPCNODE_DESCRIPTOR m_pNodeDescriptors;
    PPCCONNECTION_DESCRIPTOR m_pConnectionDescriptors;
    PPORTWAVECYCLIC m_pPort;
    PWSTR m_pSubdeviceName;
    PADAPTERCOMMON m_pAdapterCommon;
    IStreamEngine* m_pStreamEngine;
    ULONG m_nEndpointIndex;
    ULONG volatile m_bStreamOpen;
    ULONG m_nDevicePowerState;
    KEVENT m_IdleEvent;
    LONG volatile m_nStreamCount;
    KSDATARANGE_AUDIO* m_pDataRanges;
    PKSDATARANGE* m_pDataRangePointers;
    ULONG m_nDataRangeCount;
};
