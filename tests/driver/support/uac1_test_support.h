// Rig of the class-1 audio function tests: the simulated device model with its status-interrupt
// endpoint behind the USB bus stand-in, the plug-and-play host with the real adapter device
// extension, CUsbDevice with the built-in creators (so the real CUac1Device serves class-1
// devices), and a builder of class-1 descriptor sets for profiles of our own.
#pragma once

#include <gtest/gtest.h>

#include "plat_debug.h"
#include "plat_io.h"
#include "plat_pool.h"
#include "plat_registry.h"
#include "plat_sched.h"
#include "portcls.h"
#include "sim/device/audio_control.h"
#include "sim/device/device_model.h"
#include "sim/device/usb_sim_device.h"
#include "sim/device/status_endpoint.h"
#include "sim/host/pnp_manager.h"
#include "sim/profiles/profile.h"
#include "usb_bus.h"

#include "driver/adapter/device_extension.h"
#include "driver/function/uac1/uac1_device.h"
#include "driver/topology/nodes/usb_entity_node.h"
#include "driver/usb/usb_device.h"
#include "driver/wave/usb_audio_stream.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace u1t
{

// The device model on the port; the status endpoint answers the interrupt reads, and a test
// may make that endpoint stall.
class StatusBusDevice : public plat::IUsbBusDevice
{
public:
    explicit StatusBusDevice(const sim::DeviceProfile& profile) : m_Model(profile)
    {
        m_Status.reset(new sim::StatusEndpoint(m_Model.Profile(), m_Model.AudioControl(),
                                               [this](uint8_t address)
                                               {
                                                   if (plat::IUsbBusEvents* events = m_Events.load())
                                                       events->EndpointReady(address);
                                               }));
    }

    sim::UsbDeviceModel& Model() { return m_Model; }
    sim::StatusEndpoint& Status() { return *m_Status; }

    // The status endpoint answers its next read with a stall.
    void StallStatusEndpoint(uint8_t address)
    {
        m_StallStatus = true;
        if (plat::IUsbBusEvents* events = m_Events.load())
            events->EndpointReady(address);
    }
    int StatusReads() const { return m_StatusReads.load(); }

    plat::UsbBusSpeed Speed() const override { return sim::BusSpeedOf(m_Model); }
    bool IsConnected() const override { return !m_Model.IsVanished(); }
    bool SupportsRemoteWakeup() const override { return false; }
    plat::UsbControlAnswer Control(const plat::UsbSetupPacket& setup, const std::vector<UCHAR>& out) override
    {
        return sim::AnswerControl(m_Model, setup, out);
    }
    NTSTATUS QueryPortStatus(ULONG* status) override
    {
        *status = IsConnected() ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS ResetPort() override
    {
        m_Model.ResetPort();
        return STATUS_SUCCESS;
    }
    NTSTATUS CyclePort() override { return STATUS_SUCCESS; }
    USBD_STATUS IsochronousOut(UCHAR, ULONG, ULONG, const UCHAR*, ULONG) override
    {
        return USBD_STATUS_SUCCESS;
    }
    USBD_STATUS IsochronousIn(UCHAR, ULONG, ULONG, UCHAR*, ULONG, ULONG* length) override
    {
        *length = 0;
        return USBD_STATUS_SUCCESS;
    }
    plat::UsbHandshake InterruptOrBulkOut(UCHAR, const UCHAR*, ULONG) override
    {
        return plat::UsbHandshake::Ack;
    }
    plat::UsbHandshake InterruptOrBulkIn(UCHAR address, UCHAR* data, ULONG capacity, ULONG* length) override
    {
        *length = 0;
        if (!IsConnected())
            return plat::UsbHandshake::DeviceGone;
        if (!m_Status->Serves(address))
            return plat::UsbHandshake::Nak;
        ++m_StatusReads;
        if (m_StallStatus.exchange(false))
            return plat::UsbHandshake::Stall;
        uint32_t got = 0;
        bool sent = m_Status->Read(address, data, capacity, &got);
        *length = got;
        return sent ? plat::UsbHandshake::Ack : plat::UsbHandshake::Nak;
    }
    void SetBusEvents(plat::IUsbBusEvents* events) override { m_Events.store(events); }
    void RecordTransfer(const plat::UsbBusTransferRecord&) override {}

private:
    sim::UsbDeviceModel m_Model;
    std::unique_ptr<sim::StatusEndpoint> m_Status;
    std::atomic<plat::IUsbBusEvents*> m_Events{nullptr};
    std::atomic<bool> m_StallStatus{false};
    std::atomic<int> m_StatusReads{0};
};

inline NTSTATUS RigStartDevice(PDEVICE_OBJECT, PIRP, PRESOURCELIST)
{
    return STATUS_SUCCESS;
}

inline NTSTATUS RigAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driver, pdo, RigStartDevice, 20, sizeof(AdapterDeviceExtension));
}

