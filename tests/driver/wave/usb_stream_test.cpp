// The USB stream classes as the descriptor walks make them: construction and Init (interfaces,
// the client callback object, the worker thread), the formats of the built-in profiles' streaming
// interfaces added with their alternate settings, linked-node lookup, client registration, and
// the class-2 valid-alternate-settings check answered by the simulated device's control side.
#include "support/graph_test_doubles.h"

#include "driver/core/usb_device_if.h"
#include "driver/wave/uac1_capture_stream.h"
#include "driver/wave/uac1_render_stream.h"
#include "driver/wave/uac2_capture_stream.h"
#include "driver/wave/uac2_render_stream.h"
#include "plat_sched.h"
#include "sim/device/device_model.h"
#include "sim/profiles/profile.h"
#include "usbdi.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

using gd::CFakeNode;
using gd::Make;
using gd::RefCount;

// Reads what the stream keeps behind its interfaces.
template <class Base> class CProbe : public Base
{
public:
    using Base::Base;

    std::vector<std::pair<UCHAR, WAVEFORMATEXTENSIBLE>> Entries()
    {
        std::vector<std::pair<UCHAR, WAVEFORMATEXTENSIBLE>> out;
        for (PLIST_ENTRY links = this->m_FormatList.Flink; links != &this->m_FormatList; links = links->Flink)
        {
            StreamFormatEntry* entry = CONTAINING_RECORD(links, StreamFormatEntry, Links);
            out.push_back({entry->AlternateSetting, entry->Format});
        }
        return out;
    }
    PKTHREAD Worker() const { return this->m_pWorkerThread; }
    PCALLBACK_OBJECT ClientCallbackObject() const { return this->m_pClientCallbackObject; }
    // A stream whose callback object is gone, as after a failed creation.
    void DropClientCallbackObject()
    {
        ObDereferenceObject(this->m_pClientCallbackObject);
        this->m_pClientCallbackObject = nullptr;
    }
};

using Uac1Render = CProbe<CUac1RenderStream>;
using Uac1Capture = CProbe<CUac1CaptureStream>;
using Uac2Render = CProbe<CUac2RenderStream>;
using Uac2Capture = CProbe<CUac2CaptureStream>;

sim::DeviceProfile Builtin(const std::string& name)
{
    sim::DeviceProfile profile;
    std::string error;
    EXPECT_TRUE(sim::DeviceProfile::Parse(sim::BuiltinProfileText(name), name, ".", &profile, &error))
        << error;
    return profile;
}

using gd::Pcm;

class UsbStream : public gd::LeakCheckedTest
{
protected:
    void SetUp() override
    {
        gd::LeakCheckedTest::SetUp();
        m_ThreadsBefore = plat::LiveSystemThreadCount();
    }
    void TearDown() override
    {
        ReleaseMade();
        plat::Settle();
        EXPECT_EQ(plat::LiveSystemThreadCount(), m_ThreadsBefore);
        gd::LeakCheckedTest::TearDown();
    }

    plat::ScopedThreadRegistration m_Registration{"usb-stream-test"};
    SIZE_T m_ThreadsBefore = 0;
};

std::u16string CyclicName(CUsbAudioStream* stream)
{
    return gd::AddressName("CyclicControlAddr", stream);
}

