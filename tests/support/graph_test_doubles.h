// Test doubles of topology nodes and stream objects for the device-base and node-base tests:
// pool-allocated COM objects whose reference counts the tests read, and which write what is
// done to them into one shared log.
#pragma once

#include <gtest/gtest.h>

#include "driver/core/audio_hal.h"
#include "driver/core/stream_graph.h"
#include "driver/core/topology_node.h"
#include "plat_pool.h"
#include "support/stream_engine_double.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace gd
{

constexpr ULONG kDoubleTag = MAKE_POOL_TAG('T', 'd', 'b', 'l');

// Calls made on the doubles, in order, e.g. "restore 5", "sink 10<-40", "walk 40 2".
inline std::vector<std::string>& Log()
{
    static std::vector<std::string> log;
    return log;
}

inline void Note(const std::string& entry)
{
    Log().push_back(entry);
}

// The entries that start with one of the prefixes.
inline std::vector<std::string> LogOf(std::initializer_list<const char*> prefixes)
{
    std::vector<std::string> out;
    for (const std::string& entry : Log())
        for (const char* prefix : prefixes)
            if (entry.rfind(prefix, 0) == 0)
                out.push_back(entry);
    return out;
}

// The object's count, read without changing it.
template <class T> ULONG RefCount(T* unknown)
{
    unknown->AddRef();
    return unknown->Release();
}

// As a creation function does: pool, zeroed, one reference on the returned object.
template <class T, class... Args> T* Make(Args&&... args)
{
    T* object = new (NonPagedPool, kDoubleTag) T(nullptr, std::forward<Args>(args)...);
    EXPECT_NE(object, nullptr);
    object->NonDelegatingAddRef();
    return object;
}

// A PCM format record: channels, rate, container bytes, valid bits, channel mask.
inline WAVEFORMATEXTENSIBLE Pcm(WORD channels, DWORD rate, WORD containerBytes, WORD validBits, DWORD mask,
                                const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = WORD(containerBytes * 8);
    f.Format.nBlockAlign = WORD(channels * containerBytes);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = validBits;
    f.dwChannelMask = mask;
    f.SubFormat = subFormat;
    return f;
}

// The name the driver gives a callback object after the address of its owner, written out
// independently of the driver: "\Callback\<prefix>" and sixteen upper-case hex digits.
inline std::u16string AddressName(const char* prefix, const void* owner)
{
    char text[96];
    std::snprintf(text, sizeof(text), "\\Callback\\%s%016llX", prefix,
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(owner)));
    return std::u16string(text, text + std::strlen(text));
}

