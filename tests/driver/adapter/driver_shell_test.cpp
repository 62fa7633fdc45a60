// The driver shell driven as the system drives it: loaded and added by the plug-and-play host,
// opened and used through the handle client, started by a scripted start routine that puts a
// logging adapter double in place, and removed or surprise-removed. The doubles' logs, the
// interface states, the bus's view of each request and the debug log are the oracles.
#include <gtest/gtest.h>

#include "support/driver_shell_doubles.h"

#include "pc_device.h"
#include "plat_debug.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "plat_version.h"
#include "sim/host/io_client.h"
#include "sim/host/pnp_manager.h"

#include "driver/core/device_extension.h"
#include "driver/adapter/dispatch.h"
#include "driver/adapter/driver_entry.h"

#include <memory>
#include <string>
#include <vector>

namespace
{

using shell_test::FakeAdapter;
using shell_test::FakeStream;
using sim::ClientHandle;
using Lines = std::vector<std::string>;

constexpr char16_t kAsioReference[] = u"QXASIOPrivateInterface";
constexpr char16_t kEnumReference[] = u"QXEnumPrivateInterface";

class DriverShell : public testing::Test
{
protected:
    void SetUp() override
    {
        plat::RegReset();
        plat::ClearDebugLog();
        plat::SetNtDdiVersion(plat::kDefaultNtDdiVersion);
        m_Snapshot = plat::TakePoolSnapshot();
        m_Objects = plat::ObLiveObjectCount(nullptr);
        m_World.Start.Adapter = &m_Adapter;
        shell_test::g_pShellWorld = &m_World;
        m_pPnp = new sim::PnpManager;
        // The bus logs each plug-and-play request with what the device looked like when it arrived.
        m_pPnp->SetPdoHandler(IRP_MJ_PNP,
                              [this](PDEVICE_OBJECT, PIRP irp)
                              {
                                  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
                                  m_World.Log.Add("bus pnp " + std::to_string(minor) + " " +
                                                  shell_test::DeviceState());
                                  if (minor == IRP_MN_REMOVE_DEVICE && m_bFailBusRemove)
                                  {
                                      irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
                                      IoCompleteRequest(irp, IO_NO_INCREMENT);
                                      return STATUS_UNSUCCESSFUL;
                                  }
                                  return sim::PnpManager::kPdoNotHandled;
                              });
    }

    void TearDown() override
    {
        delete m_pPnp;
        plat::Shutdown();
        plat::ClearPoolFailures();
        plat::SetNtDdiVersion(plat::kDefaultNtDdiVersion);
        EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_Objects);
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
        EXPECT_EQ(m_Adapter.RefCount, 1) << "the driver still holds the adapter";
        shell_test::g_pShellWorld = nullptr;
    }