TEST_F(UsbStream, InitMakesTheInterfacesTheCallbackObjectAndTheWorkerThread)
{
    int deviceKey = 0;
    PUNKNOWN device = reinterpret_cast<PUNKNOWN>(&deviceKey); // kept, never called here
    Uac1Render* render = Make<Uac1Render>(1u, 4u);
    Uac2Capture* capture = Make<Uac2Capture>(2u, 6u, 10u);
    EXPECT_EQ(render->GetStreamId(), 1u);
    EXPECT_EQ(render->GetPinNodeId(), 4u);
    EXPECT_EQ(capture->GetClockSourceId(), 10u);
    ASSERT_EQ(render->Init(STREAM_DIRECTION_RENDER, device), STATUS_SUCCESS);
    ASSERT_EQ(capture->Init(STREAM_DIRECTION_CAPTURE, device), STATUS_SUCCESS);
    EXPECT_EQ(plat::LiveSystemThreadCount(), m_ThreadsBefore + 2);
    EXPECT_EQ(plat::RecordedPriority(render->Worker()), 24);
    EXPECT_EQ(render->GetKind(), STREAM_DIRECTION_RENDER);
    EXPECT_EQ(capture->GetKind(), STREAM_DIRECTION_CAPTURE);
    EXPECT_EQ(render->Init(STREAM_DIRECTION_RENDER, device), STATUS_INVALID_DEVICE_STATE);

    // Every interface reaches the same object and its one count.
    PUNKNOWN unknown = render->GetNonDelegatingUnknown();
    ICyclicControl* control = nullptr;
    IStreamEngine* engine = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_ICyclicControl, reinterpret_cast<PVOID*>(&control)),
              STATUS_SUCCESS);
    ASSERT_EQ(control->QueryInterface(IID_IStreamEngine, reinterpret_cast<PVOID*>(&engine)), STATUS_SUCCESS);
    EXPECT_EQ(PVOID(control), PVOID(static_cast<ICyclicControl*>(render)));
    EXPECT_EQ(PVOID(engine), PVOID(static_cast<IStreamEngine*>(render)));
    EXPECT_EQ(RefCount(render), 3u);
    PVOID other = nullptr;
    EXPECT_EQ(engine->QueryInterface(IID_ITopologyNode, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
    control->Release();
    engine->Release();

    // The client callback object carries the stream's address.
    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(gd::OpenCallbackObject(CyclicName(static_cast<CUsbAudioStream*>(render)), &opened),
              STATUS_SUCCESS);
    EXPECT_EQ(opened, render->ClientCallbackObject());
    ObDereferenceObject(opened);

    // Class 1 takes every alternate setting.
    EXPECT_TRUE(render->IsAlternateSettingValid(7, 48000));
    EXPECT_EQ(render->OpenStream(nullptr, nullptr), STATUS_INVALID_PARAMETER);

    const std::u16string name = CyclicName(static_cast<CUsbAudioStream*>(render));
    render->Release();
    capture->Release();
    EXPECT_EQ(gd::OpenCallbackObject(name, &opened), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(UsbStream, InitFailsCleanlyWithoutMemory)
{
    for (ULONG tag : {STREAM_POOL_TAG, POINTER_LIST_POOL_TAG})
    {
        Uac1Capture* stream = Make<Uac1Capture>(2u, 7u);
        plat::FailAllocationsWithTag(tag);
        EXPECT_EQ(stream->Init(STREAM_DIRECTION_CAPTURE, nullptr),
                  tag == STREAM_POOL_TAG ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
        plat::ClearPoolFailures();
        stream->Release();
    }
}

// Formats as the descriptor walk adds them, each with the alternate setting that carries it:
// both lists in the order added, the engine's (what the wave filter offers) and the stream's
// own with the setting that carries each format.
template <class Stream, class... Ids> void ExpectFormatsKept(ULONG direction, Ids... ids)
{
    const std::pair<UCHAR, WAVEFORMATEXTENSIBLE> added[] = {
        {1, Pcm(2, 48000, 2, 16, 0x3)}, {1, Pcm(2, 44100, 2, 16, 0x3)},  {2, Pcm(2, 96000, 3, 24, 0x3)},
        {4, Pcm(1, 16000, 2, 16, 0x4)}, {3, Pcm(6, 48000, 4, 24, 0x3F)},
    };
    Stream* stream = Make<Stream>(ids...);
    ASSERT_EQ(stream->Init(direction, nullptr), STATUS_SUCCESS);
    for (const auto& entry : added)
        ASSERT_EQ(stream->AddDataFormat(&entry.second, entry.first), STATUS_SUCCESS);
    const std::vector<std::pair<UCHAR, WAVEFORMATEXTENSIBLE>> entries = stream->Entries();
    ASSERT_EQ(stream->GetFormatCount(), std::size(added));
    ASSERT_EQ(entries.size(), std::size(added));
    for (size_t i = 0; i < std::size(added); ++i)
    {
        const WAVEFORMATEXTENSIBLE& format = added[i].second;
        WAVEFORMATEXTENSIBLE offered;
        ASSERT_EQ(stream->GetFormat(ULONG(i), &offered), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(&offered, &format, sizeof(offered)), 0) << i;
        EXPECT_EQ(entries[i].first, added[i].first) << i;
        EXPECT_EQ(std::memcmp(&entries[i].second, &format, sizeof(format)), 0) << i;

        // A client asking in plain PCM gets the interface's block alignment.
        WAVEFORMATEX plain{};
        plain.wFormatTag = WAVE_FORMAT_PCM;
        plain.nChannels = format.Format.nChannels;
        plain.nSamplesPerSec = format.Format.nSamplesPerSec;
        plain.wBitsPerSample = format.Format.wBitsPerSample;
        ASSERT_EQ(stream->FindFormat(&plain), STATUS_SUCCESS);
        EXPECT_EQ(WORD(plain.nBlockAlign), WORD(format.Format.nBlockAlign));
    }
    stream->Release();
}

TEST_F(UsbStream, AddDataFormatKeepsEveryFormatWithItsAlternateSetting)
{
    ExpectFormatsKept<Uac1Render>(STREAM_DIRECTION_RENDER, 1u, 1u);
    ExpectFormatsKept<Uac1Capture>(STREAM_DIRECTION_CAPTURE, 2u, 7u);
    ExpectFormatsKept<Uac2Render>(STREAM_DIRECTION_RENDER, 1u, 1u, 10u);
    ExpectFormatsKept<Uac2Capture>(STREAM_DIRECTION_CAPTURE, 2u, 6u, 10u);
}

TEST_F(UsbStream, AddDataFormatFailsWithoutMemoryAndRefusesNothingToAdd)
{
    Uac1Render* stream = New<Uac1Render>(1u, 1u);
    WAVEFORMATEXTENSIBLE f = Pcm(2, 48000, 2, 16, 3);
    EXPECT_NE(stream->AddDataFormat(&f, 1), STATUS_SUCCESS) << "no lists before Init";
    ASSERT_EQ(stream->Init(STREAM_DIRECTION_RENDER, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(stream->AddDataFormat(nullptr, 1), STATUS_INVALID_PARAMETER);

    plat::FailAllocationsWithTag(USB_STREAM_POOL_TAG);
    EXPECT_EQ(stream->AddDataFormat(&f, 1), STATUS_INSUFFICIENT_RESOURCES);
    plat::ClearPoolFailures();
    EXPECT_TRUE(stream->Entries().empty());

    plat::FailAllocationsWithTag(STREAM_POOL_TAG);
    EXPECT_EQ(stream->AddDataFormat(&f, 2), STATUS_INSUFFICIENT_RESOURCES);
    plat::ClearPoolFailures();
    EXPECT_TRUE(stream->Entries().empty()) << "no entry for a format the engine does not offer";
}

TEST_F(UsbStream, FindLinkedNodeFindsTheNodeWithoutAReference)
{
    Uac1Capture* stream = Make<Uac1Capture>(2u, 7u);
    ITopologyNode* found = reinterpret_cast<ITopologyNode*>(1);
    EXPECT_EQ(stream->FindLinkedNode(5, &found), STATUS_UNSUCCESSFUL) << "no list before Init";
    EXPECT_EQ(found, nullptr);
    ASSERT_EQ(stream->Init(STREAM_DIRECTION_CAPTURE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(stream->FindLinkedNode(5, &found), STATUS_UNSUCCESSFUL);

    CFakeNode* a = Make<CFakeNode>(5u, ULONG(NODE_KIND_VOLUME));
    CFakeNode* b = New<CFakeNode>(7u, ULONG(NODE_KIND_INPUT_TERMINAL));
    ASSERT_EQ(stream->AddNode(a), STATUS_SUCCESS);
    ASSERT_EQ(stream->AddNode(b), STATUS_SUCCESS);
    ASSERT_EQ(stream->FindLinkedNode(7, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, static_cast<ITopologyNode*>(b));
    ASSERT_EQ(stream->FindLinkedNode(5, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, static_cast<ITopologyNode*>(a));
    EXPECT_EQ(RefCount(a), 2u) << "the stream's reference only";
    EXPECT_EQ(stream->FindLinkedNode(6, &found), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(stream->FindLinkedNode(5, nullptr), STATUS_INVALID_PARAMETER);
    stream->Release();
    EXPECT_EQ(RefCount(a), 1u);
    a->Release();
}

// ---- Clients ----

using gd::Heard;

class UsbStreamClients : public UsbStream
{
protected:
    void SetUp() override
    {
        UsbStream::SetUp();
        m_Stream = Make<Uac1Render>(1u, 1u);
        ASSERT_EQ(m_Stream->Init(STREAM_DIRECTION_RENDER, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(m_Stream->AddDataFormat(&m_Format, 1), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        m_Stream->Release();
        UsbStream::TearDown();
    }

    WAVEFORMATEXTENSIBLE m_Format = Pcm(2, 48000, 2, 16, 3);
    Uac1Render* m_Stream = nullptr;
};

TEST_F(UsbStreamClients, RegisteredClientHearsTheStreamsNotificationsUntilUnregistered)
{
    Heard heard;
    StreamClient* client = nullptr;
    ASSERT_EQ(m_Stream->RegisterClient(STREAM_CLIENT_PRIORITY_WAVE, &m_Format, 5, 3, Heard::Callback, &heard,
                                       &client),
              STATUS_SUCCESS);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Priority, STREAM_CLIENT_PRIORITY_WAVE);
    EXPECT_EQ(client->FramesPerTransfer, 5u);
    EXPECT_EQ(client->TransfersInFlight, 3u);
    EXPECT_EQ(client->Direction, STREAM_DIRECTION_RENDER);
    EXPECT_EQ(client->Active, 0);
    EXPECT_EQ(std::memcmp(&client->Format, &m_Format, sizeof(m_Format)), 0);
    EXPECT_NE(client->Registration, nullptr);

    StreamNotification notification{};
    notification.Client = client;
    notification.Code = StreamNotifyConfigure;
    ExNotifyCallback(m_Stream->ClientCallbackObject(), &notification, nullptr);
    EXPECT_EQ(heard.Calls.size(), 1u);
    EXPECT_EQ(heard.Calls[0].first, &notification);

    PVOID key = client->Registration;
    EXPECT_EQ(m_Stream->UnregisterClient(key), STATUS_SUCCESS);
    ExNotifyCallback(m_Stream->ClientCallbackObject(), &notification, nullptr);
    EXPECT_EQ(heard.Calls.size(), 1u);
    EXPECT_EQ(m_Stream->UnregisterClient(key), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Stream->UnregisterClient(nullptr), STATUS_UNSUCCESSFUL);
}

TEST_F(UsbStreamClients, ClientIsRefusedAndNothingKeptWhenTheStreamCannotServeIt)
{
    Heard heard;
    StreamClient* client = reinterpret_cast<StreamClient*>(1);
    const plat::PoolUsage before = plat::PoolUsageForTag(USB_STREAM_POOL_TAG);

    WAVEFORMATEXTENSIBLE other = Pcm(2, 96000, 2, 16, 3);
    EXPECT_EQ(m_Stream->RegisterClient(3, &other, 5, 3, Heard::Callback, &heard, &client), STATUS_NO_MATCH);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(m_Stream->RegisterClient(3, &m_Format, 5, 11, Heard::Callback, &heard, &client),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Stream->RegisterClient(3, &m_Format, 5, 3, nullptr, &heard, &client),
              STATUS_INVALID_PARAMETER);

    plat::FailAllocationsWithTag(USB_STREAM_POOL_TAG);
    EXPECT_EQ(m_Stream->RegisterClient(3, &m_Format, 5, 3, Heard::Callback, &heard, &client),
              STATUS_INSUFFICIENT_RESOURCES);
    plat::ClearPoolFailures();
    EXPECT_EQ(client, nullptr);

    // The registered list has no room for it: its callback goes again with the record, so the
    // stream's notifications never reach it.
    plat::FailNextAllocationOf(POINTER_LIST_POOL_TAG, sizeof(POINTER_LIST_NODE));
    EXPECT_EQ(m_Stream->RegisterClient(3, &m_Format, 5, 3, Heard::Callback, &heard, &client),
              STATUS_INSUFFICIENT_RESOURCES);
    plat::ClearPoolFailures();
    EXPECT_EQ(client, nullptr);
    StreamNotification notification{};
    notification.Code = StreamNotifyConfigure;
    ExNotifyCallback(m_Stream->ClientCallbackObject(), &notification, nullptr);
    EXPECT_TRUE(heard.Calls.empty()) << "the refused client's callback is still registered";

    // A stream whose callback object is gone cannot tell a client anything.
    m_Stream->DropClientCallbackObject();
    EXPECT_EQ(m_Stream->RegisterClient(3, &m_Format, 5, 3, Heard::Callback, &heard, &client),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(plat::PoolUsageForTag(USB_STREAM_POOL_TAG).LiveBlocks, before.LiveBlocks);
}

TEST_F(UsbStream, ClientIsRefusedWhenItsCallbackCannotBeRegistered)
{
    Uac1Capture* stream = Make<Uac1Capture>(2u, 7u);
    // Someone already holds the stream's callback name with a single-registration object.
    PCALLBACK_OBJECT taken = nullptr;
    ASSERT_EQ(gd::OpenCallbackObject(CyclicName(static_cast<CUsbAudioStream*>(stream)), &taken, TRUE, FALSE),
              STATUS_SUCCESS);
    PVOID holder = ExRegisterCallback(taken, Heard::Callback, nullptr);
    ASSERT_NE(holder, nullptr);
    ASSERT_EQ(stream->Init(STREAM_DIRECTION_CAPTURE, nullptr), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE f = Pcm(1, 48000, 2, 16, 4);
    ASSERT_EQ(stream->AddDataFormat(&f, 1), STATUS_SUCCESS);

    const plat::PoolUsage before = plat::PoolUsageForTag(USB_STREAM_POOL_TAG);
    Heard heard;
    StreamClient* client = nullptr;
    EXPECT_EQ(stream->RegisterClient(3, &f, 5, 3, Heard::Callback, &heard, &client),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(plat::PoolUsageForTag(USB_STREAM_POOL_TAG).LiveBlocks, before.LiveBlocks);
    stream->Release();
    ExUnregisterCallback(holder);
    ObDereferenceObject(taken);
}

// ---- Class-2 valid alternate settings ----

// The device object as the stream sees it: class requests go to the simulated device's control
// side, which answers from its profile.
class CSimUsbDevice : public IUsbDevice, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    CSimUsbDevice(PUNKNOWN outer, sim::UsbDeviceModel* model) : CUnknown(outer), m_Model(model) {}
    std::vector<sim::SetupPacket> m_Requests;

    STDMETHODIMP_(NTSTATUS) SubmitUrbSync(PURB urb) override
    {
        auto& request = urb->UrbControlVendorClassRequest;
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_CLASS_INTERFACE);
        EXPECT_EQ(urb->UrbHeader.Length, sizeof(request));
        sim::SetupPacket setup;
        setup.RequestType = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0xA1 : 0x21;
        setup.Request = request.Request;
        setup.Value = request.Value;
        setup.Index = request.Index;
        setup.Length = USHORT(request.TransferBufferLength);
        m_Requests.push_back(setup);
        sim::ControlResult result = m_Model->HandleControl(setup);
        if (result.Outcome != sim::ControlOutcome::Ack)
            return STATUS_UNSUCCESSFUL;
        std::memcpy(request.TransferBuffer, result.Data.data(), result.Data.size());
        request.TransferBufferLength = ULONG(result.Data.size());
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(PUSB_CONFIGURATION_DESCRIPTOR) GetConfigurationDescriptor() override { return nullptr; }
    STDMETHODIMP_(USBD_CONFIGURATION_HANDLE) GetConfigurationHandle() override { return nullptr; }
    STDMETHODIMP_(UCHAR) GetControlInterfaceNumber() override { return 0; }
    STDMETHODIMP_(NTSTATUS) SetDevicePresent(BOOLEAN) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) CallLowerDriver(PIRP) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) GetCurrentFrameNumber(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(PIRP) AllocateIrp() override { return nullptr; }
    STDMETHODIMP_(VOID) FreeIrp(PIRP) override {}
    STDMETHODIMP_(BOOLEAN) IsHighSpeed() override { return TRUE; }
    STDMETHODIMP_(BOOLEAN) ResetPort() override { return FALSE; }
    STDMETHODIMP_(BOOLEAN) CyclePort() override { return FALSE; }
    STDMETHODIMP_(PDEVICE_OBJECT) GetLowerDeviceObject() override { return nullptr; }
    STDMETHODIMP_(LONG) IncrementActiveCount() override { return 0; }
    STDMETHODIMP_(LONG) DecrementActiveCount() override { return 0; }
    STDMETHODIMP_(NTSTATUS) CreateAudioDevice() override { return STATUS_NOT_IMPLEMENTED; }

private:
    sim::UsbDeviceModel* m_Model;
};

inline STDMETHODIMP_(NTSTATUS) CSimUsbDevice::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (IsEqualGUID(id, IID_IUsbDevice))
    {
        *out = static_cast<IUsbDevice*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(id, out);
}

TEST_F(UsbStream, ClassTwoAlternateSettingIsValidOnlyWhenTheDeviceSaysSo)
{
    sim::UsbDeviceModel model(Builtin("uac2-interface"));
    ASSERT_EQ(model.HandleControl({0x00, 9, 1, 0, 0}).Outcome,
              sim::ControlOutcome::Ack); // SET_CONFIGURATION 1
    CSimUsbDevice* device = New<CSimUsbDevice>(&model);
    Uac2Render* render = New<Uac2Render>(1u, 1u, 10u);
    ASSERT_EQ(render->Init(STREAM_DIRECTION_RENDER, device->GetNonDelegatingUnknown()), STATUS_SUCCESS);

    // Interface 1 has alternate settings 0 and 1.
    EXPECT_TRUE(render->IsAlternateSettingValid(0, 48000));
    EXPECT_TRUE(device->m_Requests.empty()) << "setting 0 needs no request";
    EXPECT_TRUE(render->IsAlternateSettingValid(1, 48000));
    ASSERT_EQ(device->m_Requests.size(), 1u);
    EXPECT_EQ(device->m_Requests[0].RequestType, 0xA1);
    EXPECT_EQ(device->m_Requests[0].Request, 0x01);
    EXPECT_EQ(device->m_Requests[0].Value, 0x0200);
    EXPECT_EQ(device->m_Requests[0].Index, 1);
    EXPECT_EQ(device->m_Requests[0].Length, 5);
    EXPECT_FALSE(render->IsAlternateSettingValid(2, 48000));
    EXPECT_FALSE(render->IsAlternateSettingValid(9, 48000));
    EXPECT_FALSE(render->IsAlternateSettingValid(200, 48000)) << "far past the bitmap";

    // A device that refuses the request offers nothing beyond setting 0.
    sim::DeviceFaults faults;
    faults.StallMatching = true;
    faults.StallFilter.Request = 0x01;
    model.SetFaults(faults);
    EXPECT_FALSE(render->IsAlternateSettingValid(1, 48000));
    EXPECT_TRUE(render->IsAlternateSettingValid(0, 48000));

    plat::FailAllocationsWithTag(MAKE_POOL_TAG('U', 'S', '2', '0'));
    model.SetFaults(sim::DeviceFaults());
    EXPECT_FALSE(render->IsAlternateSettingValid(1, 48000)) << "no memory for the request";
    plat::ClearPoolFailures();
    EXPECT_TRUE(render->IsAlternateSettingValid(1, 48000));
}

} // namespace
