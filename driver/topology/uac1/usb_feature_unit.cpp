// CUsbFeatureUnit: the value operations, channel counting and COM plumbing both releases'
// feature units share.
#include "driver/topology/uac1/usb_feature_unit.h"

#include "driver/topology/uac1/uac1_feature_unit_common.h"

CUsbFeatureUnit::CUsbFeatureUnit(PUNKNOWN UnknownOuter, ULONG Id, ULONG MapTag, UCHAR GetCur, UCHAR SetCur)
    : CUsbEntityNode(UnknownOuter, Id), m_pExtendedControlMap(nullptr), m_nExtendedMapBytes(0),
      m_pDeviceLock(nullptr), m_nMapTag(MapTag), m_GetCur(GetCur), m_SetCur(SetCur)
{
}

CUsbFeatureUnit::~CUsbFeatureUnit()
{
    PAGED_CODE();
    if (m_pExtendedControlMap)
    {
        ExFreePoolWithTag(m_pExtendedControlMap, m_nMapTag);
        m_pExtendedControlMap = nullptr;
    }
}

STDMETHODIMP_(NTSTATUS) CUsbFeatureUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    return QueryNodeInterface(this, InterfaceId, Interface, IID_IFeatureUnitSwitch,
                              static_cast<IFeatureUnitSwitch*>(this), IID_IFeatureUnitLevel,
                              static_cast<IFeatureUnitLevel*>(this));
}

BOOLEAN CUsbFeatureUnit::AnyChannelCarriesControl(ULONG Selector)
{
    const ULONG entries = Selector >= VENDOR_SELECTOR_BASE ? GetMapEntryCount() : GetEntryCount();
    for (ULONG channel = 0; channel < entries; channel++)
    {
        if (ChannelCarriesControl(Selector, channel))
        {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS CUsbFeatureUnit::CountControlChannels(ULONG Selector, PULONG Count)
{
    if (!Count || GetEntryCount() == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG entries = GetEntryCount();
    if (Selector >= VENDOR_SELECTOR_BASE)
    {
        if (!m_pExtendedControlMap)
        {
            return STATUS_INVALID_PARAMETER;
        }
        entries = GetMapEntryCount();
    }
    ULONG count = FeatureCountControlChannels(entries, [this, Selector](ULONG Channel)
                                              { return ChannelCarriesControl(Selector, Channel); });
    *Count = count;
    return count ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) CUsbFeatureUnit::GetControlChannelCount(ULONG Selector, PULONG Count)
{
    PAGED_CODE();
    return CountControlChannels(Selector, Count);
}

STDMETHODIMP_(NTSTATUS) CUsbFeatureUnit::GetLevelChannelCount(ULONG Selector, PULONG Count)
{
    PAGED_CODE();
    return CountControlChannels(Selector, Count);
}

NTSTATUS CUsbFeatureUnit::RangeChannel(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution,
                                       PUCHAR Channel)
{
    if (!Maximum || !Minimum || !Resolution || GetEntryCount() == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = 0;
    NTSTATUS status = CountControlChannels(Selector, &count);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    UCHAR channel = 0;
    for (ULONG c = 1; c <= count && channel == 0; c++)
    {
        channel = ChannelCarriesControl(Selector, c) ? UCHAR(c) : 0;
    }
    *Channel = channel;
    return STATUS_SUCCESS;
}

// A current value on the wire channel of node channel Channel: read into or written from the
// Length bytes at Data.
NTSTATUS CUsbFeatureUnit::TransferValue(BOOLEAN Write, ULONG Selector, ULONG Channel, PVOID Data,
                                        ULONG Length)
{
    UCHAR wire = 0;
    NTSTATUS status = AddressControlChannel(Selector, Channel, Write, &wire);
    if (NT_SUCCESS(status))
    {
        status = ControlRequest(!Write, Write ? m_SetCur : m_GetCur, Selector, wire, Data, Length);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbFeatureUnit::GetSwitch(ULONG Selector, ULONG Channel, PUCHAR Value)
{
    PAGED_CODE();
    UCHAR data = 0;
    NTSTATUS status =
        Value ? TransferValue(FALSE, Selector, Channel, &data, sizeof(data)) : STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status))
    {
        *Value = data;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbFeatureUnit::SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value)
{
    PAGED_CODE();
    return TransferValue(TRUE, Selector, Channel, &Value, sizeof(Value));
}

STDMETHODIMP_(NTSTATUS) CUsbFeatureUnit::GetLevel(ULONG Selector, ULONG Channel, PLONG Level)
{
    PAGED_CODE();
    UCHAR data[2] = {};
    NTSTATUS status =
        Level ? TransferValue(FALSE, Selector, Channel, data, FeatureIsToneSelector(Selector) ? 1 : 2)
              : STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status))
    {
        *Level = FeatureLevelFromWire(Selector, data);
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CUsbFeatureUnit::SetLevel(ULONG Selector, ULONG Channel, LONG Level)
{
    PAGED_CODE();
    UCHAR data[2] = {};
    const ULONG length = FeatureLevelToWire(Selector, Level, data);
    return TransferValue(TRUE, Selector, Channel, data, length);
}