inline NTSTATUS RigDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    return PcInitializeAdapterDriver(driver, registryPath, RigAddDevice);
}

// Control-change records seen on the device's callback object.
struct ChangeLog
{
    std::mutex Lock;
    std::vector<ULONG> NodeIds;

    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto* log = static_cast<ChangeLog*>(context);
        auto* record = static_cast<AudioHalNotification*>(argument1);
        if (record->Class == AUDIO_HAL_CLASS_CONTROL_CHANGE && record->Event == AUDIO_HAL_EVENT_VALUE_CHANGED)
        {
            std::lock_guard<std::mutex> guard(log->Lock);
            log->NodeIds.push_back(record->NodeId);
        }
    }
    std::vector<ULONG> Take()
    {
        std::lock_guard<std::mutex> guard(Lock);
        std::vector<ULONG> ids;
        ids.swap(NodeIds);
        return ids;
    }
};

class Uac1Rig : public testing::Test
{
protected:
    void SetUp() override
    {
        plat::RegReset();
        plat::ClearDebugLog();
        m_Snapshot = plat::TakePoolSnapshot();
        // The built-in creators: class-1 devices get the real function object.
        m_pPreviousCreators = UsbDeviceSetAudioFunctionCreators(nullptr);
    }

    void TearDown() override
    {
        if (m_pCommon)
        {
            // As removal does: the status thread ends before the rig lets go of the device
            // and takes the bus away beneath it.
            m_pCommon->Stop();
            m_pCommon->Release();
        }
        m_pCommon = nullptr;
        delete m_pPnp;
        m_pPnp = nullptr;
        delete m_pBus;
        m_pBus = nullptr;
        delete m_pDevice;
        m_pDevice = nullptr;
        UsbDeviceSetAudioFunctionCreators(m_pPreviousCreators);
        plat::FailSystemThreadCreations(0);
        plat::ClearPoolFailures();
        plat::Shutdown();
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
    }

