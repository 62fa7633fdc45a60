// The one double of IUsbAudioFunction: an audio function object on the real CAudioHal base (so
// its node and stream lists, callback object and power handling are the driver's own) whose
// answers a script sets and whose calls a record keeps. Creators that make it stand in for the
// driver's audio function creators, so CUsbDevice can be started on any device with it.
#pragma once

#include <gtest/gtest.h>

#include "driver/core/audio_hal.h"
#include "driver/core/usb_audio_function_if.h"
#include "driver/usb/usb_device.h"

#include <cstring>
#include <functional>
#include <utility>
#include <vector>

namespace fdt
{

class CFunctionDouble;

// How the next function objects behave; every knob is the plain answer by default.
struct FunctionScript
{
    NTSTATUS InitStatus = STATUS_SUCCESS;
    bool AnswersFunctionInterface = true;
    LONG Streams = -1;                // the stream count to report; -1: the streams added
    std::vector<ULONG> EndpointFlags; // GetEndpointCaps flags per endpoint; its size is the count
    NTSTATUS UpdateStatus = STATUS_SUCCESS;
    PCALLBACK_OBJECT CallbackObject = nullptr;       // answered instead of the function's own
    std::function<NTSTATUS(CFunctionDouble*)> Build; // adds nodes and streams in InitHardware
};

// What the creators and the function objects were asked.
struct FunctionRecord
{
    int Calls = 0; // creator calls
    int Created = 0;
    int Destroyed = 0;
    int Kind = -1;
    USHORT VendorId = 0;
    USHORT ProductId = 0;
    ULONG ModelCode = 0;
    PUNKNOWN Outer = nullptr;
    int InitCalls = 0;
    int StartCalls = 0;
    int StopCalls = 0;
    std::vector<DEVICE_POWER_STATE> PowerStates;
    PCALLBACK_OBJECT CallbackObject = nullptr;
    std::vector<std::pair<ULONG, ULONG>> CapsLookups; // (capture flag, pin type)
    std::vector<ULONG> Updates;                       // UpdateStreamSubdevices entity ids
};

inline FunctionScript g_Script;
inline FunctionRecord g_Created;

inline void ResetFunctionDouble()
{
    g_Script = FunctionScript();
    g_Created = FunctionRecord();
}

// The function reports count endpoints (without streams behind them); the one at asio carries the
// ASIO flag.
inline void ScriptEndpoints(ULONG count, LONG asio = -1)
{
    g_Script.Streams = LONG(count);
    g_Script.EndpointFlags.assign(count, 0);
    if (asio >= 0 && ULONG(asio) < count)
        g_Script.EndpointFlags[asio] = ENDPOINT_CAPS_FLAG_ASIO;
}

constexpr ULONG FUNCTION_DOUBLE_POOL_TAG = MAKE_POOL_TAG('F', 'a', 'k', 'F');

class CFunctionDouble : public CAudioHal, public IUsbAudioFunction
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CFunctionDouble(PUNKNOWN outer) : CAudioHal(outer) { g_Created.Created++; }
    ~CFunctionDouble() override { g_Created.Destroyed++; }

    using CAudioHal::AddNode;
    using CAudioHal::AddStream;

    STDMETHODIMP_(NTSTATUS) InitHardware() override
    {
        g_Created.InitCalls++;
        g_Created.CallbackObject = m_pCallbackObject;
        if (!NT_SUCCESS(g_Script.InitStatus) || !g_Script.Build)
            return g_Script.InitStatus;
        return g_Script.Build(this);
    }
    STDMETHODIMP_(ULONG) GetStreamCount() override
    {
        return g_Script.Streams < 0 ? CAudioHal::GetStreamCount() : ULONG(g_Script.Streams);
    }
    STDMETHODIMP_(NTSTATUS) GetEndpointCaps(ULONG index, EndpointCaps* caps) override
    {
        if (index >= g_Script.EndpointFlags.size())
            return STATUS_INVALID_PARAMETER;
        std::memset(caps, 0, sizeof(*caps));
        caps->Flags = g_Script.EndpointFlags[index];
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetEndpointCapsByType(ULONG capture, ULONG type, EndpointCaps* caps) override
    {
        g_Created.CapsLookups.push_back({capture, type});
        std::memset(caps, 0, sizeof(*caps));
        caps->Extra = type;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) Start() override
    {
        g_Created.StartCalls++;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) Stop() override
    {
        g_Created.StopCalls++;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE state) override
    {
        g_Created.PowerStates.push_back(state.DeviceState);
    }

    STDMETHODIMP_(NTSTATUS) UpdateStreamSubdevices(ULONG entityId) override
    {
        g_Created.Updates.push_back(entityId);
        return g_Script.UpdateStatus;
    }
    STDMETHODIMP_(NTSTATUS) GetCallbackObject(PCALLBACK_OBJECT* object) override
    {
        *object = g_Script.CallbackObject ? g_Script.CallbackObject : m_pCallbackObject;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) CreateTopologyNodes(PUSB_INTERFACE_DESCRIPTOR, ULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS)
    CreateStreams(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP_(NTSTATUS) PostInit() override { return STATUS_SUCCESS; }
};

inline STDMETHODIMP_(NTSTATUS) CFunctionDouble::NonDelegatingQueryInterface(REFIID id, PVOID* out)
{
    if (IsEqualGUIDAligned(id, IID_IUsbAudioFunction))
    {
        if (!g_Script.AnswersFunctionInterface)
        {
            *out = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        *out = static_cast<PUSBAUDIOFUNCTION>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CAudioHal::NonDelegatingQueryInterface(id, out);
}

inline NTSTATUS MakeFunction(int kind, PUNKNOWN* out, PUNKNOWN outer, USHORT vendor, USHORT product,
                             ULONG model)
{
    g_Created.Calls++;
    g_Created.Kind = kind;
    g_Created.VendorId = vendor;
    g_Created.ProductId = product;
    g_Created.ModelCode = model;
    g_Created.Outer = outer;
    auto* function = new (NonPagedPool, FUNCTION_DOUBLE_POOL_TAG) CFunctionDouble(outer);
    if (function == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *out = function->GetNonDelegatingUnknown();
    (*out)->AddRef();
    return STATUS_SUCCESS;
}

template <int Kind> NTSTATUS CreateDouble(PUNKNOWN* out, PUNKNOWN outer, USHORT vendor, USHORT product)
{
    return MakeFunction(Kind, out, outer, vendor, product, 0);
}

inline NTSTATUS CreateDoubleVariantD(PUNKNOWN* out, PUNKNOWN outer, USHORT vendor, USHORT product,
                                     ULONG model)
{
    return MakeFunction(UsbAudioFunctionVariantD, out, outer, vendor, product, model);
}

// Every kind of audio function is the double; the record says which kind was asked for.
inline const AudioFunctionCreators kDoubleCreators = {
    CreateDouble<UsbAudioFunctionUac1>,     CreateDouble<UsbAudioFunctionUac2>,
    CreateDouble<UsbAudioFunctionVariantA>, CreateDouble<UsbAudioFunctionVariantB>,
    CreateDouble<UsbAudioFunctionVariantC>, CreateDoubleVariantD,
};

} // namespace fdt
