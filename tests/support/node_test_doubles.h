// Test doubles for the topology node tests: an entity that answers every interface a control
// node calls on its owner (feature-unit switches and levels, terminal, per-index jacks,
// selector unit, clock source), records each call and returns scripted values and failures;
// and an audio function object.
#pragma once

#include "support/graph_test_doubles.h"

#include "driver/core/usb_audio_function_if.h"
#include "driver/topology/nodes/feature_unit_if.h"
#include "driver/topology/nodes/terminal_jacks_if.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <type_traits>
#include <vector>

namespace nd
{

using gd::Log;
using gd::Note;

// Calls are logged as "<op> <selector> <channel> <value>", e.g. "setlevel 2 1 -74496".
class CFakeEntity : public IFeatureUnitSwitch,
                    public IFeatureUnitLevel,
                    public ITerminalNode,
                    public ITerminalJacks,
                    public ISelectorNode,
                    public IClockSourceNode,
                    public CTopologyNode
{
public:
    DECLARE_STD_UNKNOWN();
    CFakeEntity(PUNKNOWN outer, ULONG id) : CTopologyNode(outer, id, 6) {}

    // Scripted device state.
    std::map<std::pair<ULONG, ULONG>, LONG> Values; // (selector, channel) -> value
    ULONG ChannelCount = 2;
    LONG Maximum = 0, Minimum = -0x7F0000, Resolution = 0x100;
    std::map<std::string, NTSTATUS> Fail;                // op -> status of every call of it
    std::set<std::pair<std::string, ULONG>> FailChannel; // (op, channel) -> STATUS_UNSUCCESSFUL
    std::vector<ULONG> PinTypes{0};
    ULONG CurrentPinType = 0;
    std::vector<std::vector<JackRecord>> Jacks{{}}; // per pin index
    ULONG InputCount = 3;
    ULONG SelectedInput = 1;
    std::vector<ULONG> Rates;
    bool AnswerJacksAt = true;

    NTSTATUS Outcome(const std::string& op, ULONG channel = 0)
    {
        auto it = Fail.find(op);
        if (it != Fail.end())
            return it->second;
        return FailChannel.count({op, channel}) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }
    NTSTATUS Logged(const std::string& op, ULONG selector, ULONG channel, LONG value)
    {
        Note(op + " " + std::to_string(selector) + " " + std::to_string(channel) + " " +
             std::to_string(value));
        return Outcome(op, channel);
    }

    // IFeatureUnitSwitch
    STDMETHODIMP_(NTSTATUS) GetSwitch(ULONG s, ULONG c, PUCHAR v) override
    {
        NTSTATUS status = Logged("getswitch", s, c, 0);
        if (NT_SUCCESS(status))
            *v = UCHAR(Values[{s, c}]);
        return status;
    }
    STDMETHODIMP_(NTSTATUS) SetSwitch(ULONG s, ULONG c, UCHAR v) override
    {
        NTSTATUS status = Logged("setswitch", s, c, v);
        if (NT_SUCCESS(status))
            Values[{s, c}] = v;
        return status;
    }
    STDMETHODIMP_(NTSTATUS) GetControlChannelCount(ULONG s, PULONG count) override
    {
        *count = ChannelCount;
        return Outcome("count");
    }
    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon*) override { return STATUS_NOT_IMPLEMENTED; }

    // IFeatureUnitLevel
    STDMETHODIMP_(NTSTATUS) GetLevel(ULONG s, ULONG c, PLONG v) override
    {
        NTSTATUS status = Logged("getlevel", s, c, 0);
        if (NT_SUCCESS(status))
            *v = Values[{s, c}];
        return status;
    }
    STDMETHODIMP_(NTSTATUS) SetLevel(ULONG s, ULONG c, LONG v) override
    {
        NTSTATUS status = Logged("setlevel", s, c, v);
        if (NT_SUCCESS(status))
            Values[{s, c}] = v;
        return status;
    }
    STDMETHODIMP_(NTSTATUS) GetLevelRange(ULONG s, PLONG maximum, PLONG minimum, PLONG resolution) override
    {
        NTSTATUS status = Outcome("range");
        if (NT_SUCCESS(status))
        {
            *maximum = Maximum;
            *minimum = Minimum;
            *resolution = Resolution;
        }
        return status;
    }
    STDMETHODIMP_(NTSTATUS) GetLevelChannelCount(ULONG s, PULONG count) override
    {
        *count = ChannelCount;
        return Outcome("count");
    }

