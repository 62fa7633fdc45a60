// CVariantFeatureUnit: the descriptor checks, control presence, channel handling, the switch
// and level requests with their fixed ranges, and the control-node builder of the variant-B
// and variant-C feature units.
#include "driver/topology/variants/variant_feature_unit.h"

#include "usbaudio.h"
#include "driver/topology/uac1/uac1_entity_request.h"
#include "driver/topology/uac1/uac1_feature_unit_common.h"

namespace
{

// bUnitID at 3, bSourceID at 4, bControlSize at 5, bmaControls from 6, iFeature last.
constexpr ULONG FU_UNIT_ID_OFFSET = 3;
constexpr ULONG FU_SOURCE_ID_OFFSET = 4;
constexpr ULONG FU_CONTROL_SIZE_OFFSET = 5;
constexpr ULONG FU_CONTROLS_OFFSET = 6;
constexpr ULONG FU_FIXED_BYTES = 7;

BOOLEAN IsVariantB(VariantUnitConversion Conversion)
{
    return Conversion <= VARIANT_CONVERSION_B_TRIM ? TRUE : FALSE;
}

// The standard controls only: the vendor effect controls get no node on these models.
const FeatureBuilderNames kBuilderNames = {"CVariantFeatureUnit", "model"};

} // namespace

CVariantFeatureUnit::CVariantFeatureUnit(PUNKNOWN UnknownOuter, ULONG Id, VariantUnitConversion Conversion,
                                         ULONG NodeTag)
    : CUsbEntityNode(UnknownOuter, Id), m_Conversion(Conversion), m_nNodeTag(NodeTag),
      m_pAudioFunction(nullptr), m_pDeviceLock(nullptr)
{
}

STDMETHODIMP_(NTSTATUS) CVariantFeatureUnit::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();
    return QueryNodeInterface(this, InterfaceId, Interface, IID_IFeatureUnitSwitch,
                              static_cast<IFeatureUnitSwitch*>(this), IID_IFeatureUnitLevel,
                              static_cast<IFeatureUnitLevel*>(this));
}

NTSTATUS CVariantFeatureUnit::Init(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                                   IAdapterCommon* AdapterCommon, CMutexLock* DeviceLock)
{
    PAGED_CODE();
    if (!Device || !AdapterCommon || !Uac1IsEntityDescriptor(Descriptor, Length, USB_AUDIO_AC_FEATURE_UNIT))
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_pAudioFunction = AdapterCommon;
    m_pDeviceLock = DeviceLock;
    NTSTATUS status = SetDescriptor(Descriptor, Length, Device);
    if (NT_SUCCESS(status))
    {
        status = BuildFeatureControls(AdapterCommon);
    }
    if (NT_SUCCESS(status))
    {
        ChainChildNodes();
    }
    return status;
}

BOOLEAN CVariantFeatureUnit::IsFeatureUnitDescriptor()
{
    const UCHAR* d = m_pDescriptor;
    return d && d[0] >= FU_FIXED_BYTES && d[1] == USB_AUDIO_CS_INTERFACE && d[2] == USB_AUDIO_AC_FEATURE_UNIT
               ? TRUE
               : FALSE;
}

// The entries are the master's and one per logical channel; iFeature is never read as one. A
// control size of 0 leaves the unit without controls.
ULONG CVariantFeatureUnit::GetEntryCount()
{
    if (!IsFeatureUnitDescriptor() || m_pDescriptor[FU_CONTROL_SIZE_OFFSET] == 0)
    {
        return 0;
    }
    return (ULONG(m_pDescriptor[0]) - FU_FIXED_BYTES) / m_pDescriptor[FU_CONTROL_SIZE_OFFSET];
}

