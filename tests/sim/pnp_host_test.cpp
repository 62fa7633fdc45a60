// The plug-and-play host and the handle client driving a tiny port-class driver the way the
// system does: load, add, start, handles on its interfaces routed through the driver's own
// handlers, buffered device control, stop and restart, surprise removal, removal, power states,
// the bus hook, and nothing left behind.
#include <gtest/gtest.h>

#include "portcls.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "sim/host/io_client.h"
#include "sim/host/pnp_manager.h"

#include <string>
#include <vector>

namespace
{

DEFINE_GUID(kPrivateInterface, 0x12345678, 0x1111, 0x2222, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66);
DEFINE_GUID(kOtherInterface, 0x87654321, 0x1111, 0x2222, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66);
const ULONG kEchoCode =
    CTL_CODE(FILE_DEVICE_SOUND, 0x800, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
const ULONG kBusCode = CTL_CODE(FILE_DEVICE_SOUND, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kHandleTag = MAKE_POOL_TAG('T', 'H', 'n', 'd');

struct TinyExtension
{
    PDEVICE_OBJECT Lower;
    UNICODE_STRING PrivateLink;
    UNICODE_STRING OtherLink;
};

// What the tiny driver saw.
struct TinyLog
{
    std::vector<std::string> Calls;
    std::u16string LastFileName;
    int Starts = 0;
    NTSTATUS EntryStatus = STATUS_SUCCESS;
};
TinyLog* g_log;

TinyExtension* Ext(PDEVICE_OBJECT fdo)
{
    return reinterpret_cast<TinyExtension*>(static_cast<PUCHAR>(fdo->DeviceExtension) +
                                            PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

bool IsPrivate(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\PrivateRef");
    return file && RtlCompareUnicodeString(&file->FileName, &name, TRUE) == 0;
}

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS TinyCreate(PDEVICE_OBJECT device, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    g_log->LastFileName =
        file->FileName.Buffer ? std::u16string(file->FileName.Buffer, file->FileName.Length / 2) : u"";
    if (!IsPrivate(irp))
    {
        g_log->Calls.push_back("create to port class");
        return PcDispatchIrp(device, irp);
    }
    g_log->Calls.push_back("create");
    file->FsContext = ExAllocatePoolWithTag(NonPagedPool, 16, kHandleTag);
    return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS TinyCleanupClose(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!IsPrivate(irp))
        return PcDispatchIrp(device, irp);
    if (stack->MajorFunction == IRP_MJ_CLEANUP)
    {
        g_log->Calls.push_back("cleanup");
        return Finish(irp, STATUS_SUCCESS);
    }
    g_log->Calls.push_back(stack->FileObject->FsContext ? "close with context" : "close without context");
    ExFreePoolWithTag(stack->FileObject->FsContext, kHandleTag);
    return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS AskTheBus(PDEVICE_OBJECT device, ULONG_PTR* answer)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, Ext(device)->Lower, nullptr, 0, nullptr, 0, TRUE,
                                             &done, &ioStatus);
    if (IoCallDriver(Ext(device)->Lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    *answer = ioStatus.Information;
    return ioStatus.Status;
}

NTSTATUS TinyDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    if (!IsPrivate(irp))
        return PcDispatchIrp(device, irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case kEchoCode:
        // Reverses the input in place: the output shares the buffer.
        for (ULONG i = 0; i < in / 2; ++i)
            std::swap(buffer[i], buffer[in - 1 - i]);
        return Finish(irp, STATUS_SUCCESS, std::min(in, out));
    case kBusCode:
    {
        ULONG_PTR answer = 0;
        NTSTATUS status = AskTheBus(device, &answer);
        if (NT_SUCCESS(status) && out >= sizeof(ULONG))
            *reinterpret_cast<ULONG*>(buffer) = ULONG(answer);
        return Finish(irp, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0);
    }
    default:
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS TinyPnp(PDEVICE_OBJECT device, PIRP irp)
{
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    TinyExtension* ext = Ext(device);
    if (minor == IRP_MN_REMOVE_DEVICE)
    {
        g_log->Calls.push_back("remove");
        IoSetDeviceInterfaceState(&ext->PrivateLink, FALSE);
        RtlFreeUnicodeString(&ext->PrivateLink);
        RtlFreeUnicodeString(&ext->OtherLink); // the other interface is left enabled: the system disables it
        PDEVICE_OBJECT lower = ext->Lower;
        NTSTATUS status = PcDispatchIrp(device, irp);
        ObDereferenceObject(lower);
        return status;
    }
    if (minor == IRP_MN_SURPRISE_REMOVAL)
        g_log->Calls.push_back("surprise removal");
    if (minor == IRP_MN_STOP_DEVICE)
        g_log->Calls.push_back("stop");
    return PcDispatchIrp(device, irp);
}

NTSTATUS TinyStart(PDEVICE_OBJECT device, PIRP, PRESOURCELIST)
{
    ++g_log->Starts;
    g_log->Calls.push_back("start");
    IoSetDeviceInterfaceState(&Ext(device)->PrivateLink, TRUE);
    IoSetDeviceInterfaceState(&Ext(device)->OtherLink, TRUE);
    return STATUS_SUCCESS;
}

NTSTATUS TinyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(pdo);
    NTSTATUS status = PcAddAdapterDevice(driver, pdo, TinyStart, 20,
                                         PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(TinyExtension));
    if (!NT_SUCCESS(status))
    {
        ObDereferenceObject(lower);
        return status;
    }
    PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(pdo);
    TinyExtension* ext = Ext(fdo);
    ext->Lower = lower;
    ObDereferenceObject(fdo);
    UNICODE_STRING ref;
    RtlInitUnicodeString(&ref, u"OtherRef");
    IoRegisterDeviceInterface(pdo, &kOtherInterface, &ref, &ext->OtherLink);
    RtlInitUnicodeString(&ref, u"PrivateRef");
    return IoRegisterDeviceInterface(pdo, &kPrivateInterface, &ref, &ext->PrivateLink);
}

NTSTATUS TinyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    if (!NT_SUCCESS(g_log->EntryStatus))
        return g_log->EntryStatus;
    NTSTATUS status = PcInitializeAdapterDriver(driver, registryPath, TinyAddDevice);
    driver->MajorFunction[IRP_MJ_CREATE] = TinyCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = TinyCleanupClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = TinyCleanupClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TinyDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = TinyPnp;
    return status;
}

class PnpHost : public testing::Test
{
protected:
    void SetUp() override
    {
        plat::RegReset();
        g_log = &m_Log;
        m_Snapshot = plat::TakePoolSnapshot();
        m_Objects = plat::ObLiveObjectCount(nullptr);
        m_Devices = plat::IoLiveDeviceCount();
    }

    void TearDown() override
    {
        m_pPnp.reset();
        plat::Shutdown();
        EXPECT_EQ(plat::IoLiveDeviceCount(), m_Devices);
        EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_Objects);
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
        EXPECT_TRUE(plat::IoListDeviceInterfaces().empty()) << "interfaces go with their device";
        g_log = nullptr;
    }

    void Bring(bool start = true)
    {
        m_pPnp.reset(new sim::PnpManager);
        ASSERT_EQ(m_pPnp->LoadDriver(TinyDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
        if (start)
        {
            ASSERT_EQ(m_pPnp->Start(), STATUS_SUCCESS);
        }
    }

    bool Enabled(const GUID& guid)
    {
        for (const auto& record : plat::IoListDeviceInterfaces())
            if (record.InterfaceClass == guid)
                return record.Enabled;
        return false;
    }

    TinyLog m_Log;
    std::unique_ptr<sim::PnpManager> m_pPnp;
    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
    SIZE_T m_Devices = 0;
};

TEST_F(PnpHost, HandlesReachTheDriversHandlersThePortClassLibraryAndTheBusHook)
{
    Bring();
    std::unique_ptr<sim::ClientHandle> handle;
    ASSERT_EQ(sim::ClientHandle::Open(kPrivateInterface, u"privateref", &handle), STATUS_SUCCESS);
    EXPECT_EQ(m_Log.LastFileName, u"\\privateref") << "the name the handle was opened with";
    EXPECT_EQ(handle->FileObject()->DeviceObject, m_pPnp->Fdo()) << "opened on the top of the stack";

    UCHAR in[5] = {1, 2, 3, 4, 5};
    UCHAR out[8];
    std::memset(out, 0xEE, sizeof(out));
    sim::IoResult result = handle->DeviceControl(kEchoCode, in, sizeof(in), out, sizeof(out));
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 5u);
    const UCHAR expected[8] = {5, 4, 3, 2, 1, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(out, expected, 8), 0);
    result = handle->DeviceControl(kEchoCode, in, sizeof(in), out, 2);
    EXPECT_EQ(result.Information, 2u) << "never more than the output buffer";

    // The bus hook answers the driver's internal requests.
    ULONGLONG start = plat::InterruptTime();
    m_pPnp->SetPdoHandler(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                          [](PDEVICE_OBJECT, PIRP irp)
                          {
                              irp->IoStatus.Information = 0xB05;
                              return Finish(irp, STATUS_SUCCESS, 0xB05);
                          });
    ULONG answer = 0;
    result = handle->DeviceControl(kBusCode, nullptr, 0, &answer, sizeof(answer));
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer, 0xB05u);
    // Without the hook the bus refuses what it does not know.
    m_pPnp->SetPdoHandler(IRP_MJ_INTERNAL_DEVICE_CONTROL, {});
    result = handle->DeviceControl(kBusCode, nullptr, 0, &answer, sizeof(answer));
    EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(plat::InterruptTime(), start) << "nothing here waits on the clock";

    // Handles on the other interface go to the port-class library.
    std::unique_ptr<sim::ClientHandle> other;
    ASSERT_EQ(sim::ClientHandle::Open(kOtherInterface, u"OtherRef", &other), STATUS_SUCCESS);
    EXPECT_EQ(m_Log.Calls.back(), "create to port class");
    result = other->DeviceControl(kEchoCode, nullptr, 0, nullptr, 0);
    EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_REQUEST) << "the library has no subdevice for it";
    EXPECT_EQ(sim::ClientHandle::Open(kPrivateInterface, u"NoSuchRef", &other), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(handle->Close(), STATUS_SUCCESS);
    EXPECT_EQ(m_Log.Calls, (std::vector<std::string>{"start", "create", "create to port class", "cleanup",
                                                     "close with context"}));
}

TEST_F(PnpHost, InterfacesCannotBeOpenedBeforeStartOrAfterRemoval)
{
    Bring(false);
    std::unique_ptr<sim::ClientHandle> handle;
    EXPECT_EQ(sim::ClientHandle::Open(kPrivateInterface, u"PrivateRef", &handle),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(m_pPnp->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(Enabled(kPrivateInterface));
    EXPECT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
    EXPECT_FALSE(Enabled(kPrivateInterface));
    EXPECT_FALSE(Enabled(kOtherInterface)) << "the host disables what the driver left enabled";
    EXPECT_EQ(sim::ClientHandle::Open(kOtherInterface, u"OtherRef", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(PnpHost, StopAndRestartStartTheDriverAgain)
{
    Bring();
    EXPECT_EQ(m_pPnp->QueryStop(), STATUS_SUCCESS);
    EXPECT_EQ(m_pPnp->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(m_pPnp->Start(), STATUS_SUCCESS);
    EXPECT_EQ(m_Log.Starts, 2);
    auto requests = m_pPnp->PdoRequests();
    std::vector<UCHAR> minors;
    for (auto& r : requests)
        if (r.first == IRP_MJ_PNP)
            minors.push_back(r.second);
    EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                                          IRP_MN_START_DEVICE}));
}

TEST_F(PnpHost, SurpriseRemovalThenRemovalReachTheDriverAndTheBusInOrder)
{
    Bring();
    std::unique_ptr<sim::ClientHandle> handle;
    ASSERT_EQ(sim::ClientHandle::Open(kPrivateInterface, u"PrivateRef", &handle), STATUS_SUCCESS);
    EXPECT_EQ(m_pPnp->SurpriseRemove(), STATUS_SUCCESS);
    // The handle outlives the surprise removal; its close still reaches the driver.
    EXPECT_EQ(handle->Close(), STATUS_SUCCESS);
    EXPECT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(m_Log.Calls, (std::vector<std::string>{"start", "create", "surprise removal", "cleanup",
                                                     "close with context", "remove"}));
    EXPECT_EQ(m_pPnp->PdoRequests().back(), (std::pair<UCHAR, UCHAR>{IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(PnpHost, DevicePowerStatesTravelDownToTheBus)
{
    Bring();
    for (DEVICE_POWER_STATE state :
         {PowerDeviceD3, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2, PowerDeviceD0})
    {
        EXPECT_EQ(m_pPnp->SetDevicePower(state), STATUS_SUCCESS);
        EXPECT_EQ(plat::IoRecordedDevicePowerState(m_pPnp->Pdo()), state) << "the bus records each state";
    }
    EXPECT_EQ(m_pPnp->PdoPowerStates(),
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0, PowerDeviceD1, PowerDeviceD2,
                                               PowerDeviceD0}));
}

TEST_F(PnpHost, FailedDriverEntryLeavesNoDriverToAddDevicesTo)
{
    m_Log.EntryStatus = STATUS_UNSUCCESSFUL;
    m_pPnp.reset(new sim::PnpManager);
    EXPECT_EQ(m_pPnp->LoadDriver(TinyDriverEntry), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_pPnp->Driver(), nullptr);
    EXPECT_EQ(m_pPnp->AddDevice(), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(PnpHost, TeardownOfAStartedDeviceWithAnOpenHandleLeavesNothingBehind)
{
    Bring();
    std::unique_ptr<sim::ClientHandle> handle;
    ASSERT_EQ(sim::ClientHandle::Open(kPrivateInterface, u"PrivateRef", &handle), STATUS_SUCCESS);
    handle.reset(); // closes
    m_pPnp.reset(); // removes, unloads, deletes the bus device
    EXPECT_EQ(m_Log.Calls.back(), "remove");
    EXPECT_EQ(plat::RegKeyExists(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\uacsim"), true);
}

} // namespace