    // ITerminalNode
    STDMETHODIMP_(NTSTATUS) GetPinType(PULONG type) override
    {
        *type = CurrentPinType;
        return Outcome("getpintype");
    }
    STDMETHODIMP_(NTSTATUS) GetPinTypeCount(PULONG count) override
    {
        *count = ULONG(PinTypes.size());
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetJackCount(PULONG count) override { return GetJackCountAt(0, count); }
    STDMETHODIMP_(NTSTATUS) GetPinTypes(PULONG types) override
    {
        std::copy(PinTypes.begin(), PinTypes.end(), types);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) SetPinType(ULONG type) override
    {
        Note("terminal setpintype " + std::to_string(type));
        NTSTATUS status = Outcome("setpintype");
        if (NT_SUCCESS(status))
            CurrentPinType = type;
        return status;
    }
    STDMETHODIMP_(NTSTATUS) GetJackDescriptions(ULONG bytes, PVOID records) override
    {
        return GetJackDescriptionsAt(0, bytes, records);
    }
    STDMETHODIMP_(NTSTATUS) GetPinGuids(PVOID) override { return STATUS_NOT_IMPLEMENTED; }

    // ITerminalJacks
    STDMETHODIMP_(NTSTATUS) GetJackCountAt(ULONG index, PULONG count) override
    {
        if (index >= Jacks.size())
            return STATUS_INVALID_PARAMETER;
        *count = ULONG(Jacks[index].size());
        return Outcome("jackcount");
    }
    STDMETHODIMP_(NTSTATUS) GetJackDescriptionsAt(ULONG index, ULONG bytes, PVOID records) override
    {
        Note("jacks " + std::to_string(index) + " " + std::to_string(bytes));
        if (index >= Jacks.size() || bytes < Jacks[index].size() * sizeof(JackRecord))
            return STATUS_INVALID_PARAMETER;
        std::memcpy(records, Jacks[index].data(), Jacks[index].size() * sizeof(JackRecord));
        return Outcome("jacks");
    }

    // ISelectorNode
    STDMETHODIMP_(NTSTATUS) GetSelectedInput(PULONG input) override
    {
        NTSTATUS status = Outcome("getinput");
        if (NT_SUCCESS(status))
            *input = SelectedInput;
        return status;
    }
    STDMETHODIMP_(NTSTATUS) SetSelectedInput(ULONG input) override
    {
        Note("setinput " + std::to_string(input));
        NTSTATUS status = Outcome("setinput");
        if (NT_SUCCESS(status))
            SelectedInput = input;
        return status;
    }
    STDMETHODIMP_(NTSTATUS) GetInputCount(PULONG count) override
    {
        *count = InputCount;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) AddSelectorSink(IConnectionIndexSync*) override { return STATUS_NOT_IMPLEMENTED; }

    // IClockSourceNode
    STDMETHODIMP_(NTSTATUS) GetSampleRates(PULONG count, PULONG rates) override
    {
        if (*count < Rates.size())
            return STATUS_INVALID_PARAMETER;
        *count = ULONG(Rates.size());
        std::copy(Rates.begin(), Rates.end(), rates);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetSampleRateCount(PULONG count) override
    {
        *count = ULONG(Rates.size());
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) SetSampleRate(ULONG rate) override
    {
        Note("setrate " + std::to_string(rate));
        return Outcome("setrate");
    }
    STDMETHODIMP_(NTSTATUS) GetSampleRate(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(NTSTATUS) IsClockValid(PUCHAR valid) override
    {
        *valid = 0;
        return Outcome("valid");
    }
    STDMETHODIMP_(NTSTATUS) Init(ULONG, const ULONG*) override { return STATUS_NOT_IMPLEMENTED; }
};

inline STDMETHODIMP_(NTSTATUS) CFakeEntity::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (NT_SUCCESS(CTopologyNode::NonDelegatingQueryInterface(id, out)))
        return STATUS_SUCCESS;
    if (IsEqualGUID(id, IID_IFeatureUnitSwitch))
        *out = static_cast<IFeatureUnitSwitch*>(this);
    else if (IsEqualGUID(id, IID_IFeatureUnitLevel))
        *out = static_cast<IFeatureUnitLevel*>(this);
    else if (IsEqualGUID(id, IID_ITerminalNode))
        *out = static_cast<ITerminalNode*>(this);
    else if (IsEqualGUID(id, IID_ITerminalJacks) && AnswerJacksAt)
        *out = static_cast<ITerminalJacks*>(this);
    else if (IsEqualGUID(id, IID_ISelectorNode))
        *out = static_cast<ISelectorNode*>(this);
    else if (IsEqualGUID(id, IID_IClockSourceNode))
        *out = static_cast<IClockSourceNode*>(this);
    else
        return STATUS_INVALID_PARAMETER;
    static_cast<PUNKNOWN>(*out)->AddRef();
    return STATUS_SUCCESS;
}

// A node's release as a builder's creation reference would go.
// What a getter writes to its last argument, the call expected to succeed:
// OUT_OF(ULONG, node, GetJackCount) is the count node->GetJackCount(&count) gives.
template <class T, class Object, class Method, class... Args>
T OutOf(Object* object, Method method, Args... args)
{
    T value{};
    EXPECT_EQ((object->*method)(args..., &value), STATUS_SUCCESS);
    return value;
}
#define OUT_OF(Type, Object, Method, ...)                                                                    \
    nd::OutOf<Type>(Object, &std::remove_pointer_t<decltype(Object)>::Method, ##__VA_ARGS__)

template <class T> void Drop(T* node)
{
    node->NonDelegatingRelease();
}

inline JackRecord Jack(ULONG mapping, ULONG color)
{
    JackRecord jack = {};
    jack.ChannelMapping = mapping;
    jack.Color = color;
    return jack;
}

} // namespace nd
