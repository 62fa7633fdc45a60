// CUac2ClockSource: the sampling-frequency and validity requests of a class-2 clock source and
// its clock node.
#include "driver/topology/uac2/uac2_clock_source.h"

#include "usbaudio.h"
#include "driver/topology/nodes/clock_source_node.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/uac2/uac2_entity_request.h"

namespace
{

constexpr ULONG CS_CLOCK_ID_OFFSET = 3;
constexpr ULONG CS_MIN_BYTES = 8;

// A sampling-frequency RANGE reply: u16 wNumSubRanges, then per sub-range u32 dMIN, dMAX, dRES.
constexpr ULONG RANGE_HEAD_BYTES = 2;
constexpr ULONG RANGE_SUBRANGE_BYTES = 12;
constexpr ULONG RANGE_FIRST_BYTES = RANGE_HEAD_BYTES + RANGE_SUBRANGE_BYTES;
// The count travels in 16 bits, and so does the length of the request that reads them all.
constexpr ULONG RANGE_MAX_SUBRANGES = (0xFFFF - RANGE_HEAD_BYTES) / RANGE_SUBRANGE_BYTES;

ULONG ReadUlong(const UCHAR* Bytes)
{
    return ULONG(Bytes[0]) | ULONG(Bytes[1]) << 8 | ULONG(Bytes[2]) << 16 | ULONG(Bytes[3]) << 24;
}

} // namespace

STDMETHODIMP_(NTSTATUS) CUac2ClockSource::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(InterfaceId, Interface)))
    {
        return STATUS_SUCCESS;
    }
    if (!IsEqualGUIDAligned(InterfaceId, IID_IClockSourceNode))
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Interface = PVOID(static_cast<IClockSourceNode*>(this));
    AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CUac2ClockSource::Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    return Uac1InitEntity(this, Descriptor, Length, Device, AdapterCommon, UAC2_AC_CLOCK_SOURCE,
                          [&]() -> NTSTATUS
                          {
                              m_pDeviceLock = DeviceLock;
                              return BuildClockNode(AdapterCommon);
                          });
}

STDMETHODIMP_(NTSTATUS) CUac2ClockSource::Init(ULONG Count, const ULONG* Rates)
{
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CUac2ClockSource::GetSampleRateCount(PULONG Count)
{
    PAGED_CODE();
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR reply[RANGE_FIRST_BYTES] = {};
    ULONG received = 0;
    NTSTATUS status = Uac2EntityRequest(m_pDevice, TRUE, UAC2_REQUEST_RANGE, UAC2_SAMPLING_FREQUENCY_VALUE,
                                        ClockId(), reply, sizeof(reply), &received);
    if (NT_SUCCESS(status) && received < RANGE_HEAD_BYTES)
    {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status))
    {
        *Count = ULONG(reply[0] | reply[1] << 8);
    }
    return status;
}