inline NTSTATUS OpenCallbackObject(const std::u16string& text, PCALLBACK_OBJECT* object,
                                   BOOLEAN create = FALSE, BOOLEAN multiple = TRUE)
{
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(text.c_str());
    name.Length = USHORT(text.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ExCreateCallback(object, &attributes, create, multiple);
}

// What a listener on a callback object heard: both arguments of every notification.
struct Heard
{
    std::vector<std::pair<PVOID, PVOID>> Calls;
    static VOID Callback(PVOID context, PVOID argument1, PVOID argument2)
    {
        static_cast<Heard*>(context)->Calls.push_back({argument1, argument2});
    }
};

// Every test starts and ends with the same pool and object population.
class LeakCheckedTest : public testing::Test
{
protected:
    void SetUp() override
    {
        Log().clear();
        m_Snapshot = plat::TakePoolSnapshot();
        m_LiveObjects = plat::ObLiveObjectCount(nullptr);
    }
    void TearDown() override
    {
        ReleaseMade();
        plat::ClearPoolFailures();
        EXPECT_EQ(plat::PoolLeaksSince(m_Snapshot), "");
        EXPECT_EQ(plat::ObLiveObjectCount(nullptr), m_LiveObjects);
    }

    // Made for the test and released after it, newest first.
    template <class T, class... Args> T* New(Args&&... args)
    {
        T* object = Make<T>(std::forward<Args>(args)...);
        m_Made.push_back([object] { object->NonDelegatingRelease(); });
        return object;
    }
    void ReleaseMade()
    {
        while (!m_Made.empty())
        {
            m_Made.back()();
            m_Made.pop_back();
        }
    }

private:
    std::vector<std::function<void()>> m_Made;
    plat::PoolSnapshot m_Snapshot;
    SIZE_T m_LiveObjects = 0;
};

// A node double answers the node base's interfaces and then its own.
#define NODE_DOUBLE_ANSWERS(Class, Interface, Condition)                                                     \
    inline STDMETHODIMP_(NTSTATUS) Class::NonDelegatingQueryInterface(REFIID id, PVOID* out)                 \
    {                                                                                                        \
        if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(id, out)))                                 \
            return STATUS_SUCCESS;                                                                           \
        if (!(Condition) || !IsEqualGUID(id, IID_##Interface))                                               \
            return STATUS_INVALID_PARAMETER;                                                                 \
        *out = static_cast<Interface*>(this);                                                                \
        AddRef();                                                                                            \
        return STATUS_SUCCESS;                                                                               \
    }

// The one device double: CAudioHal with the nodes and streams a test gives it (added in that
// order) and an InitHardware step the test may write, counting its callback registrations and
// sending control-change records as the status-interrupt thread does.
class CTestHal : public CAudioHal
{
public:
    explicit CTestHal(PUNKNOWN outer) : CAudioHal(outer) {}

    std::vector<ITopologyNode*> Nodes;
    std::vector<IStreamEngine*> Streams;
    std::function<NTSTATUS(CTestHal*)> Hardware;
    int Registrations = 0;
    int Unregistrations = 0;
    NTSTATUS RegisterStatus = STATUS_SUCCESS;

    STDMETHODIMP_(NTSTATUS) InitHardware() override
    {
        for (ITopologyNode* node : Nodes)
            EXPECT_EQ(AddNode(node), STATUS_SUCCESS);
        for (IStreamEngine* stream : Streams)
            EXPECT_EQ(AddStream(stream), STATUS_SUCCESS);
        return Hardware ? Hardware(this) : STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS)
    RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context, PVOID* handle) override
    {
        if (!NT_SUCCESS(RegisterStatus))
            return RegisterStatus;
        NTSTATUS status = CAudioHal::RegisterCallback(callback, context, handle);
        Registrations += NT_SUCCESS(status) ? 1 : 0;
        return status;
    }
    STDMETHODIMP_(NTSTATUS) UnregisterCallback(PVOID handle) override
    {
        Unregistrations++;
        return CAudioHal::UnregisterCallback(handle);
    }
    void Send(ULONG halClass, ULONG event, ULONG nodeId)
    {
        AudioHalNotification record = {};
        record.Class = halClass;
        record.Event = event;
        record.NodeId = nodeId;
        ExNotifyCallback(m_pCallbackObject, &record, nullptr);
    }
    PCALLBACK_OBJECT CallbackObject() const { return m_pCallbackObject; }
    DEVICE_POWER_STATE PowerState() const { return m_DevicePowerState; }
    void SetCaps(const EndpointCaps& caps) { m_EndpointCaps = caps; }
};

