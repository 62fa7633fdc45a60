// The one rig for tests of the WaveCyclic port and the audio engine: a small port-class driver
// whose StartDevice registers one wave subdevice, "TestWave", bound to the wave miniport
// double with the test's configuration, loaded and started by the plug-and-play manager. It
// ends with no handle, object or pool block left over.
#pragma once

#include <gtest/gtest.h>

#include "object.h"
#include "pc_port_internal.h"
#include "plat_pool.h"
#include "plat_portcls.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "portcls.h"
#include "sim/host/audio_engine.h"
#include "sim/host/pnp_manager.h"
#include "support/wave_miniport_double.h"

#include <memory>

namespace doubles
{

class WavePortRig : public testing::Test
{
protected:
    static constexpr const char16_t* kFilter = u"TestWave";

    // Loads and starts the driver with the miniport configured as given.
    void Start(const WaveMiniportConfig& Config = WaveMiniportConfig())
    {
        plat::RegReset();
        Current() = this;
        m_Config = Config;
        m_Snapshot = plat::TakePoolSnapshot();
        m_Objects = plat::ObLiveObjectCount(nullptr);
        m_pPnp.reset(new sim::PnpManager);
        ASSERT_EQ(m_pPnp->LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->Start(), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (!m_pPnp)
            return;
        EXPECT_EQ(plat::pc::OpenSubdeviceHandleCount(), 0u) << "a test left a handle open";
        if (m_pPnp->Fdo())
            plat::PcForgetDevice(m_pPnp->Fdo());
        m_pPnp.reset();
        plat::Shutdown();
        EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_Objects);
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
        Current() = nullptr;
    }

    NTSTATUS OpenPin(const std::vector<UCHAR>& Format, std::unique_ptr<sim::AudioPin>* Pin, ULONG PinId = 0)
    {
        return sim::AudioPin::Open(m_pPnp->Pdo(), kFilter, PinId, Format, Pin);
    }

    // Lets Ms milliseconds of platform time pass for the calling (test) thread.
    static void Sleep(LONGLONG Ms)
    {
        LARGE_INTEGER t;
        t.QuadPart = -Ms * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }

    WaveMiniportConfig m_Config;
    WaveMiniportLog m_Log;
    std::unique_ptr<sim::PnpManager> m_pPnp;

private:
    static WavePortRig*& Current()
    {
        static WavePortRig* rig = nullptr;
        return rig;
    }

    static NTSTATUS StartDevice(PDEVICE_OBJECT Device, PIRP Irp, PRESOURCELIST)
    {
        PPORT port = nullptr;
        NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
        if (!NT_SUCCESS(status))
            return status;
        PUNKNOWN miniport = CreateTestWaveMiniport(&Current()->m_Config, &Current()->m_Log);
        status = port->Init(Device, Irp, miniport, nullptr, nullptr);
        if (NT_SUCCESS(status))
            status = PcRegisterSubdevice(Device, const_cast<PWSTR>(kFilter), port);
        miniport->Release();
        port->Release();
        return status;
    }
    static NTSTATUS AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
    {
        return PcAddAdapterDevice(Driver, Pdo, StartDevice, 4, 0);
    }
    static NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING Path)
    {
        return PcInitializeAdapterDriver(Driver, Path, AddDevice);
    }

    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_Objects = 0;
};

} // namespace doubles