    void LoadAndAdd()
    {
        ASSERT_EQ(m_pPnp->LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
        ScriptTheStart();
    }

    // The shell is tested apart from the device start: the routine AddDevice named is kept for
    // the tests that check it, and the scripted one takes its place.
    void ScriptTheStart()
    {
        auto* context = static_cast<plat::pc::DeviceContext*>(m_pPnp->Fdo()->DeviceExtension);
        m_NamedStartRoutine = context->StartDevice;
        context->StartDevice = shell_test::ScriptedStartDevice;
    }

    // Loaded, added and started with `count` streams; the log starts empty afterwards.
    void StartWithStreams(ULONG count)
    {
        for (ULONG i = 0; i < count; ++i)
            m_Streams.push_back(std::make_unique<FakeStream>(&m_World.Log, i));
        for (auto& stream : m_Streams)
            m_Adapter.Streams.push_back(stream.get());
        LoadAndAdd();
        for (auto& stream : m_Streams)
        {
            stream->ExpectedDevice = m_pPnp->Fdo();
            stream->ExpectedUnknown = m_Adapter.AsUnknown();
        }
        ASSERT_EQ(m_pPnp->Start(), STATUS_SUCCESS);
        m_World.Log.Lines.clear();
    }

    AdapterDeviceExtension* Extension() { return GetAdapterExtension(m_pPnp->Fdo()); }

    Lines TakeLog()
    {
        Lines lines = m_World.Log.Lines;
        m_World.Log.Lines.clear();
        return lines;
    }

    shell_test::ShellWorld m_World;
    FakeAdapter m_Adapter{&m_World.Log};
    std::vector<std::unique_ptr<FakeStream>> m_Streams;
    sim::PnpManager* m_pPnp = nullptr;
    bool m_bFailBusRemove = false;
    PCPFNSTARTDEVICE m_NamedStartRoutine = nullptr;
    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
};

// A create straight from the I/O manager on the device, for names no interface hands out.
NTSTATUS SendCreate(PDEVICE_OBJECT device, const std::u16string& name)
{
    PFILE_OBJECT file = plat::IoCreateFileObject(device, name);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = plat::IoBuildFileRequest(IRP_MJ_CREATE, device, file, &done, &ioStatus);
    IoCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    plat::IoDeleteFileObject(file);
    return ioStatus.Status;
}

std::u16string Text(const UNICODE_STRING& s)
{
    return s.Buffer ? std::u16string(s.Buffer, s.Length / sizeof(WCHAR)) : std::u16string();
}

// ---- Loading ----

TEST_F(DriverShell, LoadIsRefusedOnlyBelowTheBaselineVersion)
{
    struct Case
    {
        ULONG Version;
        bool Loads;
    };
    for (Case c :
         {Case{0x05000000, false}, Case{0x0500FFFF, false}, Case{0x05010000, true}, Case{0x0A000000, true}})
    {
        SCOPED_TRACE(c.Version);
        plat::SetNtDdiVersion(c.Version);
        DRIVER_OBJECT driver = {};
        DRIVER_EXTENSION extension = {};
        driver.DriverExtension = &extension;
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\uacsim");
        NTSTATUS status = DriverEntry(&driver, &path);
        if (!c.Loads)
        {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
            // The port-class library never saw the driver object.
            EXPECT_EQ(extension.AddDevice, nullptr);
            for (PDRIVER_DISPATCH routine : driver.MajorFunction)
                EXPECT_EQ(routine, nullptr);
            continue;
        }
        // Which routine serves each request is seen in the handle and removal tests.
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(extension.AddDevice, &AddDevice);
    }
    // The host sees the refusal too, and keeps no driver.
    plat::SetNtDdiVersion(0x05000000);
    EXPECT_EQ(m_pPnp->LoadDriver(DriverEntry), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_pPnp->Driver(), nullptr);
}

// ---- Adding the device ----

TEST_F(DriverShell, AddDeviceRegistersEnumerationThenAsioAndEnablesNeither)
{
    LoadAndAdd();
    std::vector<plat::DeviceInterfaceRecord> records = plat::IoListDeviceInterfaces();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].InterfaceClass, GUID_DEVINTERFACE_ENUM_PRIVATE);
    EXPECT_EQ(records[0].ReferenceString, kEnumReference);
    EXPECT_EQ(records[1].InterfaceClass, GUID_DEVINTERFACE_ASIO_PRIVATE);
    EXPECT_EQ(records[1].ReferenceString, kAsioReference);
    for (const auto& record : records)
    {
        EXPECT_FALSE(record.Enabled);
        EXPECT_EQ(record.Pdo, m_pPnp->Pdo());
    }

    // The device objects, the interface flags and the device mutex are used by every later
    // request, so the removal, handle and end-to-end tests show them; the link names are not.
    AdapterDeviceExtension* extension = Extension();
    EXPECT_EQ(Text(extension->EnumLinkName), records[0].SymbolicLink);
    EXPECT_EQ(Text(extension->AsioLinkName), records[1].SymbolicLink);
    auto* context = static_cast<plat::pc::DeviceContext*>(m_pPnp->Fdo()->DeviceExtension);
    EXPECT_EQ(context->MaxObjects, 20u);
    EXPECT_EQ(m_NamedStartRoutine, &StartDevice);
}