    // A built-in profile name, or profile text.
    void Plug(const std::string& nameOrText)
    {
        sim::DeviceProfile profile;
        std::string error;
        bool loaded = nameOrText.find('\n') == std::string::npos
                          ? sim::LoadProfile(nameOrText, &profile, &error)
                          : sim::DeviceProfile::Parse(nameOrText, "test", "", &profile, &error);
        ASSERT_TRUE(loaded) << error;
        m_pDevice = new StatusBusDevice(profile);
        m_pBus = new plat::UsbBus(m_pDevice);
        m_pPnp = new sim::PnpManager();
        m_pPnp->SetPdoHandler(IRP_MJ_INTERNAL_DEVICE_CONTROL, [this](PDEVICE_OBJECT pdo, PIRP irp)
                              { return m_pBus->DispatchInternalDeviceControl(pdo, irp); });
        m_pPnp->SetPdoHandler(IRP_MJ_PNP,
                              [this](PDEVICE_OBJECT pdo, PIRP irp)
                              {
                                  NTSTATUS status = STATUS_SUCCESS;
                                  return m_pBus->DispatchPnp(pdo, irp, &status)
                                             ? status
                                             : sim::PnpManager::kPdoNotHandled;
                              });
        ASSERT_EQ(plat::RegCreateKeyPath(plat::IoDeviceInstanceKeyPath(m_pPnp->Pdo())), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->LoadDriver(RigDriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(m_pPnp->AddDevice(), STATUS_SUCCESS);
    }

    // CreateUsbDevice and Init, as StartDevice runs them.
    NTSTATUS StartUsbDevice()
    {
        NTSTATUS status = CreateUsbDevice(&m_pCommon);
        if (!NT_SUCCESS(status))
            return status;
        return m_pCommon->Init(nullptr, m_pPnp->Fdo(), m_pPnp->Pdo(), m_pPnp->Pdo());
    }

    // The function object, without a reference of the test's own.
    CUac1Device* Function()
    {
        IUsbAudioFunction* function = nullptr;
        if (!NT_SUCCESS(
                m_pCommon->QueryInterface(IID_IUsbAudioFunction, reinterpret_cast<PVOID*>(&function))))
            return nullptr;
        function->Release();
        return static_cast<CUac1Device*>(function);
    }

    struct NodeInfo
    {
        ULONG Id;
        ULONG Kind;
        std::vector<ULONG> Sources;
    };
    static NodeInfo Describe(ITopologyNode* node)
    {
        NodeInfo info{node->GetId(), node->GetKind(), {}};
        ULONG count = node->GetSourceCount();
        info.Sources.resize(count);
        if (count)
            node->GetSourceIdList(&count, info.Sources.data());
        return info;
    }
    std::vector<NodeInfo> Nodes()
    {
        std::vector<NodeInfo> nodes;
        for (ULONG i = 0; i < m_pCommon->GetNodeCount(); ++i)
        {
            ITopologyNode* node = nullptr;
            EXPECT_EQ(m_pCommon->GetNode(i, &node), STATUS_SUCCESS);
            if (node)
                nodes.push_back(Describe(node));
        }
        return nodes;
    }
    std::vector<NodeInfo> StreamNodes(IStreamEngine* stream)
    {
        std::vector<NodeInfo> nodes;
        for (ULONG i = 0; i < stream->GetNodeCount(); ++i)
        {
            ITopologyNode* node = nullptr;
            EXPECT_EQ(stream->GetNode(i, &node), STATUS_SUCCESS);
            if (node)
                nodes.push_back(Describe(node));
        }
        return nodes;
    }
    IStreamEngine* Stream(ULONG index)
    {
        IStreamEngine* stream = nullptr;
        EXPECT_EQ(m_pCommon->GetStream(index, &stream), STATUS_SUCCESS);
        return stream;
    }
    std::vector<WAVEFORMATEXTENSIBLE> Formats(IStreamEngine* stream)
    {
        std::vector<WAVEFORMATEXTENSIBLE> formats(stream->GetFormatCount());
        for (ULONG i = 0; i < formats.size(); ++i)
            EXPECT_EQ(stream->GetFormat(i, &formats[i]), STATUS_SUCCESS);
        return formats;
    }
    // Class GET_CUR requests to an entity of interface 0 that the device saw.
    size_t GetCurCount(uint8_t entity, int selector = -1)
    {
        size_t count = 0;
        for (const sim::ControlRecord& record : m_pDevice->Model().Log())
        {
            const sim::SetupPacket& s = record.Setup;
            if (s.RequestType == 0xA1 && s.Request == 0x81 && (s.Index >> 8) == entity &&
                (selector < 0 || (s.Value >> 8) == selector))
                ++count;
        }
        return count;
    }

    sim::PnpManager* m_pPnp = nullptr;
    plat::UsbBus* m_pBus = nullptr;
    StatusBusDevice* m_pDevice = nullptr;
    PADAPTERCOMMON m_pCommon = nullptr;

private:
    const AudioFunctionCreators* m_pPreviousCreators = nullptr;
    plat::PoolSnapshot m_Snapshot;
};

// ---- Descriptor sets of our own ----

inline std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char byte[4];
    for (uint8_t b : bytes)
    {
        std::snprintf(byte, sizeof(byte), "%02X ", b);
        text += byte;
    }
    return text;
}

// Builds a class-1 function: device descriptor, configuration with one audio-control interface
// (the class-specific descriptors given) and the streaming interfaces given (alternate 0 then
// the descriptors of alternate 1). Lengths and counts are filled in.
struct Uac1Builder
{
    uint16_t VendorId = 0xFFF1;
    uint16_t ProductId = 0x0101;
    std::vector<std::vector<uint8_t>> Control;              // class-specific AC descriptors
    std::vector<std::vector<uint8_t>> ControlEndpoints;     // endpoints of the AC interface
    std::vector<std::vector<std::vector<uint8_t>>> Streams; // per AS interface: alt 1's descriptors

    static std::vector<uint8_t> InputTerminal(uint8_t id, uint16_t type, uint8_t channels)
    {
        return {
            12, 0x24, 2, id, uint8_t(type), uint8_t(type >> 8), 0, channels, uint8_t(channels == 2 ? 3 : 0),
            0,  0,    0};
    }
    static std::vector<uint8_t> OutputTerminal(uint8_t id, uint16_t type, uint8_t source)
    {
        return {9, 0x24, 3, id, uint8_t(type), uint8_t(type >> 8), 0, source, 0};
    }
    // Master mute only, one-byte bitmaps.
    static std::vector<uint8_t> MuteUnit(uint8_t id, uint8_t source)
    {
        return {8, 0x24, 6, id, source, 1, 0x01, 0};
    }
    static std::vector<uint8_t> Selector(uint8_t id, std::vector<uint8_t> sources)
    {
        std::vector<uint8_t> d = {uint8_t(6 + sources.size()), 0x24, 5, id, uint8_t(sources.size())};
        d.insert(d.end(), sources.begin(), sources.end());
        d.push_back(0);
        return d;
    }
    static std::vector<uint8_t> General(uint8_t terminal, uint16_t tag = 1)
    {
        return {7, 0x24, 1, terminal, 1, uint8_t(tag), uint8_t(tag >> 8)};
    }
    static std::vector<uint8_t> Format(uint8_t type, uint8_t channels, uint8_t subframe, uint8_t bits,
                                       std::vector<uint32_t> rates, bool continuous = false)
    {
        std::vector<uint8_t> d = {0,        0x24,     2,    type,
                                  channels, subframe, bits, uint8_t(continuous ? 0 : rates.size())};
        for (uint32_t rate : rates)
        {
            d.push_back(uint8_t(rate));
            d.push_back(uint8_t(rate >> 8));
            d.push_back(uint8_t(rate >> 16));
        }
        d[0] = uint8_t(d.size());
        return d;
    }
    static std::vector<uint8_t> IsoEndpoint(uint8_t address)
    {
        return {9, 5, address, 0x09, 0xC4, 0, 1, 0, 0};
    }