BOOLEAN CVariantFeatureUnit::ChannelHasControl(ULONG Selector, ULONG Channel)
{
    if (Selector == 0 || Channel >= GetEntryCount())
    {
        return FALSE;
    }
    const ULONG size = m_pDescriptor[FU_CONTROL_SIZE_OFFSET];
    const UCHAR* entry = m_pDescriptor + FU_CONTROLS_OFFSET + Channel * size;
    const ULONG bits = size == 1 ? ULONG(entry[0]) : (ULONG(entry[0]) | ULONG(entry[1]) << 8);
    const ULONG width = size == 1 ? 8 : 16;
    const ULONG bit = Selector - 1;
    return bit < width && ((bits >> bit) & 1) ? TRUE : FALSE;
}

BOOLEAN CVariantFeatureUnit::IsControlPresent(ULONG Selector)
{
    const ULONG entries = GetEntryCount();
    for (ULONG channel = 0; channel < entries; channel++)
    {
        if (ChannelHasControl(Selector, channel))
        {
            return TRUE;
        }
    }
    return FALSE;
}

STDMETHODIMP_(NTSTATUS) CVariantFeatureUnit::GetLevelChannelCount(ULONG Selector, PULONG Count)
{
    PAGED_CODE();
    if (!Count)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG count = FeatureCountControlChannels(GetEntryCount(), [this, Selector](ULONG Channel)
                                                    { return ChannelHasControl(Selector, Channel); });
    *Count = count;
    return count ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// Several channels: node channel c is logical channel c + 1; one: the master.
NTSTATUS CVariantFeatureUnit::AddressLevelChannel(ULONG Selector, ULONG Channel, PUCHAR WireChannel)
{
    return FeatureAddressChannel([this, Selector](PULONG Count)
                                 { return GetLevelChannelCount(Selector, Count); },
                                 [this, Selector](ULONG Entry) { return ChannelHasControl(Selector, Entry); },
                                 Channel, FALSE, nullptr, WireChannel);
}

ULONG CVariantFeatureUnit::LevelBytes(ULONG Selector, BOOLEAN In)
{
    if (!FeatureIsToneSelector(Selector))
    {
        return 2;
    }
    if (IsVariantB(m_Conversion))
    {
        return 1;
    }
    return m_Conversion == VARIANT_CONVERSION_C_PLAIN && In ? 1 : 2;
}

NTSTATUS CVariantFeatureUnit::Request(BOOLEAN In, UCHAR Request, ULONG Selector, UCHAR WireChannel,
                                      PVOID Data, ULONG Length)
{
    const USHORT value = USHORT((Selector & 0xFF) << 8 | WireChannel);
    const UCHAR unit = m_pDescriptor[FU_UNIT_ID_OFFSET];
    return In ? Uac1EntityRead(m_pDevice, UAC1_REQUEST_CLASS, Request, value, unit, Data, Length)
              : Uac1EntityWrite(m_pDevice, UAC1_REQUEST_CLASS, Request, value, unit, Data, Length);
}

// ---- Switches: the master channel only ----

STDMETHODIMP_(NTSTATUS) CVariantFeatureUnit::GetSwitch(ULONG Selector, ULONG Channel, PUCHAR Value)
{
    PAGED_CODE();
    if (!Value || Channel != 0 || !IsFeatureUnitDescriptor())
    {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR data = 0;
    NTSTATUS status = Request(TRUE, USB_AUDIO_GET_CUR, Selector, 0, &data, sizeof(data));
    if (NT_SUCCESS(status))
    {
        *Value = data;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantFeatureUnit::SetSwitch(ULONG Selector, ULONG Channel, UCHAR Value)
{
    PAGED_CODE();
    if (Channel != 0 || !IsFeatureUnitDescriptor())
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Request(FALSE, USB_AUDIO_SET_CUR, Selector, 0, &Value, sizeof(Value));
}

STDMETHODIMP_(NTSTATUS) CVariantFeatureUnit::GetControlChannelCount(ULONG Selector, PULONG Count)
{
    PAGED_CODE();
    if (!Count || !IsFeatureUnitDescriptor())
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Count = 1;
    return STATUS_SUCCESS;
}

// ---- Levels ----

STDMETHODIMP_(NTSTATUS) CVariantFeatureUnit::GetLevel(ULONG Selector, ULONG Channel, PLONG Level)
{
    PAGED_CODE();
    UCHAR wire = 0;
    NTSTATUS status = Level ? AddressLevelChannel(Selector, Channel, &wire) : STATUS_INVALID_PARAMETER;
    const ULONG length = LevelBytes(Selector, TRUE);
    UCHAR data[2] = {};
    if (NT_SUCCESS(status))
    {
        status = Request(TRUE, USB_AUDIO_GET_CUR, Selector, wire, data, length);
    }
    if (NT_SUCCESS(status))
    {
        *Level = length == 1 ? FeatureToneFromWire(data[0])
                             : VariantLevelFromDevice(m_Conversion, SHORT(USHORT(data[0] | data[1] << 8)));
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CVariantFeatureUnit::SetLevel(ULONG Selector, ULONG Channel, LONG Level)
{
    PAGED_CODE();
    UCHAR wire = 0;
    NTSTATUS status = AddressLevelChannel(Selector, Channel, &wire);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    UCHAR data[2] = {};
    const ULONG length = LevelBytes(Selector, FALSE);
    if (length == 1)
    {
        data[0] = FeatureToneToWire(Level);
    }
    else
    {
        USHORT device = USHORT(VariantLevelToDevice(m_Conversion, Level));
        data[0] = UCHAR(device);
        data[1] = UCHAR(device >> 8);
    }
    return Request(FALSE, USB_AUDIO_SET_CUR, Selector, wire, data, length);
}

STDMETHODIMP_(NTSTATUS)
CVariantFeatureUnit::GetLevelRange(ULONG Selector, PLONG Maximum, PLONG Minimum, PLONG Resolution)
{
    PAGED_CODE();
    if (!Maximum || !Minimum || !Resolution || !IsFeatureUnitDescriptor())
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = 0;
    NTSTATUS status = GetLevelChannelCount(Selector, &count);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    const ULONG entries = GetEntryCount();
    UCHAR channel = 0;
    for (ULONG c = 1; c < entries && channel == 0; c++)
    {
        channel = ChannelHasControl(Selector, c) ? UCHAR(c) : 0;
    }
    const BOOLEAN toneBytes = FeatureIsToneSelector(Selector) && IsVariantB(m_Conversion);
    const UCHAR requests[3] = {USB_AUDIO_GET_MAX, USB_AUDIO_GET_MIN, USB_AUDIO_GET_RES};
    LONG answers[3] = {};
    for (ULONG i = 0; i < 3; i++)
    {
        UCHAR data[2] = {};
        status = Request(TRUE, requests[i], Selector, channel, data, toneBytes ? 1 : 2);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        answers[i] = FeatureToneFromWire(data[0]);
    }
    if (toneBytes)
    {
        *Maximum = answers[0];
        *Minimum = answers[1];
        *Resolution = answers[2];
    }
    else
    {
        VariantFixedRange(m_Conversion, Maximum, Minimum, Resolution);
    }
    return STATUS_SUCCESS;
}

// ---- Control nodes ----

STDMETHODIMP_(NTSTATUS) CVariantFeatureUnit::BuildFeatureControls(IAdapterCommon* AdapterCommon)
{
    PAGED_CODE();
    if (!AdapterCommon || !IsFeatureUnitDescriptor())
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = TakeSingleSourceIdentity(USB_AUDIO_AC_FEATURE_UNIT, FU_SOURCE_ID_OFFSET);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return BuildFeatureControlNodes(this, &CVariantFeatureUnit::IsControlPresent, nullptr, 0, m_nNodeTag,
                                    AdapterCommon, m_pDeviceLock, kBuilderNames);
}

NTSTATUS CVariantFeatureUnit::OnStatusInterrupt(ULONG Argument1, ULONG Argument2, PULONG Id)
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}
