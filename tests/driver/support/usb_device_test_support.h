// Test rig of CUsbDevice: the simulated device model behind the USB bus stand-in as the physical
// device of the plug-and-play host, an adapter device added on it, and test doubles of the audio
// function creators that record how they were called. The device model's request log, the
// requests seen at the physical device and the registry are the oracles.
#pragma once

#include <gtest/gtest.h>

#include "plat_debug.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "portcls.h"
#include "sim/device/device_model.h"
#include "sim/device/usb_sim_device.h"
#include "sim/host/pnp_manager.h"
#include "sim/profiles/profile.h"
#include "usb_bus.h"

#include "driver/usb/usb_device.h"

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace udt
{

// ---- The device on the port ----

struct PortAnswer
{
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG Bits = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
};

// Control transfers go to the device model; the hub's port answers can be scripted, and a
// test may rewrite an answer on its way back to model a device that misreports.
class BusDevice : public plat::IUsbBusDevice
{
public:
    explicit BusDevice(const sim::DeviceProfile& profile) : m_Model(profile) {}

    sim::UsbDeviceModel& Model() { return m_Model; }

    void ScriptPort(std::vector<PortAnswer> answers)
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Port.assign(answers.begin(), answers.end());
    }
    std::vector<std::string> PortLog()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_PortLog;
    }
    std::function<void(const plat::UsbSetupPacket&, plat::UsbControlAnswer*)> Tamper;

    plat::UsbBusSpeed Speed() const override { return sim::BusSpeedOf(m_Model); }
    bool IsConnected() const override { return !m_Model.IsVanished(); }
    bool SupportsRemoteWakeup() const override { return false; }

    plat::UsbControlAnswer Control(const plat::UsbSetupPacket& setup, const std::vector<UCHAR>& out) override
    {
        plat::UsbControlAnswer answer = sim::AnswerControl(m_Model, setup, out);
        if (Tamper)
            Tamper(setup, &answer);
        return answer;
    }

    // A hub reports a vanished device's port as not connected.
    NTSTATUS QueryPortStatus(ULONG* status) override
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_PortLog.push_back("status");
        PortAnswer answer;
        if (!m_Port.empty())
        {
            answer = m_Port.front();
            m_Port.pop_front();
        }
        else if (m_Model.IsVanished())
        {
            answer.Bits = 0;
        }
        *status = answer.Bits;
        return answer.Status;
    }
    NTSTATUS ResetPort() override
    {
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_PortLog.push_back("reset");
        }
        m_Model.ResetPort();
        return STATUS_SUCCESS;
    }
    NTSTATUS CyclePort() override
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_PortLog.push_back("cycle");
        return STATUS_SUCCESS;
    }

    USBD_STATUS IsochronousOut(UCHAR, ULONG, ULONG, const UCHAR*, ULONG) override
    {
        return USBD_STATUS_NOT_SUPPORTED;
    }
    USBD_STATUS IsochronousIn(UCHAR, ULONG, ULONG, UCHAR*, ULONG, ULONG* length) override
    {
        *length = 0;
        return USBD_STATUS_NOT_SUPPORTED;
    }
    plat::UsbHandshake InterruptOrBulkOut(UCHAR, const UCHAR*, ULONG) override
    {
        return plat::UsbHandshake::Nak;
    }
    plat::UsbHandshake InterruptOrBulkIn(UCHAR, UCHAR*, ULONG, ULONG* length) override
    {
        *length = 0;
        return plat::UsbHandshake::Nak;
    }
    void SetBusEvents(plat::IUsbBusEvents*) override {}
    void RecordTransfer(const plat::UsbBusTransferRecord&) override {}

private:
    sim::UsbDeviceModel m_Model;
    std::mutex m_Lock;
    std::deque<PortAnswer> m_Port;
    std::vector<std::string> m_PortLog;
};

// ---- Audio function doubles ----

