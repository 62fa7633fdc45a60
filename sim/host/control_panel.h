// The simulated control panel: it finds a device's kernel-streaming filters through their
// device interfaces, opens one, reads its pins, nodes and connections, gets and sets properties
// on the filter, a pin or a node, and subscribes to control-change events, counting the
// notifications each subscription receives. Every request travels as the audio stack's would:
// IOCTL_KS_* on a handle of the filter, synchronously for the caller.
#pragma once

#include "sim/host/io_client.h"

#include "ks_requests.h"
#include "ksmedia.h"

#include <memory>
#include <string>
#include <vector>

namespace sim
{

struct FilterInfo
{
    std::u16string Name; // the subdevice name, which the filter's interfaces carry as reference string
    bool IsTopology;     // it also has a KSCATEGORY_TOPOLOGY interface
};

struct PinInfo
{
    ULONG Id;
    KSPIN_DATAFLOW DataFlow;
    bool HasCategory;
    GUID Category;
    bool HasName;
    GUID Name;
};

struct NodeInfo
{
    ULONG Id;
    GUID Type;
    bool HasName;
    GUID Name;
};

// What a property request came back with: the status, IoStatus.Information (bytes written, or
// the size needed after a size query or a short buffer) and the value bytes written.
struct PropertyResult
{
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<UCHAR> Value;
};

// Where a property request goes: the filter, one of its pins (KSP_PIN) or one of its nodes
// (KSNODEPROPERTY, with the channel appended for KSNODEPROPERTY_AUDIO_CHANNEL when Channel is
// set).
struct PropertyTarget
{
    enum TargetKind
    {
        Filter,
        Pin,
        Node
    };
    TargetKind Kind = Filter;
    ULONG Id = 0;
    bool HasChannel = false;
    LONG Channel = 0;

    static PropertyTarget OnFilter() { return PropertyTarget(); }
    static PropertyTarget OnPin(ULONG PinId) { return Make(Pin, PinId, false, 0); }
    static PropertyTarget OnNode(ULONG NodeId) { return Make(Node, NodeId, false, 0); }
    static PropertyTarget OnChannel(ULONG NodeId, LONG ChannelIndex)
    {
        return Make(Node, NodeId, true, ChannelIndex);
    }

private:
    static PropertyTarget Make(TargetKind K, ULONG I, bool H, LONG C)
    {
        PropertyTarget t;
        t.Kind = K;
        t.Id = I;
        t.HasChannel = H;
        t.Channel = C;
        return t;
    }
};

class ControlPanel
{
public:
    // The filters of the physical device: its enabled KSCATEGORY_AUDIO interfaces.
    static std::vector<FilterInfo> EnumerateFilters(PDEVICE_OBJECT Pdo);
    // Opens the filter registered under Name on the device.
    static NTSTATUS Open(PDEVICE_OBJECT Pdo, const std::u16string& Name,
                         std::unique_ptr<ControlPanel>* Panel);
    // Ends every subscription and closes the handle.
    ~ControlPanel();
    ControlPanel(const ControlPanel&) = delete;
    ControlPanel& operator=(const ControlPanel&) = delete;

    // The standard pin and topology properties of the filter.
    NTSTATUS GetPins(std::vector<PinInfo>* Pins);
    NTSTATUS GetNodes(std::vector<NodeInfo>* Nodes);
    NTSTATUS GetConnections(std::vector<KSTOPOLOGY_CONNECTION>* Connections);
    NTSTATUS GetCategories(std::vector<GUID>* Categories);

    // Any property request. Verb is KSPROPERTY_TYPE_GET, _SET or _BASICSUPPORT; ValueSize is the
    // value buffer's size (0 for a size query); a set sends Value (ValueSize bytes). Extra is
    // appended to the request record (an instance beyond the pin id or channel).
    PropertyResult Property(const PropertyTarget& Target, const GUID& Set, ULONG Id, ULONG Verb,
                            ULONG ValueSize, const void* Value = nullptr,
                            const std::vector<UCHAR>& Extra = {});
    // A 32-bit value of an audio node property on one channel (-1: master).
    NTSTATUS GetNodeLong(ULONG Node, const GUID& Set, ULONG Id, LONG Channel, LONG* Value);
    NTSTATUS SetNodeLong(ULONG Node, const GUID& Set, ULONG Id, LONG Channel, LONG Value);

    // Control-change events (KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE) of one node;
    // each notification counts once. Subscribe hands back a subscription number.
    NTSTATUS Subscribe(ULONG Node, ULONG* Subscription);
    NTSTATUS Unsubscribe(ULONG Subscription);
    // Notifications the subscription has received so far.
    ULONG NotificationCount(ULONG Subscription) const;
    // Notifications received by every subscription of the node.
    ULONG NodeNotificationCount(ULONG Node) const;
    // Raw event requests (enable with a KSE_NODE, basic support), for tests of malformed input.
    NTSTATUS SendEvent(ULONG IoControlCode, const void* Input, ULONG InputLength, void* Output,
                       ULONG OutputLength);

    ClientHandle& Handle() { return *m_pHandle; }

private:
    struct Subscription;
    explicit ControlPanel(std::unique_ptr<ClientHandle> Handle);
    IoResult Send(ULONG IoControlCode, const void* Input, ULONG InputLength, void* Output,
                  ULONG OutputLength);
    NTSTATUS GetMultiple(const GUID& Set, ULONG Id, std::vector<UCHAR>* Items, ULONG* Count);
    void EndSubscription(Subscription& S);

    std::unique_ptr<ClientHandle> m_pHandle;
    std::vector<std::unique_ptr<Subscription>> m_Subscriptions;
};

// A name as the port answers it ("{XXXXXXXX-...}") back into its GUID; false when malformed.
bool ParseGuidName(const std::u16string& Text, GUID* Guid);

} // namespace sim
