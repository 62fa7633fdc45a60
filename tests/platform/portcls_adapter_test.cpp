// Adapter side of the port-class stand-in, driven as the system drives an adapter driver: the
// dispatch table, the reserved extension area, start after the bus, removal after the driver's
// own handler, power delivered to IAdapterPowerManagement, registry keys, device properties and
// the version interface.
#include <gtest/gtest.h>

#include "portcls.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "sim/host/pnp_manager.h"

#include <string>
#include <vector>

namespace
{

constexpr ULONG kAdapterTag = MAKE_POOL_TAG('T', 'A', 'd', 'p');

// The driver's own part of the extension, after the library's area.
struct DriverExtension
{
    ULONG Marker;
    PDEVICE_OBJECT Pdo;
    ULONG_PTR Zeroes[6];
};

// What the test adapter saw, in order, with the bus's power requests interleaved.
struct World
{
    std::vector<std::string> Log;
    NTSTATUS StartStatus = STATUS_SUCCESS;
    NTSTATUS QueryPowerAnswer = STATUS_SUCCESS;
    ULONG ResourceCount = 99;
    bool ExtensionWasZero = false;
    bool ExtensionUsableAfterRemove = false;
    PDEVICE_OBJECT Fdo = nullptr;
};
World* g_world;

class CTestAdapter : public CUnknown, public IAdapterPowerManagement
{
public:
    DEFINE_STD_CONSTRUCTOR(CTestAdapter)
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override
    {
        g_world->Log.push_back("adapter D" + std::to_string(NewState.DeviceState - 1));
    }
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewState) override
    {
        g_world->Log.push_back("adapter query D" + std::to_string(NewState.DeviceState - 1));
        return g_world->QueryPowerAnswer;
    }
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES Caps) override
    {
        g_world->Log.push_back(std::string("adapter caps surprise-ok=") +
                               (Caps->SurpriseRemovalOK ? "1" : "0"));
        Caps->D2Latency = 1234;
        return STATUS_SUCCESS;
    }
};

STDMETHODIMP_(NTSTATUS) CTestAdapter::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (IsEqualGUIDAligned(InterfaceId, IID_IAdapterPowerManagement))
    {
        *Interface = static_cast<IAdapterPowerManagement*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(InterfaceId, Interface);
}

DriverExtension* DriverPart(PDEVICE_OBJECT fdo)
{
    return reinterpret_cast<DriverExtension*>(static_cast<PUCHAR>(fdo->DeviceExtension) +
                                              PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

NTSTATUS TestStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList)
{
    g_world->Log.push_back("StartDevice");
    g_world->ResourceCount = ResourceList->NumberOfEntries();
    if (!NT_SUCCESS(g_world->StartStatus))
        return g_world->StartStatus;
    auto* adapter = new (NonPagedPool, kAdapterTag) CTestAdapter(nullptr);
    adapter->AddRef();
    NTSTATUS status = PcRegisterAdapterPowerManagement(adapter->GetNonDelegatingUnknown(), DeviceObject);
    adapter->Release(); // the library keeps its own reference
    return status;
}

NTSTATUS TestAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    NTSTATUS status = PcAddAdapterDevice(DriverObject, Pdo, TestStartDevice, 20,
                                         PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(DriverExtension));
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(Pdo);
    DriverExtension* part = DriverPart(fdo);
    g_world->ExtensionWasZero = part->Marker == 0 && part->Pdo == nullptr && part->Zeroes[5] == 0;
    part->Marker = 0xFEEDF00D;
    part->Pdo = Pdo;
    g_world->Fdo = fdo;
    ObDereferenceObject(fdo);
    return status;
}

// The driver's own plug-and-play handler: removal is passed to the library, and the device
// must still be usable until this handler returns.
NTSTATUS TestDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    bool remove = IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
    NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
    if (remove)
    {
        g_world->Log.push_back("driver remove returned");
        g_world->ExtensionUsableAfterRemove =
            DriverPart(DeviceObject)->Marker == 0xFEEDF00D && plat::IoIsDeletePending(DeviceObject);
    }
    return status;
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, TestAddDevice);
    for (PDRIVER_DISPATCH routine : DriverObject->MajorFunction)
        if (routine != PcDispatchIrp)
            g_world->Log.push_back("a major function is not PcDispatchIrp");
    DriverObject->MajorFunction[IRP_MJ_PNP] = TestDispatchPnp;
    return status;
}

