// CMiniportWaveCyclicStream: the USB stream's notifications. They run in its submission and
// completion paths at DISPATCH_LEVEL and move bytes between the transfers and the cyclic buffer
// under the stream spin lock, with plain copies and integer arithmetic only.
#include "driver/wave/miniport_wave_cyclic_stream.h"

#include "driver/core/spin_lock_hold.h"
#include "driver/wave/miniport_wave_cyclic.h"

namespace
{

inline ULONG MinBytes(ULONG a, ULONG b)
{
    return a < b ? a : b;
}

} // namespace

VOID CMiniportWaveCyclicStream::OnStreamNotification(PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Argument2);
    CMiniportWaveCyclicStream* pThis = static_cast<CMiniportWaveCyclicStream*>(Context);
    const StreamNotification* pNotification = static_cast<const StreamNotification*>(Argument1);
    if (!pThis || !pNotification || !pNotification->Client || !pThis->m_pClientRecord)
    {
        return;
    }
    const BOOLEAN active = pThis->m_pClientRecord->Active != 0;
    switch (pNotification->Code)
    {
    case StreamNotifyTransferDone:
        if (active)
        {
            pThis->OnTransferDone(pNotification);
        }
        break;
    case StreamNotifyConfigure:
        pThis->OnConfigure(pNotification);
        break;
    case StreamNotifyRenderData:
        if (active)
        {
            pThis->OnRenderData(pNotification);
        }
        break;
    case StreamNotifyCaptureData:
        if (active)
        {
            pThis->OnCaptureData(pNotification);
        }
        break;
    default:
        break;
    }
}

BOOLEAN CMiniportWaveCyclicStream::ClientLeadsAtOwnRate(const StreamClient* Leader) const
{
    return Leader->Format.Format.nAvgBytesPerSec == m_WaveFormat.Format.nAvgBytesPerSec;
}

VOID CMiniportWaveCyclicStream::OnTransferDone(const StreamNotification* Notification)
{
    const ULONG n = Notification->TransferDone.ByteCount;
    CSpinLockHold hold(&m_StreamLock);
    const ULONG own = ClientLeadsAtOwnRate(Notification->Client) ? n : m_PositionRate.Convert(n);
    if (m_nAllocatedSize)
    {
        m_nTransferPosition = ULONG((ULONGLONG(m_nTransferPosition) + own) % m_nAllocatedSize);
    }
    m_llTimeStamp = Now10us();
    if (m_bCapture)
    {
        m_nPendingBytes = own;
    }
    else if (m_nHistoryRead == m_nHistoryWrite)
    {
        m_nPendingBytes = 0;
    }
    else
    {
        m_nHistoryRead = (m_nHistoryRead + 1) % WAVE_STREAM_HISTORY;
        m_nPendingBytes = m_History[m_nHistoryRead];
    }
    PPORTWAVECYCLIC pPort = m_pMiniport ? m_pMiniport->GetPort() : nullptr;
    if (pPort)
    {
        pPort->Notify(m_pServiceGroup);
    }
}

// A new leader or a restart starts the bookkeeping again. The first render transfers are filled
// from the end of the cyclic buffer, so that the stack's first written bytes leave once the
// transfers in flight have gone; a lead longer than the buffer is taken modulo its size.
VOID CMiniportWaveCyclicStream::OnConfigure(const StreamNotification* Notification)
{
    const StreamClient* pLeader = Notification->Client;
    ULONG flags = Notification->Configure.FramesPerTransfer;
    const ULONG inFlight = Notification->Configure.TransfersInFlight;
    CSpinLockHold hold(&m_StreamLock);
    if (RtlCompareMemory(&pLeader->Format, &m_AnnouncedFormat, sizeof(m_AnnouncedFormat)) !=
        sizeof(m_AnnouncedFormat))
    {
        RtlCopyMemory(&m_AnnouncedFormat, &pLeader->Format, sizeof(m_AnnouncedFormat));
        flags |= STREAM_CONFIGURE_RESTART;
    }
    if (flags & STREAM_CONFIGURE_RESTART)
    {
        m_pConversionChain->Reset();
        m_pConversionChain->SetFormat(&pLeader->Format, &m_WaveFormat);
        m_nTransferPosition = 0;
        m_nLastPosition = 0;
        m_nPendingBytes = 0;
        RtlZeroMemory(m_History, sizeof(m_History));
        m_nHistoryRead = 0;
        m_nHistoryWrite = 0;
        m_nCopyOffset = 0;
        if (!m_bCapture && m_nAllocatedSize)
        {
            const ULONGLONG lead = ULONGLONG(m_WaveFormat.Format.nSamplesPerSec / 1000) *
                                   m_WaveFormat.Format.nBlockAlign * (flags & ~STREAM_CONFIGURE_RESTART) *
                                   inFlight;
            m_nCopyOffset = ULONG((m_nAllocatedSize - lead % m_nAllocatedSize) % m_nAllocatedSize);
        }
    }
    m_PositionRate.SetOwn(m_WaveFormat.Format.nAvgBytesPerSec);
    m_HistoryRate.SetOwn(m_WaveFormat.Format.nAvgBytesPerSec);
    m_CopyRate.SetOwn(m_WaveFormat.Format.nAvgBytesPerSec);
    if (!ClientLeadsAtOwnRate(pLeader))
    {
        m_PositionRate.SetClient(pLeader->Format.Format.nAvgBytesPerSec);
        m_HistoryRate.SetClient(pLeader->Format.Format.nAvgBytesPerSec);
        m_CopyRate.SetClient(pLeader->Format.Format.nAvgBytesPerSec);
    }
}

