// The simulated device's audio-class controls: it answers the class requests of both releases
// (feature-unit controls, selectors, mixers, clock sources, terminal connectors, endpoint
// sampling frequency, valid alternate settings) and the class-1 terminal extensions sent as
// vendor requests (terminal type, terminal-type list, jack block, jack state), from the
// entities its descriptors announce and the ranges, rates and jacks its profile gives. It keeps
// every value the host sets, applies its own request faults, and tells observers when a
// control changes on the device itself so that the status-interrupt endpoint can report it.
//
// Device behaviour, as common devices behave:
// - A request for a control that the descriptors do not announce (or, in release 2.0, announce
//   without the readable or writable bit the request needs), for a channel the unit does not
//   carry, for channel 0xFF (all channels at once), or with an attribute the control lacks
//   (MIN/MAX/RES or RANGE of a switch, any SET_MIN/MAX/RES or MEM) stalls.
// - A SET whose data length is not the control's size stalls; a GET answers the control's
//   size, cut to wLength.
// - An out-of-range SET CUR of a level is clamped into [MIN, MAX] and rounded to the nearest
//   step of RES from MIN, and acknowledged; the 16-bit level 0x8000 (minus infinity) is kept
//   as it is. A switch stores any non-zero value as 1. A selector input outside 1..bNrInPins,
//   a sampling frequency the clock or endpoint does not offer, and a terminal type outside
//   the terminal-type list stall: there is nothing sensible to clamp them to.
// - A class-1 feature unit with vendor controls (profile line vendor-controls) answers GET_MEM
//   from its memory block: bytes 16-17 the block's length, byte 18 the control size (2), then
//   one 16-bit bitmap per channel, master first, bit (s & 0x7F) - 1 for vendor control s; the
//   request's wValue is the offset. The controls are one-byte switches on the master channel,
//   read and written with vendor GET_CUR / SET_CUR. A class-2 unit answers MEM the same way
//   from its extended control map: bytes 16-17 the length, then one 32-bit bitmap per channel
//   from byte 18, two bits (readable, writable) at 2((s & 0x7F) - 1); its vendor controls are
//   class CUR requests, and one the profile gives a range wider than on/off is a 16-bit level
//   with a RANGE.
// - A terminal that announces its connector (release 2.0: bmControls bits 2-3; release 1.0,
//   whose descriptors cannot say so: the profile gives its jack state) answers the jack-block
//   request even when the profile gives no jack-block line, with one jack over the terminal's
//   own channels and no fixed wiring, so its plug is sensed through the connector. A
//   "jack-block <id> stall" line makes it stall on purpose.
// - Changes the host makes are not reported back; only changes made through the device-side
//   calls below reach the observers.
#pragma once