// A plain node; optionally a sink of a selector path (IConnectionIndexSync) and of a pin-type
// choice (IPinTypeSink), whose calls answer m_SinkStatus.
class CFakeNode : public IConnectionIndexSync, public IPinTypeSink, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();
    CFakeNode(PUNKNOWN outer, ULONG id, ULONG kind, std::vector<ULONG> sources = {}, bool sink = true)
        : CTopologyNode(outer, id, kind), m_Sink(sink)
    {
        EXPECT_EQ(SetSourceIdList(ULONG(sources.size()), sources.empty() ? nullptr : sources.data()),
                  STATUS_SUCCESS);
    }

    NTSTATUS m_RestoreStatus = STATUS_SUCCESS;
    NTSTATUS m_SinkStatus = STATUS_SUCCESS;

    STDMETHODIMP_(NTSTATUS) RestoreValues() override
    {
        Note("restore " + std::to_string(m_nId));
        return m_RestoreStatus;
    }
    STDMETHODIMP_(NTSTATUS) Start() override
    {
        Note("start " + std::to_string(m_nId));
        return STATUS_UNSUCCESSFUL; // the device base ignores a node's start status
    }
    STDMETHODIMP_(NTSTATUS) Stop() override
    {
        Note("stop " + std::to_string(m_nId));
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) Spare() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) SetExpectedIndex(ULONG index) override
    {
        Note("expect " + std::to_string(m_nId) + " " + std::to_string(index));
        return m_SinkStatus;
    }
    STDMETHODIMP_(NTSTATUS) SetWalkIndex(ULONG index) override
    {
        Note("walk " + std::to_string(m_nId) + " " + std::to_string(index));
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG type, PCALLBACK_OBJECT) override
    {
        Note("pintype " + std::to_string(m_nId) + " " + std::to_string(type));
        return m_SinkStatus;
    }

private:
    bool m_Sink;
};

inline STDMETHODIMP_(NTSTATUS) CFakeNode::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(id, out)))
        return STATUS_SUCCESS;
    if (m_Sink && IsEqualGUID(id, IID_IConnectionIndexSync))
        *out = static_cast<IConnectionIndexSync*>(this);
    else if (m_Sink && IsEqualGUID(id, IID_IPinTypeSink))
        *out = static_cast<IPinTypeSink*>(this);
    else
        return STATUS_INVALID_PARAMETER;
    AddRef();
    return STATUS_SUCCESS;
}

// A selector that keeps its sinks (one reference each) and logs each one by node id.
class CFakeSelector : public ISelectorNode, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();
    CFakeSelector(PUNKNOWN outer, ULONG id, std::vector<ULONG> sources, ULONG selected)
        : CTopologyNode(outer, id, NODE_KIND_SELECTOR), m_Selected(selected)
    {
        EXPECT_EQ(SetSourceIdList(ULONG(sources.size()), sources.data()), STATUS_SUCCESS);
    }
    ~CFakeSelector() override
    {
        for (IConnectionIndexSync* sink : m_Sinks)
            sink->Release();
    }

    std::vector<IConnectionIndexSync*> m_Sinks;

    STDMETHODIMP_(NTSTATUS) GetSelectedInput(PULONG input) override
    {
        *input = m_Selected;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) SetSelectedInput(ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) GetInputCount(PULONG count) override
    {
        *count = m_nSourceCount;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) AddSelectorSink(IConnectionIndexSync* sink) override
    {
        ITopologyNode* node = nullptr;
        EXPECT_EQ(sink->QueryInterface(IID_ITopologyNode, reinterpret_cast<PVOID*>(&node)), STATUS_SUCCESS);
        Note("sink " + std::to_string(m_nId) + "<-" + std::to_string(node->GetId()));
        node->Release();
        sink->AddRef();
        m_Sinks.push_back(sink);
        return STATUS_SUCCESS;
    }

private:
    ULONG m_Selected;
};

NODE_DOUBLE_ANSWERS(CFakeSelector, ISelectorNode, true)