VOID CMiniportWaveCyclicStream::PushHistory(ULONG Bytes)
{
    if (m_nHistoryRead == m_nHistoryWrite)
    {
        m_nPendingBytes = Bytes;
    }
    m_History[m_nHistoryWrite] = Bytes;
    m_nHistoryWrite = (m_nHistoryWrite + 1) % WAVE_STREAM_HISTORY;
}

// Only this stream's own client's transfers carry its data; under another leader of the same
// byte rate the offset and positions still advance, so the data stays in step for a hand-back.
VOID CMiniportWaveCyclicStream::OnRenderData(const StreamNotification* Notification)
{
    PUCHAR pDestination = static_cast<PUCHAR>(Notification->Data.Buffer);
    const ULONGLONG length = Notification->Data.Length;
    const BOOLEAN copy = Notification->Client->Registration == m_pRegistrationKey;
    CSpinLockHold hold(&m_StreamLock);
    if (!ClientLeadsAtOwnRate(Notification->Client))
    {
        PushHistory(m_HistoryRate.Convert(ULONG(length)));
        return;
    }
    if (length >= m_nAllocatedSize || !m_pBuffer)
    {
        return;
    }
    const ULONG n = ULONG(length);
    if (copy && pDestination)
    {
        RingRead(pDestination, n);
    }
    m_nCopyOffset = (m_nCopyOffset + n) % m_nAllocatedSize;
    PushHistory(n);
}

// Captured bytes of another client's format would be noise in this pin's format: the pin gets
// silence of the same duration instead.
VOID CMiniportWaveCyclicStream::OnCaptureData(const StreamNotification* Notification)
{
    const UCHAR* pSource = static_cast<const UCHAR*>(Notification->Data.Buffer);
    const ULONGLONG length = Notification->Data.Length;
    const StreamClient* pLeader = Notification->Client;
    CSpinLockHold hold(&m_StreamLock);
    if (length >= m_nAllocatedSize || !m_pBuffer)
    {
        return;
    }
    const ULONG n = ULONG(length);
    const BOOLEAN own =
        pLeader->Registration == m_pRegistrationKey ||
        RtlCompareMemory(&pLeader->Format, &m_WaveFormat, sizeof(m_WaveFormat)) == sizeof(m_WaveFormat);
    if (own && pSource)
    {
        RingWrite(pSource, n);
        m_nCopyOffset = (m_nCopyOffset + n) % m_nAllocatedSize;
        return;
    }
    const ULONG silence = ClientLeadsAtOwnRate(pLeader) ? n : m_CopyRate.Convert(n);
    RingSilence(silence);
    m_nCopyOffset = ULONG((ULONGLONG(m_nCopyOffset) + silence) % m_nAllocatedSize);
}

// The ring helpers start at the copy offset and wrap at the end of the buffer; Bytes is below
// the buffer's size (RingSilence caps it there).
VOID CMiniportWaveCyclicStream::RingRead(PUCHAR Destination, ULONG Bytes)
{
    const ULONG first = MinBytes(Bytes, m_nAllocatedSize - m_nCopyOffset);
    RtlCopyMemory(Destination, m_pBuffer + m_nCopyOffset, first);
    RtlCopyMemory(Destination + first, m_pBuffer, Bytes - first);
}

VOID CMiniportWaveCyclicStream::RingWrite(const UCHAR* Source, ULONG Bytes)
{
    const ULONG first = MinBytes(Bytes, m_nAllocatedSize - m_nCopyOffset);
    RtlCopyMemory(m_pBuffer + m_nCopyOffset, Source, first);
    RtlCopyMemory(m_pBuffer, Source + first, Bytes - first);
}

VOID CMiniportWaveCyclicStream::RingSilence(ULONG Bytes)
{
    const UCHAR fill = m_WaveFormat.Format.wBitsPerSample == 8 ? 0x80 : 0;
    const ULONG bytes = MinBytes(Bytes, m_nAllocatedSize);
    const ULONG first = MinBytes(bytes, m_nAllocatedSize - m_nCopyOffset);
    RtlFillMemory(m_pBuffer + m_nCopyOffset, first, fill);
    RtlFillMemory(m_pBuffer, bytes - first, fill);
}