TEST_F(DriverShell, AddDeviceIgnoresAFailedEnumerationRegistration)
{
    ASSERT_EQ(m_pPnp->LoadDriver(DriverEntry), STATUS_SUCCESS);
    // The enumeration interface's link name is the first block AddDevice takes from pool.
    plat::FailNthAllocation(1);
    ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
    ScriptTheStart();
    EXPECT_FALSE(Extension()->EnumInterfaceRegistered);
    EXPECT_TRUE(Extension()->AsioInterfaceRegistered);
    // Started, only the ASIO interface can be enabled; removal frees the one link name it has.
    ASSERT_EQ(m_pPnp->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(
        plat::IoFindEnabledInterface(GUID_DEVINTERFACE_ASIO_PRIVATE, kAsioReference, nullptr, nullptr));
    EXPECT_FALSE(
        plat::IoFindEnabledInterface(GUID_DEVINTERFACE_ENUM_PRIVATE, kEnumReference, nullptr, nullptr));
    EXPECT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
}

TEST_F(DriverShell, AFailedAsioRegistrationFailsAddDeviceAndLeavesNoDevice)
{
    ASSERT_EQ(m_pPnp->LoadDriver(DriverEntry), STATUS_SUCCESS);
    plat::FailNthAllocation(2);
    EXPECT_EQ(m_pPnp->AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    // No device is left on the stack and nothing of it in pool; the driver unloads cleanly.
    EXPECT_EQ(m_pPnp->Fdo(), nullptr);
    EXPECT_EQ(m_pPnp->Driver()->DeviceObject, nullptr);
    EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
}

// ---- Removal ----

TEST_F(DriverShell, RemovalTearsDownInterfacesBeforeTheRequestGoesDownAndReleasesTheAdapterAfter)
{
    StartWithStreams(2);
    ASSERT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Lines{"wake pnp 2", "stop asio=off enum=off links=0", "unregister 0",
                                "unregister 1", "bus pnp 2 asio=off enum=off links=0"}));
    EXPECT_EQ(m_Adapter.RefCount, 1);
    EXPECT_TRUE(plat::DebugLog().empty());
}

TEST_F(DriverShell, SurpriseRemovalDisablesTheInterfacesOnlyAfterTheBusAndFreesNothing)
{
    StartWithStreams(2);
    ASSERT_EQ(m_pPnp->SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Lines{"wake pnp 23", "stop asio=on enum=on links=2", "unregister 0", "unregister 1",
                                "bus pnp 23 asio=on enum=on links=2"}));
    EXPECT_EQ(shell_test::DeviceState(), "asio=off enum=off links=2");
    EXPECT_EQ(m_Adapter.RefCount, 2) << "the device keeps its adapter until removal";

    // The removal that follows frees the link names without disabling anything twice.
    ASSERT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Lines{"wake pnp 2", "stop asio=off enum=off links=0", "unregister 0",
                                "unregister 1", "bus pnp 2 asio=off enum=off links=0"}));
}

TEST_F(DriverShell, AFailedUnregistrationEndsTheWalkAndOnlyRemovalReportsIt)
{
    StartWithStreams(3);
    m_Streams[1]->UnregisterStatus = STATUS_UNSUCCESSFUL;

    ASSERT_EQ(m_pPnp->SurpriseRemove(), STATUS_SUCCESS);
    Lines log = TakeLog();
    EXPECT_EQ(Lines(log.begin() + 1, log.end() - 1),
              (Lines{"stop asio=on enum=on links=2", "unregister 0", "unregister 1"}));
    EXPECT_TRUE(plat::DebugLog().empty());

    ASSERT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
    log = TakeLog();
    EXPECT_EQ(Lines(log.begin() + 1, log.end() - 1),
              (Lines{"stop asio=off enum=off links=0", "unregister 0", "unregister 1"}));
    EXPECT_EQ(plat::DebugLogText(), "Remove Miniport Failed StreamEngine ulIdx = 1\n");
}

TEST_F(DriverShell, AStreamThatCannotBeFetchedEndsTheWalkSilently)
{
    StartWithStreams(3);
    m_Adapter.GetStreamFailsAt = 1;
    ASSERT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Lines{"wake pnp 2", "stop asio=off enum=off links=0", "unregister 0",
                                "bus pnp 2 asio=off enum=off links=0"}));
    EXPECT_TRUE(plat::DebugLog().empty());
}

