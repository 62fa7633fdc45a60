// The class-2 stream rig: CUsbDevice on a bare adapter over the simulated class-2 device, with
// the real class-2 stream objects made on it as the descriptor walk makes them and driven
// through ICyclicControl by test clients. The device's clock node is the one double: until the
// driver builds its class-2 entities, a clock node that sends the clock source's sampling
// frequency request stands in for it (the audio function double lists it, so the streams find
// it among the device's nodes as they will find the real one). The device's record of the
// traffic and its render buffer are the oracles.
#pragma once

#include "support/function_double.h"
#include "support/stream_rig.h"

#include "driver/topology/nodes/clock_node.h"
#include "driver/wave/uac2_capture_stream.h"
#include "driver/wave/uac2_render_stream.h"

#include "usbdlib.h"

#include <memory>
#include <string>
#include <vector>

namespace u2rig
{

constexpr ULONG kTestTag = MAKE_POOL_TAG('T', 'U', 'a', '2');
// The clock source entity of the built-in class-2 profiles and the id of its node.
constexpr UCHAR kClockEntity = 10;
constexpr ULONG kClockNodeId = 0x0A00;

// The clock source node: SET CUR of the entity's sampling frequency to the device, cached on
// success, refused without a request while Refuse is set.
class CClockNodeDouble : public CClockNode
{
public:
    CClockNodeDouble(PUNKNOWN outer, ULONG id) : CClockNode(outer, id) {}
    STDMETHODIMP_(NTSTATUS) SetSampleRate(ULONG rate) override
    {
        if (Refuse)
            return STATUS_UNSUCCESSFUL;
        IUsbDevice* usb = nullptr;
        if (!fdt::g_Created.Outer ||
            !NT_SUCCESS(fdt::g_Created.Outer->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&usb))))
            return STATUS_INVALID_DEVICE_STATE;
        URB urb{};
        ULONG data = rate;
        UsbBuildVendorRequest(
            &urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
            USBD_TRANSFER_DIRECTION_OUT, 0, 0x01, 0x0100,
            USHORT(kClockEntity << 8 | usb->GetControlInterfaceNumber()), &data, nullptr, 4, nullptr);
        NTSTATUS status = usb->SubmitUrbSync(&urb);
        usb->Release();
        if (NT_SUCCESS(status))
            m_nRate = rate;
        return status;
    }
    static inline bool Refuse = false;
};

inline NTSTATUS AddClockNode(fdt::CFunctionDouble* function)
{
    auto* node = new (NonPagedPool, kTestTag) CClockNodeDouble(nullptr, kClockNodeId);
    if (!node)
        return STATUS_INSUFFICIENT_RESOURCES;
    node->NonDelegatingAddRef();
    NTSTATUS status = function->AddNode(node);
    node->Release();
    return status;
}

// An 8-channel format of the built-in class-2 interface: 24 bits in 4-byte slots (high speed)
// or 16 bits (full speed).
inline WAVEFORMATEXTENSIBLE Format8(ULONG rateHz, bool highSpeed = true)
{
    return highSpeed ? rig::ClientFormat(8, rateHz, 4, 24, 0x63F)
                     : rig::ClientFormat(8, rateHz, 2, 16, 0x63F);
}

class Uac2StreamRig : public rig::DriverRig
{
protected:
    Uac2StreamRig() : DriverRig(rig::BareAdapter(&fdt::kDoubleCreators)) {}

    void SetUp() override
    {
        fdt::ResetFunctionDouble();
        fdt::g_Script.Build = AddClockNode;
        CClockNodeDouble::Refuse = false;
        DriverRig::SetUp();
    }

    void TearDown() override
    {
        for (auto& client : m_Clients)
            client->Leave();
        m_Clients.clear();
        for (PUNKNOWN stream : m_Streams)
            stream->Release();
        m_Streams.clear();
        plat::Settle();
        DriverRig::TearDown();
    }

    // Plugs the device (a built-in profile, edited as the pairs say) and starts CUsbDevice on it.
    void Start(const std::string& name, const std::vector<std::pair<std::string, std::string>>& edits = {})
    {
        std::string text = sim::BuiltinProfileText(name);
        for (const auto& edit : edits)
        {
            const size_t at = text.find(edit.first);
            ASSERT_NE(at, std::string::npos) << edit.first;
            text.replace(at, edit.first.size(), edit.second);
        }
        Plug(text);
        ASSERT_EQ(StartUsbDevice(), STATUS_SUCCESS) << plat::DebugLogText();
    }

    // A class-2 stream of the interface with the formats on alternate setting 1, as the walk
    // makes it; the rig releases it at teardown.
    template <class T> T* MakeStream(ULONG interfaceNumber, const std::vector<WAVEFORMATEXTENSIBLE>& formats)
    {
        T* stream = new (NonPagedPool, kTestTag) T(nullptr, interfaceNumber, 1u, kClockNodeId);
        EXPECT_NE(stream, nullptr);
        if (!stream)
            return nullptr;
        stream->NonDelegatingAddRef();
        m_Streams.push_back(stream->GetNonDelegatingUnknown());
        const ULONG direction = interfaceNumber == 2 ? STREAM_DIRECTION_CAPTURE : STREAM_DIRECTION_RENDER;
        EXPECT_EQ(stream->Init(direction, Adapter()), STATUS_SUCCESS);
        EXPECT_EQ(stream->AllocateBuffers(), STATUS_SUCCESS);
        for (const WAVEFORMATEXTENSIBLE& format : formats)
            EXPECT_EQ(stream->AddDataFormat(&format, 1), STATUS_SUCCESS);
        return stream;
    }

    rig::StreamTestClient& Client(ULONG priority = STREAM_CLIENT_PRIORITY_WAVE)
    {
        m_Clients.push_back(std::make_unique<rig::StreamTestClient>(priority));
        return *m_Clients.back();
    }

    // A client that registers, opens and starts with this format; it keeps no data when long.
    rig::StreamTestClient& Run(ICyclicControl* stream, const WAVEFORMATEXTENSIBLE& format, bool keep = true)
    {
        rig::StreamTestClient& client = Client();
        client.Format = format;
        client.Keep = keep;
        EXPECT_EQ(client.Run(stream), STATUS_SUCCESS) << plat::DebugLogText();
        return client;
    }

    sim::StreamEndpoints& Streams() { return Device().Streams(); }
    void SetClock(int32_t ppm, double driftPpmPerSecond = 0)
    {
        sim::StreamFaults faults = Streams().Faults();
        faults.ClockOffsetPpm = ppm;
        faults.ClockDriftPpmPerSecond = driftPpmPerSecond;
        Streams().SetFaults(faults);
    }

    // The data packets of one direction in the device's record, feedback left out.
    std::vector<sim::StreamPacketRecord> DataPackets(bool in)
    {
        std::vector<sim::StreamPacketRecord> data;
        for (const sim::StreamPacketRecord& r : Streams().Packets())
            if (r.In == in && !r.Feedback)
                data.push_back(r);
        return data;
    }
    std::vector<sim::StreamPacketRecord> FeedbackPackets()
    {
        std::vector<sim::StreamPacketRecord> data;
        for (const sim::StreamPacketRecord& r : Streams().Packets())
            if (r.Feedback)
                data.push_back(r);
        return data;
    }

    static void RunForMs(ULONGLONG ms) { RunFor(ms * rig::kMillisecond); }

private:
    std::vector<std::unique_ptr<rig::StreamTestClient>> m_Clients;
    std::vector<PUNKNOWN> m_Streams;
};

} // namespace u2rig
