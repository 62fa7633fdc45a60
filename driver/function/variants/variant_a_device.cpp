// CVariantADevice: creation, the chip probe, the feature switches and model overrides, the
// register cache and its HID writes, PostInit, subdevice updates, and Start and Stop.
#include "driver/function/variants/variant_a_internal.h"

#include "driver/function/function_object.h"
#include "driver/core/settings_store.h"
#include "driver/core/usb_device_if.h"
#include "driver/topology/variants/variant_a_processors.h"

namespace
{

// The probe: two vendor requests to the "other" recipient, one byte each.
constexpr UCHAR PROBE_REQUEST = 0x81;
constexpr USHORT PROBE_A_INDEX = 9;
constexpr USHORT PROBE_B_INDEX = 8;
constexpr UCHAR PROBE_B_MASK = 0x63;
constexpr UCHAR PROBE_A_EXPECTED = 0x9F;
constexpr UCHAR PROBE_B_EXPECTED = 0x03;
#define VARIANT_A_PROBE_POOL_TAG MAKE_POOL_TAG('p', 'm', 'e', 't')

constexpr ULONG VARIANT_A_MASK = 0x3FE08F;

// Register flags: bit 0 marks a value not yet written; bit 1 one PostInit writes again.
constexpr UCHAR REGISTER_UNWRITTEN = 0x01;
constexpr UCHAR REGISTER_RESTORE = 0x02;
// Values at power-up, all restored by PostInit.
const USHORT kInitialRegisters[VARIANT_A_REGISTER_COUNT] = {0x2004, 0x3002, 0xF800, 0x143F, 0x0000, 0x3000};

// PostInit pulses register 5's two top bits low, then high again.
constexpr ULONG PULSE_REGISTER = 5;
constexpr USHORT PULSE_MASK = 0x3000;
constexpr LONGLONG PULSE_DELAY_100NS = -10000; // 1 ms
constexpr ULONG RESTORED_REGISTERS = 5;        // 0 to 4

NTSTATUS ReadChipProbeByte(IUsbDevice* UsbDevice, PURB Urb, USHORT Index, PUCHAR Byte)
{
    PAGED_CODE();
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(Urb, URB_FUNCTION_VENDOR_OTHER, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, PROBE_REQUEST, 0, Index,
                          Byte, nullptr, 1, nullptr);
    return UsbDevice->SubmitUrbSync(Urb);
}

} // namespace