class PortClsAdapter : public testing::Test
{
protected:
    void SetUp() override
    {
        plat::RegReset();
        g_world = &m_World;
        m_Snapshot = plat::TakePoolSnapshot();
        m_Objects = plat::ObLiveObjectCount(nullptr);
        m_pPnp = new sim::PnpManager;
        // The bus logs what reaches it, then answers as usual.
        for (UCHAR major : {UCHAR(IRP_MJ_PNP), UCHAR(IRP_MJ_POWER)})
            m_pPnp->SetPdoHandler(
                major,
                [](PDEVICE_OBJECT, PIRP irp)
                {
                    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
                    if (stack->MajorFunction == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER)
                        g_world->Log.push_back("bus D" +
                                               std::to_string(stack->Parameters.Power.State.DeviceState - 1));
                    else if (stack->MajorFunction == IRP_MJ_PNP)
                        g_world->Log.push_back("bus pnp " + std::to_string(stack->MinorFunction));
                    return sim::PnpManager::kPdoNotHandled;
                });
    }

    void TearDown() override
    {
        delete m_pPnp;
        plat::Shutdown();
        EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_Objects);
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
        g_world = nullptr;
    }

    void LoadAndStart()
    {
        ASSERT_EQ(m_pPnp->LoadDriver(TestDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->Start(), STATUS_SUCCESS);
        m_World.Log.clear();
    }

    World m_World;
    sim::PnpManager* m_pPnp = nullptr;
    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
};