    std::vector<uint8_t> Configuration() const
    {
        std::vector<uint8_t> ac;
        for (const auto& d : Control)
            ac.insert(ac.end(), d.begin(), d.end());
        std::vector<uint8_t> header = {uint8_t(8 + Streams.size()), 0x24, 1, 0, 1, 0, 0,
                                       uint8_t(Streams.size())};
        for (size_t i = 0; i < Streams.size(); ++i)
            header.push_back(uint8_t(i + 1));
        uint16_t acTotal = uint16_t(header.size() + ac.size());
        header[5] = uint8_t(acTotal);
        header[6] = uint8_t(acTotal >> 8);
        std::vector<uint8_t> cfg = {9, 2, 0, 0, uint8_t(1 + Streams.size()), 1, 0, 0x80, 50};
        std::vector<uint8_t> acInterface = {9, 4, 0, 0, uint8_t(ControlEndpoints.size()), 1, 1, 0, 0};
        cfg.insert(cfg.end(), acInterface.begin(), acInterface.end());
        cfg.insert(cfg.end(), header.begin(), header.end());
        cfg.insert(cfg.end(), ac.begin(), ac.end());
        for (const auto& e : ControlEndpoints)
            cfg.insert(cfg.end(), e.begin(), e.end());
        for (size_t i = 0; i < Streams.size(); ++i)
        {
            uint8_t number = uint8_t(i + 1);
            std::vector<uint8_t> alt0 = {9, 4, number, 0, 0, 1, 2, 0, 0};
            size_t endpoints = 0;
            for (const auto& d : Streams[i])
                endpoints += d.size() > 1 && d[1] == 5;
            std::vector<uint8_t> alt1 = {9, 4, number, 1, uint8_t(endpoints), 1, 2, 0, 0};
            cfg.insert(cfg.end(), alt0.begin(), alt0.end());
            cfg.insert(cfg.end(), alt1.begin(), alt1.end());
            for (const auto& d : Streams[i])
                cfg.insert(cfg.end(), d.begin(), d.end());
        }
        cfg[2] = uint8_t(cfg.size());
        cfg[3] = uint8_t(cfg.size() >> 8);
        return cfg;
    }

    std::string Profile(const std::string& extra = "") const
    {
        std::vector<uint8_t> device = {18,
                                       1,
                                       0x10,
                                       1,
                                       0,
                                       0,
                                       0,
                                       64,
                                       uint8_t(VendorId),
                                       uint8_t(VendorId >> 8),
                                       uint8_t(ProductId),
                                       uint8_t(ProductId >> 8),
                                       0,
                                       1,
                                       1,
                                       2,
                                       3,
                                       1};
        return "name built\nspeed full\ndescriptors\n" + Hex(device) + "\n" + Hex(Configuration()) +
               "\nend\nstring 1 \"Uacsim\"\nstring 2 \"Built\"\nstring 3 \"B0001\"\nstring 0x50 "
               "\"0100-B\"\n" +
               extra;
    }
};

// A speaker: USB streaming -> mute unit -> speaker, one render interface.
inline Uac1Builder SpeakerSet()
{
    Uac1Builder b;
    b.Control = {Uac1Builder::InputTerminal(1, 0x0101, 2), Uac1Builder::MuteUnit(2, 1),
                 Uac1Builder::OutputTerminal(3, 0x0301, 2)};
    b.Streams = {{Uac1Builder::General(1), Uac1Builder::Format(1, 2, 2, 16, {44100, 48000}),
                  Uac1Builder::IsoEndpoint(0x01)}};
    return b;
}

} // namespace u1t