NTSTATUS CreateVariantADevice(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
{
    return CreateFunctionObject<CVariantADevice>(VARIANT_A_POOL_TAG, Unknown, UnknownOuter, VendorId,
                                                 ProductId);
}

CVariantADevice::CVariantADevice(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
    : CVariantDevice(UnknownOuter, VendorId, ProductId, VARIANT_A_POOL_TAG), m_JackPolling(FALSE),
      m_JackThreadRunning(FALSE), m_pJackThread(nullptr), m_JackState(VARIANT_A_JACK_ALL_SET),
      m_pJackSink(nullptr), m_pJackGainProcessor(nullptr)
{
    RtlZeroMemory(m_Registers, sizeof(m_Registers));
    RtlZeroMemory(&m_Switches, sizeof(m_Switches));
    KeInitializeTimerEx(&m_JackTimer, SynchronizationTimer);
}

// The class-1 destructor would stop only what class 1 starts.
CVariantADevice::~CVariantADevice()
{
    PAGED_CODE();
    StopJackThread();
    if (m_pJackGainProcessor)
    {
        m_pJackGainProcessor->Release();
        m_pJackGainProcessor = nullptr;
    }
}

// ---- InitHardware ----

STDMETHODIMP_(NTSTATUS) CVariantADevice::InitHardware()
{
    PAGED_CODE();
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = GetOuterUnknown()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    BOOLEAN probeMatched = FALSE;
    status = Probe(pUsb, &probeMatched);
    if (NT_SUCCESS(status))
    {
        for (ULONG i = 0; i < VARIANT_A_REGISTER_COUNT; i++)
        {
            m_Registers[i].Value = kInitialRegisters[i];
            m_Registers[i].Flags = REGISTER_RESTORE;
        }
        ReadSwitches();
        RtlZeroMemory(&m_EndpointCaps, sizeof(m_EndpointCaps));
        m_EndpointCaps.Mask = VARIANT_A_MASK;
        ApplyModelOverrides(probeMatched);
        status = FilterConfigDescriptor(pUsb);
    }
    pUsb->Release();
    if (NT_SUCCESS(status))
    {
        status = RunWalks();
    }
    return status;
}

// A failed first request leaves byte A at 0, so it cannot pass for the expected value; a failed
// second one ends the start.
NTSTATUS CVariantADevice::Probe(IUsbDevice* UsbDevice, PBOOLEAN ProbeMatched)
{
    PAGED_CODE();
    *ProbeMatched = FALSE;
    PURB pUrb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_TRANSFER), VARIANT_A_PROBE_POOL_TAG));
    if (!pUrb)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UCHAR probeA = 0;
    UCHAR probeB = 0;
    if (!NT_SUCCESS(ReadChipProbeByte(UsbDevice, pUrb, PROBE_A_INDEX, &probeA)))
    {
        probeA = 0;
    }
    NTSTATUS status = ReadChipProbeByte(UsbDevice, pUrb, PROBE_B_INDEX, &probeB);
    ExFreePoolWithTag(pUrb, VARIANT_A_PROBE_POOL_TAG);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("CVariantADevice: the device does not answer the request for its second probe byte "
                 "(0x%08X)\n",
                 status);
        return status;
    }
    *ProbeMatched = probeA == PROBE_A_EXPECTED && (probeB & PROBE_B_MASK) == PROBE_B_EXPECTED;
    return STATUS_SUCCESS;
}

VOID CVariantADevice::ReadSwitches()
{
    PAGED_CODE();
    ULONG count = 0;
    const VariantASwitchRow* rows = VariantASwitchRows(&count);
    PUCHAR bytes = reinterpret_cast<PUCHAR>(&m_Switches);
    for (ULONG i = 0; i < count; i++)
    {
        ULONG value = rows[i].Default;
        AccessSetting(GetDeviceObject(), SETTINGS_OPERATION_READ, &value, sizeof(value), rows[i].Setting);
        bytes[rows[i].Offset] = UCHAR(value);
    }
}

VOID CVariantADevice::ApplyModelOverrides(BOOLEAN ProbeMatched)
{
    PAGED_CODE();
    const VariantAModelRow* pRow = VariantAFindModelRow(m_VendorId, m_ProductId, ProbeMatched);
    if (pRow)
    {
        VariantAApplySwitchBits(&m_Switches, pRow->Set, pRow->Clear);
        m_JackPolling = pRow->JackPolling;
        if (pRow->Mask != VA_NO_MASK)
        {
            m_EndpointCaps.Mask = pRow->Mask;
        }
        if (pRow->Register1)
        {
            m_Registers[1].Value = pRow->Register1;
        }
    }
    // Without two-channel output there is nothing for headphones or S/PDIF to carry.
    if (m_Switches.Disable2ChOut)
    {
        m_Switches.SupportHPOut = 0;
        m_Switches.SupportSpdifOut = 0;
    }
}

NTSTATUS CVariantADevice::FilterConfigDescriptor(IUsbDevice* UsbDevice)
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = UsbDevice->GetConfigurationDescriptor();
    if (!pConfig)
    {
        return STATUS_UNSUCCESSFUL;
    }
    BOOLEAN rewritten = FALSE;
    NTSTATUS status = VariantAFilterConfigDescriptor(reinterpret_cast<PUCHAR>(pConfig), pConfig->wTotalLength,
                                                     m_Switches, &rewritten);
    if (status == STATUS_UNSUCCESSFUL)
    {
        DbgPrint("CVariantADevice: the settings disable both 6- and 8-channel output, which leaves the model "
                 "no output configuration\n");
    }
    else if (NT_SUCCESS(status) && !rewritten)
    {
        DbgPrint("CVariantADevice: the configuration descriptor is not the model's; it is walked as it is\n");
    }
    return status;
}