// A terminal (input or output by kind) of one pin type, with the jack records a test gives it
// and a jack count that can be made to fail.
class CFakeTerminal : public ITerminalNode, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();
    CFakeTerminal(PUNKNOWN outer, ULONG id, ULONG kind, ULONG pinType, std::vector<JackRecord> jacks = {})
        : CTopologyNode(outer, id, kind), Jacks(std::move(jacks)), m_PinType(pinType)
    {
    }
    std::vector<JackRecord> Jacks;
    NTSTATUS JackCountStatus = STATUS_SUCCESS;

    STDMETHODIMP_(NTSTATUS) GetPinType(PULONG pinType) override
    {
        *pinType = m_PinType;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPinTypeCount(PULONG count) override
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPinTypes(PULONG types) override { return GetPinType(types); }
    STDMETHODIMP_(NTSTATUS) GetJackCount(PULONG count) override
    {
        *count = ULONG(Jacks.size());
        return JackCountStatus;
    }
    STDMETHODIMP_(NTSTATUS) GetJackDescriptions(ULONG bytes, PVOID records) override
    {
        if (bytes < Jacks.size() * sizeof(JackRecord))
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(records, Jacks.data(), Jacks.size() * sizeof(JackRecord));
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(NTSTATUS) GetPinGuids(PVOID) override { return STATUS_NOT_SUPPORTED; }

private:
    ULONG m_PinType;
};
NODE_DOUBLE_ANSWERS(CFakeTerminal, ITerminalNode, true)

// A jack of a terminal double, plugged in or not.
inline JackRecord PluggedJack(ULONG connected)
{
    JackRecord record{};
    record.Color = 0x00FF00;
    record.IsConnected = connected;
    return record;
}

// The pin-type choice of an output.
class CFakePinTypeSelector : public IPinTypeSelector, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();
    CFakePinTypeSelector(PUNKNOWN outer, ULONG id, ULONG pinType)
        : CTopologyNode(outer, id, NODE_KIND_PIN_TYPE_SELECTOR), m_PinType(pinType)
    {
    }
    STDMETHODIMP_(NTSTATUS) GetPinType(PULONG pinType) override
    {
        *pinType = m_PinType;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPinTypeCount(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) GetPinTypes(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(ULONG) IsPinTypeChanged() override { return 0; }
    STDMETHODIMP_(NTSTATUS) ClearPinTypeChanged() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) AddPinTypeSink(IPinTypeSink*) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) Init(ULONG, ULONG, const ULONG*) override { return STATUS_NOT_IMPLEMENTED; }

private:
    ULONG m_PinType;
};

NODE_DOUBLE_ANSWERS(CFakePinTypeSelector, IPinTypeSelector, true)

// A node that processes samples in software.
class CFakeDspNode : public IDspNode, public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();
    CFakeDspNode(PUNKNOWN outer, ULONG id) : CTopologyNode(outer, id, NODE_KIND_MUTE) {}
    STDMETHODIMP_(NTSTATUS) Spare1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) Spare2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) Start(PCWAVEFORMATEXTENSIBLE) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Reset() override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Process(PCWAVEFORMATEXTENSIBLE, PVOID, ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(NTSTATUS) Stop() override { return STATUS_SUCCESS; }
};

NODE_DOUBLE_ANSWERS(CFakeDspNode, IDspNode, true)

// A stream object built on the graph records; the engine's own slots answer
// STATUS_NOT_IMPLEMENTED.
class CFakeStream : public sd::StreamEngineSlots<CStreamGraph>, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CFakeStream(PUNKNOWN outer) : CUnknown(outer) {}

    ULONG ProcessingCount() { return m_pProcessingNodes ? m_pProcessingNodes->GetCount() : 0; }
    ULONG FullFormatCount() { return m_pFormats ? m_pFormats->GetCount() : 0; }
    ULONG TwoChannelFormatCount() { return m_pTwoChannelFormats ? m_pTwoChannelFormats->GetCount() : 0; }
    IDspNode* ProcessingNode(ULONG index)
    {
        PVOID data = nullptr;
        return m_pProcessingNodes->GetAt(index, &data) ? static_cast<IDspNode*>(data) : nullptr;
    }

    STDMETHODIMP_(NTSTATUS) Init(ULONG capture) override { return InitGraph(capture); }
};

inline STDMETHODIMP_(NTSTATUS) CFakeStream::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    *out = nullptr;
    if (!IsEqualGUID(id, IID_IUnknown) && !IsEqualGUID(id, IID_IStreamEngine))
        return STATUS_INVALID_PARAMETER;
    *out = static_cast<IStreamEngine*>(this);
    AddRef();
    return STATUS_SUCCESS;
}

} // namespace gd