// What the creators and the function objects were asked, and how the next function behaves.
struct FunctionScript
{
    NTSTATUS InitStatus = STATUS_SUCCESS;
    bool AnswersFunctionInterface = true;
    ULONG Streams = 0;
    LONG AsioEndpoint = -1; // index of the stream whose caps carry the ASIO flag
};

struct CreatorRecord
{
    int Calls = 0;
    int Kind = -1;
    USHORT VendorId = 0;
    USHORT ProductId = 0;
    ULONG ModelCode = 0;
    PUNKNOWN Outer = nullptr;
    int InitCalls = 0;
    int StartCalls = 0;
    int StopCalls = 0;
    std::vector<DEVICE_POWER_STATE> PowerStates;
    PCALLBACK_OBJECT CallbackObject = nullptr;
};

inline FunctionScript g_Script;
inline CreatorRecord g_Created;

constexpr ULONG FAKE_FUNCTION_POOL_TAG = MAKE_POOL_TAG('F', 'a', 'k', 'F');

class CFakeFunction : public CAudioHal, public IUsbAudioFunction
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CFakeFunction(PUNKNOWN outer) : CAudioHal(outer) {}

    STDMETHODIMP_(NTSTATUS) InitHardware() override
    {
        g_Created.InitCalls++;
        g_Created.CallbackObject = m_pCallbackObject;
        return g_Script.InitStatus;
    }
    STDMETHODIMP_(ULONG) GetStreamCount() override { return g_Script.Streams; }
    STDMETHODIMP_(NTSTATUS) GetEndpointCaps(ULONG index, EndpointCaps* caps) override
    {
        if (index >= g_Script.Streams)
            return STATUS_INVALID_PARAMETER;
        std::memset(caps, 0, sizeof(*caps));
        caps->Flags = LONG(index) == g_Script.AsioEndpoint ? ENDPOINT_CAPS_FLAG_ASIO : 0;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) Start() override
    {
        g_Created.StartCalls++;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) Stop() override
    {
        g_Created.StopCalls++;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE state) override
    {
        g_Created.PowerStates.push_back(state.DeviceState);
    }

    STDMETHODIMP_(NTSTATUS) UpdateStreamSubdevices(ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) GetCallbackObject(PCALLBACK_OBJECT* object) override
    {
        *object = m_pCallbackObject;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) CreateTopologyNodes(PUSB_INTERFACE_DESCRIPTOR, ULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS)
    CreateStreams(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS) PostInit() override { return STATUS_SUCCESS; }
};