// The count is asked first, then every sub-range in one reply. Only the sub-ranges the device
// really sent are read, whatever count it announced.
STDMETHODIMP_(NTSTATUS) CUac2ClockSource::GetSampleRates(PULONG Count, PULONG Rates)
{
    PAGED_CODE();
    if (!Count || (*Count && !Rates))
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG announced = 0;
    NTSTATUS status = GetSampleRateCount(&announced);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG wanted = *Count < announced ? *Count : announced;
    wanted = wanted < RANGE_MAX_SUBRANGES ? wanted : RANGE_MAX_SUBRANGES;
    *Count = 0;
    if (wanted == 0)
    {
        return announced ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    ULONG bytes = wanted * RANGE_SUBRANGE_BYTES + RANGE_HEAD_BYTES;
    PUCHAR pReply = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, UAC2_ENTITY_POOL_TAG));
    if (!pReply)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pReply, bytes);
    ULONG received = 0;
    status = Uac2EntityRequest(m_pDevice, TRUE, UAC2_REQUEST_RANGE, UAC2_SAMPLING_FREQUENCY_VALUE, ClockId(),
                               pReply, bytes, &received);
    ULONG sent = NT_SUCCESS(status) && received >= RANGE_HEAD_BYTES
                     ? (received - RANGE_HEAD_BYTES) / RANGE_SUBRANGE_BYTES
                     : 0;
    sent = sent < wanted ? sent : wanted;
    ULONG kept = 0;
    BOOLEAN leftOut = FALSE;
    for (ULONG i = 0; i < sent; i++)
    {
        const UCHAR* pRange = pReply + RANGE_HEAD_BYTES + i * RANGE_SUBRANGE_BYTES;
        ULONG minimum = ReadUlong(pRange);
        ULONG maximum = ReadUlong(pRange + 4);
        ULONG resolution = ReadUlong(pRange + 8);
        if (minimum == maximum && resolution == 0 && maximum != 0)
        {
            Rates[kept++] = maximum;
        }
        else
        {
            leftOut = TRUE;
        }
    }
    ExFreePoolWithTag(pReply, UAC2_ENTITY_POOL_TAG);
    if (NT_SUCCESS(status) && kept == 0)
    {
        DbgPrint("CUac2ClockSource: clock source %u offers no single sampling frequency (%u of %u sub-ranges "
                 "received%s)\n",
                 ULONG(ClockId()), sent, announced, leftOut ? ", only continuous or stepped ones" : "");
        status = STATUS_INVALID_PARAMETER;
    }
    else if (leftOut)
    {
        DbgPrint("CUac2ClockSource: clock source %u lists continuous or stepped sampling-frequency ranges; "
                 "they are left out and its %u single rates are offered\n",
                 ULONG(ClockId()), kept);
    }
    *Count = kept;
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac2ClockSource::SetSampleRate(ULONG Rate)
{
    PAGED_CODE();
    UCHAR data[4] = {UCHAR(Rate), UCHAR(Rate >> 8), UCHAR(Rate >> 16), UCHAR(Rate >> 24)};
    return Uac2EntityWrite(m_pDevice, UAC2_REQUEST_CUR, UAC2_SAMPLING_FREQUENCY_VALUE, ClockId(), data,
                           sizeof(data));
}

STDMETHODIMP_(NTSTATUS) CUac2ClockSource::GetSampleRate(PULONG Rate)
{
    PAGED_CODE();
    if (!Rate)
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR data[4] = {};
    NTSTATUS status = Uac2EntityRead(m_pDevice, UAC2_REQUEST_CUR, UAC2_SAMPLING_FREQUENCY_VALUE, ClockId(),
                                     data, sizeof(data));
    if (NT_SUCCESS(status))
    {
        *Rate = ReadUlong(data);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUac2ClockSource::IsClockValid(PUCHAR Valid)
{
    PAGED_CODE();
    if (!Valid)
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR data = 0;
    NTSTATUS status = Uac2EntityRead(m_pDevice, UAC2_REQUEST_CUR, UAC2_CLOCK_VALIDITY_VALUE, ClockId(), &data,
                                     sizeof(data));
    if (NT_SUCCESS(status))
    {
        *Valid = data;
    }
    return status;
}

NTSTATUS CUac2ClockSource::BuildClockNode(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon || !m_pDescriptor)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pDescriptor[0] < CS_MIN_BYTES)
    {
        return STATUS_UNSUCCESSFUL;
    }
    m_nId = m_pDescriptor[CS_CLOCK_ID_OFFSET];
    m_nKind = UAC2_AC_CLOCK_SOURCE;
    NTSTATUS status = SetSourceIdList(0, nullptr);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    CClockSourceNode* pNode =
        new (NonPagedPool, UAC2_ENTITY_POOL_TAG) CClockSourceNode(nullptr, AdapterCommon->GetNodeCount());
    if (!pNode)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pNode->NonDelegatingAddRef();
    status = pNode->InitClockSourceNode(static_cast<ITopologyNode*>(this), m_pDeviceLock);
    if (status == STATUS_NOT_SUPPORTED)
    {
        DbgPrint("CUac2ClockSource: clock source %u offers more than the %u sampling frequencies the driver "
                 "takes\n",
                 ULONG(m_nId), CLOCK_MAX_SAMPLE_RATES);
    }
    else if (!NT_SUCCESS(status))
    {
        DbgPrint("CUac2ClockSource: clock source %u did not give the sampling frequencies it offers "
                 "(0x%08X)\n",
                 ULONG(m_nId), status);
    }
    return Uac1AdoptChildNode(AdapterCommon, this, pNode, status);
}