// ---- Registers ----

NTSTATUS CVariantADevice::WriteMaskedRegister(ULONG Index, USHORT Value, USHORT Mask)
{
    PAGED_CODE();
    if (Index >= VARIANT_A_REGISTER_COUNT)
    {
        return STATUS_UNSUCCESSFUL;
    }
    if (Mask == 0)
    {
        return STATUS_SUCCESS;
    }
    const USHORT newValue =
        Mask == 0xFFFF ? Value : USHORT((m_Registers[Index].Value & ~Mask) | (Value & Mask));
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = GetOuterUnknown()->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PURB pUrb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_TRANSFER), VARIANT_A_POOL_TAG));
    PUCHAR pReport = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 4, VARIANT_A_POOL_TAG));
    status = pUrb && pReport ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
    {
        pReport[0] = VARIANT_A_REGISTER_COMMAND;
        pReport[1] = UCHAR(newValue);
        pReport[2] = UCHAR(newValue >> 8);
        pReport[3] = UCHAR(Index);
        RtlZeroMemory(pUrb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        UsbBuildVendorRequest(pUrb, URB_FUNCTION_CLASS_INTERFACE,
                              sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_OUT, 0, VARIANT_A_SET_REPORT, VARIANT_A_OUTPUT_REPORT,
                              VARIANT_A_HID_INTERFACE, pReport, nullptr, 4, nullptr);
        status = pUsb->SubmitUrbSync(pUrb);
    }
    if (NT_SUCCESS(status))
    {
        m_Registers[Index].Value = newValue;
        m_Registers[Index].Flags &= UCHAR(~REGISTER_UNWRITTEN);
    }
    if (pReport)
    {
        ExFreePoolWithTag(pReport, VARIANT_A_POOL_TAG);
    }
    if (pUrb)
    {
        ExFreePoolWithTag(pUrb, VARIANT_A_POOL_TAG);
    }
    pUsb->Release();
    return status;
}

USHORT CVariantADevice::GetCachedRegister(ULONG Index)
{
    return Index < VARIANT_A_REGISTER_COUNT ? m_Registers[Index].Value : 0;
}

// After power-up the chip has lost its registers: pulse its reset bits, then write back what
// the cache holds.
STDMETHODIMP_(NTSTATUS) CVariantADevice::PostInit()
{
    PAGED_CODE();
    NTSTATUS status = WriteMaskedRegister(PULSE_REGISTER, 0, PULSE_MASK);
    if (NT_SUCCESS(status))
    {
        LARGE_INTEGER delay;
        delay.QuadPart = PULSE_DELAY_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        status = WriteMaskedRegister(PULSE_REGISTER, PULSE_MASK, PULSE_MASK);
    }
    for (ULONG i = 0; i < RESTORED_REGISTERS && NT_SUCCESS(status); i++)
    {
        if (m_Registers[i].Flags & REGISTER_RESTORE)
        {
            status = WriteMaskedRegister(i, m_Registers[i].Value, 0xFFFF);
        }
    }
    return status;
}

// ---- Subdevices after a pin-type change ----

STDMETHODIMP_(NTSTATUS) CVariantADevice::UpdateStreamSubdevices(ULONG EntityId)
{
    PAGED_CODE();
    PUNKNOWN pAdapter = DeviceUnknown();
    ULONG count = GetStreamCount();
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG index = 0; index < count && NT_SUCCESS(status); index++)
    {
        IStreamEngine* pStream = nullptr;
        status = GetStream(index, &pStream);
        if (!NT_SUCCESS(status) || !HasPinTypeChanged(pStream))
        {
            continue;
        }
        status = pStream->UnregisterSubdevice(GetDeviceObject(), nullptr, pAdapter);
        if (NT_SUCCESS(status))
        {
            status = RenameStream(pStream);
        }
        if (NT_SUCCESS(status))
        {
            // The terminal's status handling installs the subdevice again under its new name.
            status = OnStatusInterrupt(EntityId);
        }
    }
    return status;
}