inline STDMETHODIMP_(NTSTATUS) CFakeFunction::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (IsEqualGUIDAligned(id, IID_IUsbAudioFunction))
    {
        if (!g_Script.AnswersFunctionInterface)
        {
            *out = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        *out = static_cast<PUSBAUDIOFUNCTION>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CAudioHal::NonDelegatingQueryInterface(id, out);
}

inline NTSTATUS MakeFunction(int kind, PUNKNOWN* out, PUNKNOWN outer, USHORT vendor, USHORT product,
                             ULONG model)
{
    g_Created.Calls++;
    g_Created.Kind = kind;
    g_Created.VendorId = vendor;
    g_Created.ProductId = product;
    g_Created.ModelCode = model;
    g_Created.Outer = outer;
    auto* function = new (NonPagedPool, FAKE_FUNCTION_POOL_TAG) CFakeFunction(outer);
    if (function == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *out = function->GetNonDelegatingUnknown();
    (*out)->AddRef();
    return STATUS_SUCCESS;
}

template <int Kind> NTSTATUS CreateFake(PUNKNOWN* out, PUNKNOWN outer, USHORT vendor, USHORT product)
{
    return MakeFunction(Kind, out, outer, vendor, product, 0);
}

inline NTSTATUS CreateFakeVariantD(PUNKNOWN* out, PUNKNOWN outer, USHORT vendor, USHORT product, ULONG model)
{
    return MakeFunction(UsbAudioFunctionVariantD, out, outer, vendor, product, model);
}

inline const AudioFunctionCreators kFakeCreators = {
    CreateFake<UsbAudioFunctionUac1>,     CreateFake<UsbAudioFunctionUac2>,
    CreateFake<UsbAudioFunctionVariantA>, CreateFake<UsbAudioFunctionVariantB>,
    CreateFake<UsbAudioFunctionVariantC>, CreateFakeVariantD,
};

// ---- The rig ----

inline NTSTATUS StartDevice(PDEVICE_OBJECT, PIRP, PRESOURCELIST)
{
    return STATUS_SUCCESS;
}

inline NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driver, pdo, StartDevice, 20, PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

inline NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

// One interface record of a select-configuration request as the driver sent it.
struct SelectedInterface
{
    UCHAR Number = 0;
    UCHAR AlternateSetting = 0;
    std::vector<ULONG> MaximumTransferSizes;
};

// Profile text without the lines that start with any of the prefixes.
inline std::string WithoutLines(const std::string& text, const std::vector<std::string>& prefixes)
{
    std::string kept;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        bool drop = false;
        for (const std::string& prefix : prefixes)
            drop = drop || line.rfind(prefix, 0) == 0;
        if (!drop)
            kept += line;
        start = end;
    }
    return kept;
}

// The text of a built-in profile with its "string" lines replaced.
inline std::string ProfileWithStrings(const std::string& builtin, const std::string& strings)
{
    return WithoutLines(sim::BuiltinProfileText(builtin), {"string "}) + strings;
}

// Replaces the first occurrence of `from` (which must be there) in profile text.
inline std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "profile text lacks: " << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

class UsbDeviceRig : public testing::Test
{
protected:
    void SetUp() override
    {
        plat::RegReset();
        plat::ClearDebugLog();
        m_Snapshot = plat::TakePoolSnapshot();
        m_Raises = plat::TimerResolutionRaises();
        g_Script = FunctionScript();
        g_Created = CreatorRecord();
        m_pPreviousCreators = UsbDeviceSetAudioFunctionCreators(&kFakeCreators);
        std::lock_guard<std::mutex> lock(m_SnoopLock);
        m_Selected.clear();
        m_PortRequests.clear();
    }

    void TearDown() override
    {
        ReleaseDevice();
        delete m_pPnp;
        m_pPnp = nullptr;
        if (m_pBus)
        {
            EXPECT_EQ(m_pBus->InterfaceReferenceCount(), 0) << "bus interface references left";
        }
        delete m_pBus;
        m_pBus = nullptr;
        delete m_pDevice;
        m_pDevice = nullptr;
        UsbDeviceSetAudioFunctionCreators(m_pPreviousCreators);
        plat::ClearPoolFailures();
        plat::Shutdown();
        EXPECT_EQ(plat::TimerResolutionRaises(), m_Raises) << "timer resolution raises left";
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
    }

    // Loads a profile (built-in name or profile text), plugs it into the bus and adds the
    // adapter device on it.
    void Plug(const std::string& nameOrText)
    {
        sim::DeviceProfile profile;
        std::string error;
        bool loaded = nameOrText.find('\n') == std::string::npos
                          ? sim::LoadBuiltinProfile(nameOrText, &profile, &error)
                          : sim::DeviceProfile::Parse(nameOrText, "test", "", &profile, &error);
        ASSERT_TRUE(loaded) << error;
        PlugProfile(profile);
    }

    void PlugProfile(const sim::DeviceProfile& profile)
    {
        m_pDevice = new BusDevice(profile);
        m_pBus = new plat::UsbBus(m_pDevice);
        m_pPnp = new sim::PnpManager();
        m_pPnp->SetPdoHandler(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                              [this](PDEVICE_OBJECT pdo, PIRP irp) { return SnoopAndPass(pdo, irp); });
        m_pPnp->SetPdoHandler(IRP_MJ_PNP,
                              [this](PDEVICE_OBJECT pdo, PIRP irp)
                              {
                                  NTSTATUS status = STATUS_SUCCESS;
                                  return m_pBus->DispatchPnp(pdo, irp, &status)
                                             ? status
                                             : sim::PnpManager::kPdoNotHandled;
                              });
        // The system made the device's instance key when it enumerated the device.
        ASSERT_EQ(plat::RegCreateKeyPath(InstancePath()), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
    }

    // CreateUsbDevice and Init, as StartDevice runs them.
    NTSTATUS StartUsbDevice()
    {
        NTSTATUS status = CreateUsbDevice(&m_pCommon);
        if (!NT_SUCCESS(status))
            return status;
        m_pUsbDevice = static_cast<CUsbDevice*>(m_pCommon);
        return m_pCommon->Init(nullptr, Fdo(), Pdo(), Pdo());
    }

    void ReleaseDevice()
    {
        if (m_pCommon)
            m_pCommon->Release();
        m_pCommon = nullptr;
        m_pUsbDevice = nullptr;
    }

    // IUsbDevice of the device object, without a reference of the test's own.
    IUsbDevice* Usb()
    {
        IUsbDevice* usb = nullptr;
        EXPECT_EQ(m_pCommon->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&usb)), STATUS_SUCCESS);
        if (usb)
            usb->Release();
        return usb;
    }

    PDEVICE_OBJECT Fdo() const { return m_pPnp->Fdo(); }
    PDEVICE_OBJECT Pdo() const { return m_pPnp->Pdo(); }
    sim::UsbDeviceModel& Model() { return m_pDevice->Model(); }
    std::vector<sim::ControlRecord> Log() { return Model().Log(); }
    std::u16string SettingsPath() const { return plat::IoDriverKeyPath(Pdo()) + u"\\Settings"; }
    std::u16string InstancePath() const { return plat::IoDeviceInstanceKeyPath(Pdo()); }

    std::vector<SelectedInterface> Selected()
    {
        std::lock_guard<std::mutex> lock(m_SnoopLock);
        return m_Selected;
    }
    std::vector<ULONG> PortRequests()
    {
        std::lock_guard<std::mutex> lock(m_SnoopLock);
        return m_PortRequests;
    }

    sim::PnpManager* m_pPnp = nullptr;
    plat::UsbBus* m_pBus = nullptr;
    BusDevice* m_pDevice = nullptr;
    PADAPTERCOMMON m_pCommon = nullptr;
    CUsbDevice* m_pUsbDevice = nullptr;

private:
    NTSTATUS SnoopAndPass(PDEVICE_OBJECT pdo, PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (code == IOCTL_INTERNAL_USB_SUBMIT_URB)
        {
            auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (urb && urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
                urb->UrbSelectConfiguration.ConfigurationDescriptor)
                RecordSelect(urb);
        }
        else
        {
            std::lock_guard<std::mutex> lock(m_SnoopLock);
            m_PortRequests.push_back(code);
        }
        return m_pBus->DispatchInternalDeviceControl(pdo, irp);
    }

    void RecordSelect(PURB urb)
    {
        std::vector<SelectedInterface> selected;
        PUCHAR position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
        PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        while (end - position >= LONG_PTR(offsetof(USBD_INTERFACE_INFORMATION, Pipes)))
        {
            auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
            if (info->Length == 0 || info->Length > end - position)
                break;
            SelectedInterface entry;
            entry.Number = info->InterfaceNumber;
            entry.AlternateSetting = info->AlternateSetting;
            for (ULONG i = 0; i < info->NumberOfPipes; ++i)
                entry.MaximumTransferSizes.push_back(info->Pipes[i].MaximumTransferSize);
            selected.push_back(entry);
            position += info->Length;
        }
        std::lock_guard<std::mutex> lock(m_SnoopLock);
        m_Selected = selected;
    }

    const AudioFunctionCreators* m_pPreviousCreators = nullptr;
    plat::PoolSnapshot m_Snapshot;
    LONG m_Raises = 0;
    std::mutex m_SnoopLock;
    std::vector<SelectedInterface> m_Selected;
    std::vector<ULONG> m_PortRequests;
};

} // namespace udt
