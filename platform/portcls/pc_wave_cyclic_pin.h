// One pin instance of a WaveCyclic filter: the miniport's stream behind a pin handle, its DMA
// channel and service group, the KS state the audio stack stepped it to, and the requests sent
// on the handle (state, data format, position). The pin is the service sink the port adds to
// the stream's group, so the stream's notifications end in its RequestService.
#pragma once

#include "pc_wave.h"
#include "plat_portcls.h"

#include <vector>

namespace plat
{
namespace pc
{

class CPortPinWaveCyclic : public IServiceSink, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CPortPinWaveCyclic(PUNKNOWN Outer);
    ~CPortPinWaveCyclic() override;

    // PASSIVE_LEVEL. NewStream on the miniport with the pin's format, the notification
    // interval, and membership in the stream's service group. On failure nothing is kept.
    NTSTATUS Open(PMINIPORTWAVECYCLIC Miniport, ULONG PinId, BOOLEAN Capture,
                  const std::vector<UCHAR>& Format);
    // PASSIVE_LEVEL. Steps the stream down to STOP, leaves its group and lets it go; the pin
    // refuses its requests afterwards. Idempotent.
    void Close();
    bool IsOpen() const { return m_pStream != nullptr; }
    ULONG PinId() const { return m_PinId; }

    // PASSIVE_LEVEL. IOCTL_KS_PROPERTY on the pin's handle; sets Information.
    NTSTATUS DeviceControl(PIRP Irp);
    void Describe(PcPinView* View);

    // IServiceSink. DISPATCH_LEVEL, in the port's service DPC: the stream's position moved.
    STDMETHODIMP_(void) RequestService() override;

private:
    NTSTATUS StepTo(KSSTATE Target);
    NTSTATUS StateProperty(ULONG Verb, PVOID Value, ULONG ValueLength, PIRP Irp);
    NTSTATUS FormatProperty(ULONG Verb, PVOID Value, ULONG ValueLength, PIRP Irp);
    NTSTATUS PositionProperty(ULONG Verb, PVOID Value, ULONG ValueLength, PIRP Irp);
    void ReleaseStream();
    void SilenceBuffer();

    ULONG m_PinId;
    BOOLEAN m_bCapture;
    PMINIPORTWAVECYCLICSTREAM m_pStream; // referenced while open
    PDMACHANNEL m_pDma;                  // referenced while open
    PSERVICEGROUP m_pGroup;              // referenced while open; may be null
    volatile LONG m_State;               // KSSTATE; read by the service DPC
    ULONG m_FramingSize;
    std::vector<UCHAR> m_Format; // the connection's KSDATAFORMAT as the stream last took it
    volatile LONG m_ServiceCount;
    volatile LONG m_ServicedPosition;
    volatile LONG m_ServiceIrql;
};

} // namespace pc
} // namespace plat