TEST_F(DriverShell, RemovalWithoutTheAdaptersUnknownStopsButTouchesNoStream)
{
    StartWithStreams(2);
    m_Adapter.RefuseUnknown = true;
    ASSERT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(),
              (Lines{"wake pnp 2", "stop asio=off enum=off links=0", "bus pnp 2 asio=off enum=off links=0"}));
}

TEST_F(DriverShell, RemovalOfADeviceWhoseStartFailedTouchesNoStream)
{
    m_Streams.push_back(std::make_unique<FakeStream>(&m_World.Log, 0));
    m_Adapter.Streams.push_back(m_Streams[0].get());
    m_World.Start.Status = STATUS_DEVICE_NOT_READY;
    LoadAndAdd();
    EXPECT_EQ(m_pPnp->Start(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Extension()->AdapterCommon, nullptr);
    TakeLog();

    ASSERT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
    // The start had enabled both interfaces before it failed; removal still takes them down first.
    EXPECT_EQ(TakeLog(), (Lines{"bus pnp 2 asio=off enum=off links=0"}));
}

TEST_F(DriverShell, ARemovalTheBusFailsStillReleasesTheAdapterAndTheDeviceBelow)
{
    StartWithStreams(1);
    m_bFailBusRemove = true;
    EXPECT_EQ(m_pPnp->Remove(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Adapter.RefCount, 1);
    // TearDown finds no live object: the reference on the device below was dropped too.
}

TEST_F(DriverShell, StartNeverWakesTheDeviceAndEveryOtherRequestDoes)
{
    StartWithStreams(0);
    ASSERT_EQ(m_pPnp->QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(m_pPnp->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(m_pPnp->Start(), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(m_pPnp->QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Lines{"wake pnp 5", "bus pnp 5 asio=on enum=on links=2", "wake pnp 4",
                                "bus pnp 4 asio=on enum=on links=2", "bus pnp 0 asio=on enum=on links=2",
                                "start device", "wake pnp 9", "bus pnp 9 asio=on enum=on links=2"}));
}

// ---- Handles ----

TEST_F(DriverShell, TheAsioNameInAnyLetterCaseReachesTheDevicesClientPath)
{
    StartWithStreams(0);
    for (const std::u16string name : {u"QXASIOPrivateInterface", u"qxasioprivateinterface",
                                      u"QXASIOPRIVATEINTERFACE", u"qXaSiOpRiVaTeInTeRfAcE"})
    {
        std::unique_ptr<ClientHandle> handle;
        ASSERT_EQ(ClientHandle::Open(GUID_DEVINTERFACE_ASIO_PRIVATE, name, &handle), STATUS_SUCCESS);
        EXPECT_EQ(m_Adapter.LastFile, handle->FileObject());
        m_Adapter.LastFile = nullptr;
        PFILE_OBJECT file = handle->FileObject();
        EXPECT_EQ(handle->Close(), STATUS_SUCCESS);
        EXPECT_EQ(m_Adapter.LastFile, file);
        EXPECT_EQ(TakeLog(), (Lines{"wake create", "open client", "wake cleanup", "cleanup client",
                                    "wake close", "close client"}));
        EXPECT_EQ(m_Adapter.RefCount, 2) << "only the device's own reference is left";
    }
}

TEST_F(DriverShell, EveryOtherHandleBelongsToThePortClassLibrary)
{
    StartWithStreams(0);
    std::unique_ptr<ClientHandle> handle;
    ASSERT_EQ(ClientHandle::Open(GUID_DEVINTERFACE_ENUM_PRIVATE, kEnumReference, &handle), STATUS_SUCCESS);
    // The library has no subdevice by the enumeration name and refuses controls on it.
    EXPECT_EQ(handle->DeviceControl(IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, nullptr, 0).Status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(handle->Close(), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Lines{"wake create", "wake control", "wake close"}));

    // Names no interface hands out, some close to the ASIO name.
    for (const std::u16string name :
         {u"", u"\\GlobalTopo", u"\\QXASIOPrivateInterfaceX", u"\\QXASIOPrivateInterfac",
          u"QXASIOPrivateInterface", u"\\QXEnumPrivateInterface"})
    {
        EXPECT_EQ(SendCreate(m_pPnp->Fdo(), name), STATUS_SUCCESS);
        EXPECT_EQ(TakeLog(), (Lines{"wake create"}));
    }
}

TEST_F(DriverShell, AsioControlsReachTheDeviceAndTheirAnswerComesBack)
{
    StartWithStreams(0);
    std::unique_ptr<ClientHandle> handle;
    ASSERT_EQ(ClientHandle::Open(GUID_DEVINTERFACE_ASIO_PRIVATE, kAsioReference, &handle), STATUS_SUCCESS);
    TakeLog();

    m_Adapter.Rate = 44100;
    ULONG rate = 0;
    sim::IoResult result = handle->DeviceControl(IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, &rate, sizeof(rate));
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, sizeof(ULONG));
    EXPECT_EQ(rate, 44100u);
    EXPECT_EQ(m_Adapter.LastFile, handle->FileObject());

    // A code the interface does not assign never reaches the device.
    result = handle->DeviceControl(0x1DA048, nullptr, 0, nullptr, 0);
    EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_EQ(TakeLog(), (Lines{"wake control", "get sample rate", "wake control"}));
    EXPECT_EQ(m_Adapter.RefCount, 2) << "the IAsioDevice reference was given back";
}

TEST_F(DriverShell, ACreateReportsTheDevicesOwnAnswerOrFailure)
{
    StartWithStreams(0);
    std::unique_ptr<ClientHandle> handle;
    // A success that is not STATUS_SUCCESS shows that the device's own status was passed on.
    m_Adapter.OpenStatus = STATUS_OBJECT_NAME_EXISTS;
    EXPECT_EQ(ClientHandle::Open(GUID_DEVINTERFACE_ASIO_PRIVATE, kAsioReference, &handle),
              STATUS_OBJECT_NAME_EXISTS);
    ASSERT_TRUE(handle);
    m_Adapter.CloseStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(handle->Close(), STATUS_UNSUCCESSFUL);

    m_Adapter.OpenStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(ClientHandle::Open(GUID_DEVINTERFACE_ASIO_PRIVATE, kAsioReference, &handle),
              STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(handle);
    EXPECT_EQ(m_Adapter.RefCount, 2);
}

TEST_F(DriverShell, ADeviceWithoutTheAsioInterfaceRefusesAsioHandles)
{
    StartWithStreams(0);
    std::unique_ptr<ClientHandle> handle;
    ASSERT_EQ(ClientHandle::Open(GUID_DEVINTERFACE_ASIO_PRIVATE, kAsioReference, &handle), STATUS_SUCCESS);
    m_Adapter.RefuseAsio = true;
    TakeLog();
    EXPECT_EQ(handle->DeviceControl(IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handle->Close(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ClientHandle::Open(GUID_DEVINTERFACE_ASIO_PRIVATE, kAsioReference, &handle),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(TakeLog(), (Lines{"wake control", "wake cleanup", "wake close", "wake create"}));
    EXPECT_EQ(m_Adapter.RefCount, 2);
}

TEST_F(DriverShell, AnAsioCreateOnADeviceThatNeverStartedFailsCleanly)
{
    // The start enabled the ASIO interface and then failed, so the adapter never arrived.
    m_World.Start.Status = STATUS_UNSUCCESSFUL;
    LoadAndAdd();
    EXPECT_EQ(m_pPnp->Start(), STATUS_UNSUCCESSFUL);
    TakeLog();
    std::unique_ptr<ClientHandle> handle;
    EXPECT_EQ(ClientHandle::Open(GUID_DEVINTERFACE_ASIO_PRIVATE, kAsioReference, &handle),
              STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(handle);
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(DriverShell, AsioHandlesThatOutliveTheDeviceFailWithoutReachingTheAdapter)
{
    StartWithStreams(0);
    std::unique_ptr<ClientHandle> handle;
    ASSERT_EQ(ClientHandle::Open(GUID_DEVINTERFACE_ASIO_PRIVATE, kAsioReference, &handle), STATUS_SUCCESS);
    ASSERT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(m_Adapter.RefCount, 1) << "removal gave the adapter back";
    TakeLog();

    EXPECT_EQ(handle->DeviceControl(IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handle->Close(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(TakeLog().empty());
}

} // namespace