#include "sim/device/device_model.h"
#include "sim/profiles/descriptor_span.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace sim
{

// Names the requests a fault applies to; -1 in a field matches any value. Target is the
// entity id (wIndex high byte) of an interface request and the endpoint address of an
// endpoint request.
struct ControlRequestMatch
{
    int RequestType = -1; // bmRequestType
    int Request = -1;     // bRequest
    int Target = -1;
    int Selector = -1; // wValue high byte
    int Channel = -1;  // wValue low byte

    bool Matches(const SetupPacket& Setup) const;
};

// Faults of the control engine. Every knob is off by default.
struct AudioControlFaults
{
    bool StallMatching = false; // stall every request that StallMatch names, before it acts
    ControlRequestMatch StallMatch;
    bool ShortReplyMatching = false; // answer the IN requests that ShortMatch names with at
    ControlRequestMatch ShortMatch;  // most ShortReplyBytes bytes
    uint16_t ShortReplyBytes = 0;
};

// A control that changed on the device itself.
struct ControlChange
{
    uint8_t InterfaceNumber = 0; // the audio-control interface of the entity
    uint8_t EntityId = 0;
    uint8_t Selector = 0; // release-2.0 numbering for terminals and clocks: 2 connector or validity
    uint8_t Channel = 0;
};

using ControlChangeObserver = std::function<void(const ControlChange&)>;

class AudioControlEngine : public IClassRequestHandler
{
public:
    explicit AudioControlEngine(const DeviceProfile& Profile);

    // Thread-safe; called by the device model for each class request and for each vendor
    // request its profile does not list.
    ControlResult HandleClassRequest(const SetupPacket& Setup, const std::vector<uint8_t>& OutData) override;
    ControlResult HandleVendorRequest(const SetupPacket& Setup, const std::vector<uint8_t>& OutData) override;

    void SetFaults(const AudioControlFaults& Faults);
    AudioControlFaults Faults() const;

    // Observers run on the thread that made the change, after the engine's lock is released.
    int AddChangeObserver(ControlChangeObserver Observer); // returns a handle above 0
    void RemoveChangeObserver(int Handle);

    // The device's own view, for tests and the status endpoint. Controls are addressed as in the
    // profile (entity, selector, channel; a class-1 mixer by input and output channel).
    bool ControlValue(uint8_t EntityId, uint8_t Selector, uint8_t Channel, int32_t* Value) const;
    bool JackConnected(uint8_t TerminalId) const;
    uint32_t ClockRateHz(uint8_t ClockId) const; // 0 for no such clock source
    bool ClockValid(uint8_t ClockId) const;
    uint32_t EndpointRateHz(uint8_t EndpointAddress) const; // 0 when it has no such control
    int CurrentTerminalType(uint8_t TerminalId) const;      // -1 without a terminal-type list

    // Changes made on the device (a knob, a plug, a lost clock): each returns false for an
    // unknown control and reports to the observers when the value really changed. The value is
    // clamped as a host SET CUR would be.
    bool ChangeControl(uint8_t EntityId, uint8_t Selector, uint8_t Channel, int32_t Value);
    bool SetJackConnected(uint8_t TerminalId, bool Connected);
    bool SetClockValid(uint8_t ClockId, bool Valid);
    bool SetCurrentTerminalType(uint8_t TerminalId, uint16_t TerminalType);

private:
    struct Entity
    {
        uint8_t InterfaceNumber = 0;
        bool Release2 = false;
        uint8_t Subtype = 0;
        uint8_t Id = 0;
        std::vector<uint8_t> Bytes;
        std::vector<uint8_t> Sources;
        std::vector<uint32_t> ControlMaps; // feature unit: one bitmap per channel, master first
        uint32_t Controls = 0;             // terminals, clocks, selectors: bmControls
        uint8_t MixerInputs = 0;           // class-1 mixer: input channels over all its pins
        uint8_t MixerOutputs = 0;
        std::vector<uint8_t> Memory; // feature unit with vendor controls: its memory (GET_MEM, MEM) block
    };
    struct Value
    {
        int32_t Min = 0;
        int32_t Max = 0;
        int32_t Res = 0;
        int32_t Cur = 0;
        uint8_t Size = 1;     // bytes on the wire
        bool Signed = false;  // levels; switches and counts are unsigned
        bool Switch = false;  // CUR only, stores 0 or 1
        bool Writable = true; // class-1 mixer controls the bitmap leaves fixed, read-only class-2 controls
        bool MinusInfinity = false; // 16-bit levels where 0x8000 means silence
        bool Strict = false;        // a SET outside [Min, Max] stalls (selector inputs)
    };
    struct Terminal
    {
        bool Connected = true;
        int CurrentType = -1;
        uint8_t Channels = 0;
        uint32_t ChannelConfig = 0;
        bool AnnouncesConnector = false; // answers a jack block even when the profile gives none
    };
    struct Clock
    {
        uint32_t RateHz = 0;
        std::vector<uint32_t> RatesHz;
        std::vector<ClockSubRange> SubRanges; // the RANGE reply, in order
        bool Valid = true;
    };
    struct EndpointRates
    {
        uint32_t RateHz = 0;
        std::vector<uint32_t> Discrete;
        std::vector<std::pair<uint32_t, uint32_t>> Continuous;
    };
    enum class Attribute
    {
        Cur,
        Min,
        Max,
        Res,
        Range,
        Other,
    };
    struct Request
    {
        SetupPacket Setup;
        bool In = false;
        bool Vendor = false;
        uint8_t Recipient = 0;
        uint8_t InterfaceNumber = 0; // interface requests
        uint8_t Target = 0;          // entity id, or the endpoint address
        uint8_t Selector = 0;
        uint8_t Channel = 0;
        Attribute What = Attribute::Other;
    };

    // Set-up from the descriptors (audio_control.cpp).
    void ReadDescriptors();
    void ReadControlDescriptor(uint8_t interfaceNumber, bool release2, const DescriptorSpan& d);
    static void ReadFeatureControlMaps(const DescriptorSpan& d, Entity* e);
    void ReadStreamingDescriptors(const std::vector<DescriptorSpan>& descriptors);
    void AddEndpointRates(uint8_t endpoint, const std::vector<uint32_t>& discrete,
                          const std::vector<std::pair<uint32_t, uint32_t>>& continuous);
    void BuildValues();
    void BuildFeatureValues(Entity& e);
    void BuildVendorControls(Entity& e);
    void BuildMixerValues(Entity& e);
    void BuildTerminalAndClockState(const Entity& e);
    bool ClusterOf(uint8_t interfaceNumber, uint8_t id, int depth, uint8_t* channels, uint32_t* config) const;
    const Entity* FindEntity(uint8_t interfaceNumber, uint8_t id) const;
    const Entity* FindEntityById(uint8_t id) const;
    bool IsControlInterface(uint8_t interfaceNumber, bool* release2) const;
    static uint32_t Key(uint8_t interfaceNumber, uint8_t id, uint8_t selector, uint8_t channel);
    Value* FindValue(uint8_t interfaceNumber, uint8_t id, uint8_t selector, uint8_t channel);
    const Value* FindValue(uint8_t interfaceNumber, uint8_t id, uint8_t selector, uint8_t channel) const;
    static uint32_t ChannelMask(const Terminal& t);
    std::vector<uint8_t> ConnectorCluster(const Terminal& t) const;
    void Notify(const std::vector<ControlChange>& changes);

    // Requests (audio_control_requests.cpp).
    ControlResult Answer(const SetupPacket& setup, const std::vector<uint8_t>& outData, bool vendor);
    static Request Decode(const SetupPacket& setup, bool vendor, bool release2);
    ControlResult Dispatch(Request r, const std::vector<uint8_t>& outData);
    ControlResult Uac1Interface(const Request& r, const Entity& e, const std::vector<uint8_t>& outData);
    ControlResult Uac1Endpoint(const Request& r, const std::vector<uint8_t>& outData);
    ControlResult Uac1Vendor(const Request& r, const Entity& e, const std::vector<uint8_t>& outData);
    ControlResult Uac1FeatureVendor(const Request& r, const Entity& e, const std::vector<uint8_t>& outData);
    static ControlResult MemoryRequest(const Request& r, const Entity& e);
    ControlResult Uac2Interface(const Request& r, const Entity& e, const std::vector<uint8_t>& outData);
    ControlResult Uac2Streaming(const Request& r);
    ControlResult Uac2Clock(const Request& r, const Entity& e, const std::vector<uint8_t>& outData);
    ControlResult Uac2Terminal(const Request& r, const Entity& e, const std::vector<uint8_t>& outData);
    ControlResult ValueRequest(const Request& r, Value* v, const std::vector<uint8_t>& outData);
    ControlResult RangeRequest(const Request& r, const Value& v) const;
    ControlResult TerminalTypeRequest(const Request& r, const Entity& e, const std::vector<uint8_t>& outData);
    ControlResult TerminalTypeList(const Request& r, const Entity& e) const;
    ControlResult JackBlock(const Request& r, const Entity& e) const;
    static int32_t Clamp(const Value& v, int32_t value);

    const DeviceProfile m_profile;
    mutable std::mutex m_lock;
    std::vector<Entity> m_entities;
    std::vector<std::pair<uint8_t, bool>> m_controlInterfaces;        // number, release 2.0
    std::map<uint8_t, std::vector<uint8_t>> m_streamingAlternates;    // release-2.0 interfaces
    std::map<uint8_t, std::pair<uint8_t, uint32_t>> m_linkedClusters; // by bTerminalLink: channels, config
    std::map<uint32_t, Value> m_values;
    std::map<uint16_t, Terminal> m_terminals;     // by interface << 8 | id
    std::map<uint16_t, Clock> m_clocks;           // by interface << 8 | id
    std::map<uint8_t, EndpointRates> m_endpoints; // class-1 endpoints with a sampling-frequency control
    AudioControlFaults m_faults;
    std::map<int, ControlChangeObserver> m_observers;
    int m_nextObserver = 1;
};

} // namespace sim
