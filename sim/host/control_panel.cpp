// The simulated control panel: kernel-streaming property and event requests on a filter handle.
// Requests are METHOD_NEITHER as the audio stack sends them, so the filter sees the request record
// and the value buffer where a Windows filter would.
#include "sim/host/control_panel.h"

#include "dispatcher.h"
#include "object.h"
#include "plat_fatal.h"

#include <climits>

namespace sim
{

namespace
{

// The client's semaphores count one notification per signal, where an event would merge them.
OBJECT_TYPE g_semaphoreType = {"ControlPanelSemaphore", nullptr, nullptr};

std::vector<UCHAR> Bytes(const void* Data, size_t Size)
{
    const UCHAR* p = static_cast<const UCHAR*>(Data);
    return std::vector<UCHAR>(p, p + Size);
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    return -1;
}

} // namespace

struct ControlPanel::Subscription
{
    ULONG Number;
    ULONG Node;
    KSEVENTDATA Data; // its address names the event to the filter
    PKSEMAPHORE Semaphore;
    HANDLE SemaphoreHandle;
    bool Enabled;
};

bool ParseGuidName(const std::u16string& Text, GUID* Guid)
{
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (Text.size() != 38 || Text[0] != u'{' || Text[37] != u'}')
        return false;
    static const int kDashes[] = {9, 14, 19, 24};
    UCHAR bytes[16];
    size_t pos = 1;
    for (int i = 0; i < 16; ++i)
    {
        for (int d : kDashes)
            if (pos == size_t(d) && Text[pos] == u'-')
                ++pos;
        int hi = HexDigit(Text[pos]), lo = HexDigit(Text[pos + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes[i] = UCHAR(hi << 4 | lo);
        pos += 2;
    }
    Guid->Data1 = ULONG(bytes[0]) << 24 | ULONG(bytes[1]) << 16 | ULONG(bytes[2]) << 8 | bytes[3];
    Guid->Data2 = USHORT(bytes[4] << 8 | bytes[5]);
    Guid->Data3 = USHORT(bytes[6] << 8 | bytes[7]);
    std::memcpy(Guid->Data4, bytes + 8, 8);
    return pos == 37;
}

std::vector<FilterInfo> ControlPanel::EnumerateFilters(PDEVICE_OBJECT Pdo)
{
    std::vector<plat::DeviceInterfaceRecord> all = plat::IoListDeviceInterfaces();
    std::vector<FilterInfo> filters;
    for (const auto& r : all)
    {
        if (r.Pdo != Pdo || !r.Enabled || !IsEqualGUID(r.InterfaceClass, KSCATEGORY_AUDIO))
            continue;
        FilterInfo info{r.ReferenceString, false};
        for (const auto& t : all)
            if (t.Pdo == Pdo && t.Enabled && IsEqualGUID(t.InterfaceClass, KSCATEGORY_TOPOLOGY) &&
                t.ReferenceString == r.ReferenceString)
                info.IsTopology = true;
        filters.push_back(info);
    }
    return filters;
}

NTSTATUS ControlPanel::Open(PDEVICE_OBJECT Pdo, const std::u16string& Name,
                            std::unique_ptr<ControlPanel>* Panel)
{
    Panel->reset();
    std::unique_ptr<ClientHandle> handle;
    NTSTATUS status = ClientHandle::Open(KSCATEGORY_AUDIO, Name, &handle, Pdo);
    if (NT_SUCCESS(status))
        Panel->reset(new ControlPanel(std::move(handle)));
    return status;
}

ControlPanel::ControlPanel(std::unique_ptr<ClientHandle> Handle) : m_pHandle(std::move(Handle)) {}

ControlPanel::~ControlPanel()
{
    for (auto& s : m_Subscriptions)
        EndSubscription(*s);
    m_pHandle.reset();
}

IoResult ControlPanel::Send(ULONG IoControlCode, const void* Input, ULONG InputLength, void* Output,
                            ULONG OutputLength)
{
    return m_pHandle->DeviceControlDirect(IoControlCode, Input, InputLength, Output, OutputLength);
}

PropertyResult ControlPanel::Property(const PropertyTarget& Target, const GUID& Set, ULONG Id, ULONG Verb,
                                      ULONG ValueSize, const void* Value, const std::vector<UCHAR>& Extra)
{
    KSNODEPROPERTY_AUDIO_CHANNEL record = {};
    record.NodeProperty.Property.Set = Set;
    record.NodeProperty.Property.Id = Id;
    record.NodeProperty.Property.Flags = Verb;
    size_t size = sizeof(KSPROPERTY);
    if (Target.Kind == PropertyTarget::Node)
    {
        record.NodeProperty.Property.Flags |= KSPROPERTY_TYPE_TOPOLOGY;
        record.NodeProperty.NodeId = Target.Id;
        record.Channel = Target.Channel;
        size = Target.HasChannel ? sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) : sizeof(KSNODEPROPERTY);
    }
    else if (Target.Kind == PropertyTarget::Pin)
    {
        // KSP_PIN: the pin id where a node request has its node id.
        record.NodeProperty.NodeId = Target.Id;
        size = sizeof(KSP_PIN);
    }
    std::vector<UCHAR> input = Bytes(&record, size);
    input.insert(input.end(), Extra.begin(), Extra.end());
    PropertyResult result;
    result.Value.assign(ValueSize, 0);
    if (Value && ValueSize)
        std::memcpy(result.Value.data(), Value, ValueSize);
    IoResult io = Send(IOCTL_KS_PROPERTY, input.data(), ULONG(input.size()),
                       ValueSize ? result.Value.data() : nullptr, ValueSize);
    result.Status = io.Status;
    result.Information = io.Information;
    if (NT_SUCCESS(io.Status) && Verb != KSPROPERTY_TYPE_SET)
        result.Value.resize(std::min<size_t>(io.Information, ValueSize));
    return result;
}

NTSTATUS ControlPanel::GetNodeLong(ULONG Node, const GUID& Set, ULONG Id, LONG Channel, LONG* Value)
{
    PropertyResult r =
        Property(PropertyTarget::OnChannel(Node, Channel), Set, Id, KSPROPERTY_TYPE_GET, sizeof(LONG));
    if (NT_SUCCESS(r.Status) && r.Value.size() >= sizeof(LONG))
        std::memcpy(Value, r.Value.data(), sizeof(LONG));
    return r.Status;
}

NTSTATUS ControlPanel::SetNodeLong(ULONG Node, const GUID& Set, ULONG Id, LONG Channel, LONG Value)
{
    return Property(PropertyTarget::OnChannel(Node, Channel), Set, Id, KSPROPERTY_TYPE_SET, sizeof(LONG),
                    &Value)
        .Status;
}

// A KSMULTIPLE_ITEM reply: size query first, then the items behind the header.
NTSTATUS ControlPanel::GetMultiple(const GUID& Set, ULONG Id, std::vector<UCHAR>* Items, ULONG* Count)
{
    PropertyResult size = Property(PropertyTarget::OnFilter(), Set, Id, KSPROPERTY_TYPE_GET, 0);
    if (size.Status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(size.Status) ? STATUS_UNSUCCESSFUL : size.Status;
    PropertyResult r =
        Property(PropertyTarget::OnFilter(), Set, Id, KSPROPERTY_TYPE_GET, ULONG(size.Information));
    if (!NT_SUCCESS(r.Status))
        return r.Status;
    KSMULTIPLE_ITEM header;
    if (r.Value.size() < sizeof(header))
        return STATUS_UNSUCCESSFUL;
    std::memcpy(&header, r.Value.data(), sizeof(header));
    if (header.Size > r.Value.size())
        return STATUS_UNSUCCESSFUL;
    Items->assign(r.Value.begin() + sizeof(header), r.Value.begin() + header.Size);
    *Count = header.Count;
    return STATUS_SUCCESS;
}

NTSTATUS ControlPanel::GetCategories(std::vector<GUID>* Categories)
{
    std::vector<UCHAR> items;
    ULONG count = 0;
    NTSTATUS status = GetMultiple(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, &items, &count);
    if (!NT_SUCCESS(status) || items.size() != count * sizeof(GUID))
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    Categories->resize(count);
    if (count)
        std::memcpy(Categories->data(), items.data(), items.size());
    return STATUS_SUCCESS;
}

NTSTATUS ControlPanel::GetConnections(std::vector<KSTOPOLOGY_CONNECTION>* Connections)
{
    std::vector<UCHAR> items;
    ULONG count = 0;
    NTSTATUS status = GetMultiple(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, &items, &count);
    if (!NT_SUCCESS(status) || items.size() != count * sizeof(KSTOPOLOGY_CONNECTION))
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    Connections->resize(count);
    if (count)
        std::memcpy(Connections->data(), items.data(), items.size());
    return STATUS_SUCCESS;
}

namespace
{

// A name property: the port's "{GUID}" text, or none (STATUS_NOT_FOUND).
NTSTATUS ReadName(const PropertyResult& r, bool* Has, GUID* Name)
{
    *Has = false;
    if (r.Status == STATUS_NOT_FOUND)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(r.Status))
        return r.Status;
    std::u16string text(reinterpret_cast<const char16_t*>(r.Value.data()), r.Value.size() / sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    *Has = ParseGuidName(text, Name);
    return *Has ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

} // namespace

NTSTATUS ControlPanel::GetNodes(std::vector<NodeInfo>* Nodes)
{
    std::vector<UCHAR> items;
    ULONG count = 0;
    NTSTATUS status = GetMultiple(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items, &count);
    if (!NT_SUCCESS(status) || items.size() != count * sizeof(GUID))
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    Nodes->clear();
    for (ULONG i = 0; i < count; ++i)
    {
        NodeInfo node = {i, {}, false, {}};
        std::memcpy(&node.Type, items.data() + i * sizeof(GUID), sizeof(GUID));
        std::vector<UCHAR> id = Bytes(&i, sizeof(i));
        id.resize(8, 0);
        PropertyResult name = Property(PropertyTarget::OnFilter(), KSPROPSETID_Topology,
                                       KSPROPERTY_TOPOLOGY_NAME, KSPROPERTY_TYPE_GET, 80, nullptr, id);
        status = ReadName(name, &node.HasName, &node.Name);
        if (!NT_SUCCESS(status))
            return status;
        Nodes->push_back(node);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ControlPanel::GetPins(std::vector<PinInfo>* Pins)
{
    ULONG count = 0;
    PropertyResult r = Property(PropertyTarget::OnFilter(), KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES,
                                KSPROPERTY_TYPE_GET, sizeof(ULONG));
    if (!NT_SUCCESS(r.Status))
        return r.Status;
    std::memcpy(&count, r.Value.data(), sizeof(count));
    Pins->clear();
    for (ULONG i = 0; i < count; ++i)
    {
        PinInfo pin = {i, KSPIN_DATAFLOW_IN, false, {}, false, {}};
        r = Property(PropertyTarget::OnPin(i), KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET,
                     sizeof(ULONG));
        if (!NT_SUCCESS(r.Status))
            return r.Status;
        std::memcpy(&pin.DataFlow, r.Value.data(), sizeof(ULONG));
        r = Property(PropertyTarget::OnPin(i), KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, KSPROPERTY_TYPE_GET,
                     sizeof(GUID));
        if (NT_SUCCESS(r.Status))
            std::memcpy(&pin.Category, r.Value.data(), sizeof(GUID));
        else if (r.Status != STATUS_NOT_FOUND)
            return r.Status;
        pin.HasCategory = NT_SUCCESS(r.Status);
        r = Property(PropertyTarget::OnPin(i), KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, KSPROPERTY_TYPE_GET, 80);
        NTSTATUS status = ReadName(r, &pin.HasName, &pin.Name);
        if (!NT_SUCCESS(status))
            return status;
        Pins->push_back(pin);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ControlPanel::SendEvent(ULONG IoControlCode, const void* Input, ULONG InputLength, void* Output,
                                 ULONG OutputLength)
{
    return Send(IoControlCode, Input, InputLength, Output, OutputLength).Status;
}

NTSTATUS ControlPanel::Subscribe(ULONG Node, ULONG* Number)
{
    auto s = std::make_unique<Subscription>();
    s->Number = ULONG(m_Subscriptions.size());
    s->Node = Node;
    s->Enabled = false;
    s->Semaphore = static_cast<PKSEMAPHORE>(plat::ObCreateObject(&g_semaphoreType, sizeof(KSEMAPHORE)));
    KeInitializeSemaphore(s->Semaphore, 0, 0x7FFFFFFF);
    NTSTATUS status = plat::ObInsertHandle(s->Semaphore, GENERIC_ALL, UserMode, &s->SemaphoreHandle);
    if (!NT_SUCCESS(status))
    {
        ObDereferenceObject(s->Semaphore);
        return status;
    }
    s->Data = {};
    s->Data.NotificationType = KSEVENTF_SEMAPHORE_HANDLE;
    s->Data.SemaphoreHandle.Semaphore = s->SemaphoreHandle;
    s->Data.SemaphoreHandle.Adjustment = 1;
    KSE_NODE event = {};
    event.Event.Set = KSEVENTSETID_AudioControlChange;
    event.Event.Id = KSEVENT_CONTROL_CHANGE;
    event.Event.Flags = KSEVENT_TYPE_ENABLE | KSEVENT_TYPE_TOPOLOGY;
    event.NodeId = Node;
    status = Send(IOCTL_KS_ENABLE_EVENT, &event, sizeof(event), &s->Data, sizeof(s->Data)).Status;
    s->Enabled = NT_SUCCESS(status);
    if (!s->Enabled)
    {
        EndSubscription(*s);
        return status;
    }
    *Number = s->Number;
    m_Subscriptions.push_back(std::move(s));
    return status;
}

void ControlPanel::EndSubscription(Subscription& S)
{
    if (S.Enabled && m_pHandle && m_pHandle->IsOpen())
        Send(IOCTL_KS_DISABLE_EVENT, &S.Data, sizeof(S.Data), nullptr, 0);
    S.Enabled = false;
    if (S.Semaphore)
    {
        ZwClose(S.SemaphoreHandle);
        ObDereferenceObject(S.Semaphore);
        S.Semaphore = nullptr;
    }
}

NTSTATUS ControlPanel::Unsubscribe(ULONG Number)
{
    if (Number >= m_Subscriptions.size() || !m_Subscriptions[Number]->Enabled)
        return STATUS_INVALID_PARAMETER;
    Subscription& s = *m_Subscriptions[Number];
    NTSTATUS status = Send(IOCTL_KS_DISABLE_EVENT, &s.Data, sizeof(s.Data), nullptr, 0).Status;
    s.Enabled = false;
    return status;
}

ULONG ControlPanel::NotificationCount(ULONG Number) const
{
    if (Number >= m_Subscriptions.size() || m_Subscriptions[Number]->Semaphore == nullptr)
        return 0;
    return ULONG(KeReadStateSemaphore(m_Subscriptions[Number]->Semaphore));
}

ULONG ControlPanel::NodeNotificationCount(ULONG Node) const
{
    ULONG total = 0;
    for (const auto& s : m_Subscriptions)
        if (s->Node == Node)
            total += NotificationCount(s->Number);
    return total;
}

} // namespace sim