TEST_F(PortClsAdapter, AddDeviceReservesTheLibraryAreaAndAttachesToThePhysicalDevice)
{
    ASSERT_EQ(m_pPnp->LoadDriver(TestDriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(m_World.Log, std::vector<std::string>{}) << "every major function starts as PcDispatchIrp";
    EXPECT_EQ(PcAddAdapterDevice(m_pPnp->Driver(), m_pPnp->Pdo(), TestStartDevice, 20, 100),
              STATUS_INVALID_PARAMETER)
        << "an extension smaller than the library's area";
    ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = m_pPnp->Fdo();
    EXPECT_EQ(fdo, m_World.Fdo);
    EXPECT_TRUE(m_World.ExtensionWasZero);
    EXPECT_EQ(PORT_CLASS_DEVICE_EXTENSION_SIZE, 512u);
    EXPECT_EQ(fdo->StackSize, m_pPnp->Pdo()->StackSize + 1);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(m_pPnp->Driver()->DeviceObject, fdo);
}

VOID CompleteStartLater(PVOID irp)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -5 * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    g_world->Log.push_back("bus completes start");
    static_cast<PIRP>(irp)->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(static_cast<PIRP>(irp), IO_NO_INCREMENT);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(PortClsAdapter, StartDeviceRunsOnlyAfterTheBusCompletedTheStart)
{
    // The bus finishes the start later, on a thread of its own.
    m_pPnp->SetPdoHandler(IRP_MJ_PNP,
                          [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS
                          {
                              if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_START_DEVICE)
                                  return sim::PnpManager::kPdoNotHandled;
                              IoMarkIrpPending(irp);
                              HANDLE thread;
                              OBJECT_ATTRIBUTES attributes;
                              InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr,
                                                         nullptr);
                              PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                                   CompleteStartLater, irp);
                              ZwClose(thread);
                              return STATUS_PENDING;
                          });
    ASSERT_EQ(m_pPnp->LoadDriver(TestDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(m_pPnp->Start(), STATUS_SUCCESS);
    EXPECT_EQ(m_World.Log, (std::vector<std::string>{"bus completes start", "StartDevice"}));
    EXPECT_EQ(m_World.ResourceCount, 0u) << "a USB function has no hardware resources";
}

TEST_F(PortClsAdapter, RemoveDeletesTheDeviceOnlyAfterTheDriversHandlerReturned)
{
    LoadAndStart();
    SIZE_T devices = plat::ObLiveObjectCount(IoDeviceObjectType);
    EXPECT_EQ(m_pPnp->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(m_World.Log, (std::vector<std::string>{"bus pnp 2", "driver remove returned"}));
    EXPECT_TRUE(m_World.ExtensionUsableAfterRemove);
    EXPECT_EQ(m_pPnp->Fdo(), nullptr) << "detached from the physical device";
    EXPECT_EQ(m_pPnp->Driver()->DeviceObject, nullptr);
    EXPECT_EQ(plat::ObLiveObjectCount(IoDeviceObjectType), devices - 1);
}

// A refusal of the query stops there; the bus never sees it.
TEST_F(PortClsAdapter, QueryPowerIsTheAdaptersAnswer)
{
    LoadAndStart();
    m_World.QueryPowerAnswer = STATUS_DEVICE_BUSY;
    EXPECT_EQ(m_pPnp->QueryDevicePower(PowerDeviceD3), STATUS_DEVICE_BUSY);
    m_World.QueryPowerAnswer = STATUS_SUCCESS;
    EXPECT_EQ(m_pPnp->QueryDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(m_World.Log, (std::vector<std::string>{"adapter query D3", "adapter query D3"}));
}

UNICODE_STRING Name(PCWSTR text)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    return name;
}

NTSTATUS CollectValue(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entry)
{
    auto* seen = static_cast<std::vector<std::u16string>*>(context);
    seen->push_back(std::u16string(name) + u"=" + std::u16string(1, char16_t(u'0' + type)) + u"/" +
                    std::u16string(1, char16_t(u'0' + length)));
    return STATUS_SUCCESS;
}

TEST_F(PortClsAdapter, DriverAndDeviceKeysRoundTripValuesAndQueryTables)
{
    LoadAndStart();
    PREGISTRYKEY driverKey = nullptr;
    ASSERT_EQ(PcNewRegistryKey(&driverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, m_pPnp->Fdo(), nullptr,
                               nullptr, 0, nullptr),
              STATUS_SUCCESS);
    PREGISTRYKEY settings = nullptr;
    UNICODE_STRING settingsName = Name(u"Settings");
    ULONG disposition = 0;
    ASSERT_EQ(driverKey->NewSubKey(&settings, nullptr, KEY_ALL_ACCESS, &settingsName, 0, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    UNICODE_STRING value = Name(u"Unit5Volume0");
    UCHAR data[4] = {0x00, 0xFE, 0xFF, 0xFF};
    EXPECT_EQ(settings->SetValueKey(&value, REG_BINARY, data, sizeof(data)), STATUS_SUCCESS);

    // The value is where the system keeps the driver key, and reads back through the key.
    std::vector<UCHAR> stored;
    ULONG type = 0;
    EXPECT_EQ(plat::RegGetValue(plat::IoDriverKeyPath(m_pPnp->Pdo()) + u"\\Settings", u"Unit5Volume0", &type,
                                &stored),
              STATUS_SUCCESS);
    EXPECT_EQ(stored, std::vector<UCHAR>(data, data + 4));
    union
    {
        KEY_VALUE_PARTIAL_INFORMATION Info;
        UCHAR Bytes[64];
    } partial;
    ULONG length = 0;
    ASSERT_EQ(settings->QueryValueKey(&value, KeyValuePartialInformation, &partial, sizeof(partial), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(partial.Info.Type, ULONG(REG_BINARY));
    EXPECT_EQ(partial.Info.DataLength, 4u);
    EXPECT_EQ(std::memcmp(partial.Info.Data, data, 4), 0);
    ASSERT_EQ(settings->EnumerateValueKey(0, KeyValuePartialInformation, &partial, sizeof(partial), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(settings->EnumerateValueKey(1, KeyValuePartialInformation, &partial, sizeof(partial), &length),
              STATUS_NO_MORE_ENTRIES);
    union
    {
        KEY_BASIC_INFORMATION Info;
        UCHAR Bytes[128];
    } basic;
    ASSERT_EQ(driverKey->EnumerateKey(0, KeyBasicInformation, &basic, sizeof(basic), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(basic.Info.Name, basic.Info.NameLength / 2), u"Settings");
    ASSERT_EQ(settings->QueryKey(KeyBasicInformation, &basic, sizeof(basic), &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(basic.Info.Name, basic.Info.NameLength / 2), u"Settings");

    // A subkey opened for queries only refuses writes, as the registry enforces it.
    PREGISTRYKEY readOnly = nullptr;
    ASSERT_EQ(driverKey->NewSubKey(&readOnly, nullptr, KEY_QUERY_VALUE, &settingsName, 0, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(readOnly->SetValueKey(&value, REG_BINARY, data, sizeof(data)), STATUS_ACCESS_DENIED);
    readOnly->Release();

    EXPECT_EQ(settings->DeleteKey(), STATUS_SUCCESS);
    EXPECT_EQ(settings->SetValueKey(&value, REG_BINARY, data, sizeof(data)), STATUS_INVALID_HANDLE);
    EXPECT_FALSE(plat::RegKeyExists(plat::IoDriverKeyPath(m_pPnp->Pdo()) + u"\\Settings"));
    settings->Release();
    driverKey->Release();

    std::u16string path = plat::IoDeviceParametersKeyPath(m_pPnp->Pdo());
    plat::RegSetDword(path, u"SelectiveSuspendEnabled", 1);
    plat::RegSetBinary(path, u"Blob", {1, 2, 3});
    PREGISTRYKEY key = nullptr;
    ASSERT_EQ(PcNewRegistryKey(&key, nullptr, DeviceRegistryKey, KEY_READ, m_pPnp->Fdo(), nullptr, nullptr, 0,
                               nullptr),
              STATUS_SUCCESS);
    ULONG suspend = 0;
    ULONG fallback = 0;
    ULONG fallbackDefault = 42;
    std::vector<std::u16string> seen;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"SelectiveSuspendEnabled"), &suspend,
         REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Missing"), &fallback, REG_DWORD,
         &fallbackDefault, sizeof(ULONG)},
        {CollectValue, 0, const_cast<PWSTR>(u"Blob"), nullptr, REG_NONE, nullptr, 0},
        {},
    };
    EXPECT_EQ(key->QueryRegistryValues(table, &seen), STATUS_SUCCESS);
    EXPECT_EQ(suspend, 1u);
    EXPECT_EQ(fallback, 42u);
    EXPECT_EQ(seen, std::vector<std::u16string>{u"Blob=3/3"});
    RTL_QUERY_REGISTRY_TABLE required[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, const_cast<PWSTR>(u"Missing"),
         &fallback, REG_NONE, nullptr, 0},
        {},
    };
    EXPECT_EQ(key->QueryRegistryValues(required, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
    key->Release();

    // The other key kinds land where the system keeps them.
    struct Row
    {
        ULONG Type;
        std::u16string Path;
    };
    const Row rows[] = {
        {DeviceRegistryKey, path},
        {HwProfileRegistryKey,
         u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System"
         u"\\CurrentControlSet\\Enum\\USB\\VID_0D8C&PID_0014\\5&2a3c&0&1"},
    };
    for (const Row& row : rows)
    {
        ASSERT_EQ(PcNewRegistryKey(&key, nullptr, row.Type, KEY_ALL_ACCESS, m_pPnp->Fdo(), nullptr, nullptr,
                                   0, nullptr),
                  STATUS_SUCCESS);
        UNICODE_STRING name = Name(u"Kind");
        ULONG kind = row.Type;
        EXPECT_EQ(key->SetValueKey(&name, REG_DWORD, &kind, sizeof(kind)), STATUS_SUCCESS);
        key->Release();
        ULONG stored = 0;
        EXPECT_TRUE(plat::RegGetDword(row.Path, u"Kind", &stored));
        EXPECT_EQ(stored, row.Type);
    }
    UNICODE_STRING general = Name(u"\\Registry\\Machine\\SOFTWARE");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &general, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    EXPECT_EQ(PcNewRegistryKey(&key, nullptr, GeneralRegistryKey, KEY_READ, nullptr, nullptr, &attributes, 0,
                               nullptr),
              STATUS_SUCCESS);
    key->Release();
    EXPECT_EQ(
        PcNewRegistryKey(&key, nullptr, GeneralRegistryKey, KEY_READ, nullptr, nullptr, nullptr, 0, nullptr),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
}

} // namespace
