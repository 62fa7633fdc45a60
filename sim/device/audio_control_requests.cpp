// The control engine's requests: decoding, the fault knobs, and the answers of each release.
#include "sim/device/audio_control.h"

#include <algorithm>

namespace sim
{

namespace
{

constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kRecipientEndpoint = 2;

// Requests of release 1.0 (bit 7: device to host) and 2.0 (direction from bmRequestType).
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kGetMin = 0x82;
constexpr uint8_t kGetMax = 0x83;
constexpr uint8_t kGetRes = 0x84;
constexpr uint8_t kGetMem = 0x85;
constexpr uint8_t kCur2 = 0x01;
constexpr uint8_t kRange2 = 0x02;
constexpr uint8_t kMem2 = 0x03;

// The class-1 terminal extensions (vendor requests) and their class-2 forms share wValue.
constexpr uint8_t kVendorTypeList = 0x86;
constexpr uint16_t kTerminalTypeValue = 0x0800;
constexpr uint16_t kJackBlockValue = 0x02FF;
constexpr uint16_t kJackStateValue = 0x0200;

ControlResult Stall()
{
    return ControlResult{ControlOutcome::Stall, {}, 0};
}

ControlResult Ack(std::vector<uint8_t> data = {})
{
    return ControlResult{ControlOutcome::Ack, std::move(data), 0};
}

void PutLe(std::vector<uint8_t>* out, uint32_t value, unsigned size)
{
    for (unsigned k = 0; k < size; ++k)
    {
        out->push_back(uint8_t(value >> (8 * k)));
    }
}

int32_t GetLe(const std::vector<uint8_t>& in, unsigned size, bool isSigned)
{
    uint32_t value = 0;
    for (unsigned k = 0; k < size; ++k)
    {
        value |= uint32_t(in[k]) << (8 * k);
    }
    if (isSigned && size < 4 && (value & (1u << (8 * size - 1))) != 0)
    {
        value |= ~0u << (8 * size);
    }
    return int32_t(value);
}

// A host-to-device request must bring exactly the control's bytes.
bool SetDataFits(const SetupPacket& setup, const std::vector<uint8_t>& outData, unsigned size)
{
    return setup.Length == size && outData.size() == size;
}

uint16_t TerminalKey(uint8_t interfaceNumber, uint8_t id)
{
    return uint16_t(interfaceNumber << 8 | id);
}

} // namespace

ControlResult AudioControlEngine::HandleClassRequest(const SetupPacket& setup,
                                                     const std::vector<uint8_t>& outData)
{
    return Answer(setup, outData, false);
}

ControlResult AudioControlEngine::HandleVendorRequest(const SetupPacket& setup,
                                                      const std::vector<uint8_t>& outData)
{
    return Answer(setup, outData, true);
}

// Faults first (a stalled SET changes nothing), then the answer, then a short reply.
ControlResult AudioControlEngine::Answer(const SetupPacket& setup, const std::vector<uint8_t>& outData,
                                         bool vendor)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_faults.StallMatching && m_faults.StallMatch.Matches(setup))
    {
        return Stall();
    }
    bool release2 = false;
    const bool toInterface = (setup.RequestType & 0x1F) == kRecipientInterface;
    if (toInterface && !IsControlInterface(uint8_t(setup.Index), &release2))
    {
        release2 = m_streamingAlternates.count(uint8_t(setup.Index)) != 0;
    }
    ControlResult result = Dispatch(Decode(setup, vendor, release2), outData);
    const bool in = (setup.RequestType & 0x80) != 0;
    if (in && result.Outcome == ControlOutcome::Ack && m_faults.ShortReplyMatching &&
        m_faults.ShortMatch.Matches(setup) && result.Data.size() > m_faults.ShortReplyBytes)
    {
        result.Data.resize(m_faults.ShortReplyBytes);
    }
    if (result.Data.size() > setup.Length)
    {
        result.Data.resize(setup.Length);
    }
    return result;
}

AudioControlEngine::Request AudioControlEngine::Decode(const SetupPacket& setup, bool vendor, bool release2)
{
    Request r;
    r.Setup = setup;
    r.In = (setup.RequestType & 0x80) != 0;
    r.Vendor = vendor;
    r.Recipient = setup.RequestType & 0x1F;
    r.InterfaceNumber = uint8_t(setup.Index);
    r.Target = r.Recipient == kRecipientEndpoint ? uint8_t(setup.Index) : uint8_t(setup.Index >> 8);
    r.Selector = uint8_t(setup.Value >> 8);
    r.Channel = uint8_t(setup.Value);
    if (vendor)
    {
        return r;
    }
    if (release2)
    {
        r.What = setup.Request == kCur2             ? Attribute::Cur
                 : setup.Request == kRange2 && r.In ? Attribute::Range
                                                    : Attribute::Other;
        return r;
    }
    // Release 1.0 names the direction twice; a request whose two halves disagree is refused.
    if (((setup.Request & 0x80) != 0) != r.In)
    {
        return r;
    }
    switch (setup.Request)
    {
    case kSetCur:
    case kGetCur:
        r.What = Attribute::Cur;
        break;
    case kGetMin:
        r.What = Attribute::Min;
        break;
    case kGetMax:
        r.What = Attribute::Max;
        break;
    case kGetRes:
        r.What = Attribute::Res;
        break;
    default:
        break;
    }
    return r;
}

ControlResult AudioControlEngine::Dispatch(Request r, const std::vector<uint8_t>& outData)
{
    if (r.Recipient == kRecipientEndpoint)
    {
        return r.Vendor ? Stall() : Uac1Endpoint(r, outData);
    }
    if (r.Recipient != kRecipientInterface)
    {
        return Stall();
    }
    bool release2 = false;
    if (!IsControlInterface(r.InterfaceNumber, &release2))
    {
        return m_streamingAlternates.count(r.InterfaceNumber) != 0 && !r.Vendor ? Uac2Streaming(r) : Stall();
    }
    const Entity* e = FindEntity(r.InterfaceNumber, r.Target);
    if (e == nullptr || (r.Vendor && release2))
    {
        return Stall();
    }
    if (r.Vendor)
    {
        return Uac1Vendor(r, *e, outData);
    }
    return release2 ? Uac2Interface(r, *e, outData) : Uac1Interface(r, *e, outData);
}

ControlResult AudioControlEngine::Uac1Interface(const Request& r, const Entity& e,
                                                const std::vector<uint8_t>& outData)
{
    Value* v = nullptr;
    if (e.Subtype == 0x06 && r.Setup.Request == kGetMem && r.In)
    {
        return MemoryRequest(r, e);
    }
    switch (e.Subtype)
    {
    case 0x06: // feature unit: selector and channel; vendor controls only by vendor request
        v = r.Selector < 0x80 ? FindValue(e.InterfaceNumber, e.Id, r.Selector, r.Channel) : nullptr;
        break;
    case 0x05: // selector unit: wValue is zero
        v = r.Setup.Value == 0 ? FindValue(e.InterfaceNumber, e.Id, 1, 0) : nullptr;
        break;
    case 0x04: // mixer unit: input channel and output channel, both from 1
        v = FindValue(e.InterfaceNumber, e.Id, r.Selector, r.Channel);
        break;
    default:
        break;
    }
    return v == nullptr || r.What == Attribute::Range ? Stall() : ValueRequest(r, v, outData);
}

// Get or set one value, or read its range, in the control's own width.
ControlResult AudioControlEngine::ValueRequest(const Request& r, Value* v,
                                               const std::vector<uint8_t>& outData)
{
    if (!r.In)
    {
        if (r.What != Attribute::Cur || !v->Writable || !SetDataFits(r.Setup, outData, v->Size))
        {
            return Stall();
        }
        const int32_t value = GetLe(outData, v->Size, v->Signed);
        if (v->Strict && (value < v->Min || value > v->Max))
        {
            return Stall();
        }
        v->Cur = Clamp(*v, value);
        return Ack();
    }
    std::vector<uint8_t> data;
    switch (r.What)
    {
    case Attribute::Cur:
        PutLe(&data, uint32_t(v->Cur), v->Size);
        return Ack(data);
    case Attribute::Min:
    case Attribute::Max:
    case Attribute::Res:
        if (v->Switch)
        {
            return Stall();
        }
        PutLe(&data,
              uint32_t(r.What == Attribute::Min   ? v->Min
                       : r.What == Attribute::Max ? v->Max
                                                  : v->Res),
              v->Size);
        return Ack(data);
    case Attribute::Range:
        return RangeRequest(r, *v);
    default:
        return Stall();
    }
}

// A release-2.0 RANGE block: wNumSubRanges, then (MIN, MAX, RES) in the control's width.
ControlResult AudioControlEngine::RangeRequest(const Request& r, const Value& v) const
{
    if (v.Switch)
    {
        return Stall();
    }
    std::vector<uint8_t> data;
    PutLe(&data, 1, 2);
    PutLe(&data, uint32_t(v.Min), v.Size);
    PutLe(&data, uint32_t(v.Max), v.Size);
    PutLe(&data, uint32_t(v.Res), v.Size);
    return Ack(data);
}

// The sampling frequency of a class-1 endpoint: 3 bytes in Hz.
ControlResult AudioControlEngine::Uac1Endpoint(const Request& r, const std::vector<uint8_t>& outData)
{
    auto it = m_endpoints.find(r.Target);
    if (it == m_endpoints.end() || r.Setup.Value != 0x0100 || r.What != Attribute::Cur)
    {
        return Stall();
    }
    EndpointRates& rates = it->second;
    if (r.In)
    {
        std::vector<uint8_t> data;
        PutLe(&data, rates.RateHz, 3);
        return Ack(data);
    }
    if (!SetDataFits(r.Setup, outData, 3))
    {
        return Stall();
    }
    const uint32_t rate = uint32_t(GetLe(outData, 3, false));
    bool offered = std::find(rates.Discrete.begin(), rates.Discrete.end(), rate) != rates.Discrete.end();
    for (const auto& range : rates.Continuous)
    {
        offered = offered || (rate >= range.first && rate <= range.second);
    }
    if (!offered)
    {
        return Stall();
    }
    rates.RateHz = rate;
    return Ack();
}

// The class-1 terminal extensions: current terminal type, the type list, the jack block and
// the jack state, all to the terminal.
// GET_MEM of a feature unit: wLength bytes of its memory block from offset wValue.
ControlResult AudioControlEngine::MemoryRequest(const Request& r, const Entity& e)
{
    const size_t offset = r.Setup.Value;
    if (e.Memory.empty() || offset >= e.Memory.size())
    {
        return Stall();
    }
    const size_t end = std::min(e.Memory.size(), offset + r.Setup.Length);
    return Ack(std::vector<uint8_t>(e.Memory.begin() + long(offset), e.Memory.begin() + long(end)));
}

// The vendor controls of a feature unit: CUR only, one byte, selectors from 0x80.
ControlResult AudioControlEngine::Uac1FeatureVendor(const Request& r, const Entity& e,
                                                    const std::vector<uint8_t>& outData)
{
    const bool cur = (r.In && r.Setup.Request == kGetCur) || (!r.In && r.Setup.Request == kSetCur);
    Value* v =
        r.Selector >= 0x80 && cur ? FindValue(e.InterfaceNumber, e.Id, r.Selector, r.Channel) : nullptr;
    if (v == nullptr)
    {
        return Stall();
    }
    Request typed = r;
    typed.What = Attribute::Cur;
    return ValueRequest(typed, v, outData);
}

ControlResult AudioControlEngine::Uac1Vendor(const Request& r, const Entity& e,
                                             const std::vector<uint8_t>& outData)
{
    if (e.Subtype == 0x06)
    {
        return Uac1FeatureVendor(r, e, outData);
    }
    if (e.Subtype != 0x02 && e.Subtype != 0x03)
    {
        return Stall();
    }
    const uint16_t value = r.Setup.Value;
    if (r.Setup.Request == kGetCur && value == kTerminalTypeValue)
    {
        Request typed = r;
        typed.What = Attribute::Cur;
        return TerminalTypeRequest(typed, e, outData);
    }
    if (r.Setup.Request == kVendorTypeList && value == kTerminalTypeValue && r.In)
    {
        return TerminalTypeList(r, e);
    }
    if (r.Setup.Request == kGetCur && value == kJackBlockValue && r.In)
    {
        return JackBlock(r, e);
    }
    if (r.Setup.Request == kGetCur && value == kJackStateValue && r.In)
    {
        // Only a terminal the profile gives jacks for knows this request.
        auto t = m_terminals.find(TerminalKey(e.InterfaceNumber, e.Id));
        bool hasJacks = false;
        for (const JackBlockSetting& b : m_profile.JackBlocks())
        {
            hasJacks = hasJacks || b.TerminalId == e.Id;
        }
        for (const JackSetting& j : m_profile.Jacks())
        {
            hasJacks = hasJacks || j.TerminalId == e.Id;
        }
        return hasJacks && t != m_terminals.end() ? Ack(ConnectorCluster(t->second)) : Stall();
    }
    return Stall();
}

// Read (IN) or select (OUT) the current terminal type; 2 bytes.
ControlResult AudioControlEngine::TerminalTypeRequest(const Request& r, const Entity& e,
                                                      const std::vector<uint8_t>& outData)
{
    Terminal& t = m_terminals[TerminalKey(e.InterfaceNumber, e.Id)];
    const TerminalTypesSetting* types = m_profile.FindTerminalTypes(e.Id);
    if (types == nullptr || t.CurrentType < 0 || r.What != Attribute::Cur)
    {
        return r.What == Attribute::Range && types != nullptr ? TerminalTypeList(r, e) : Stall();
    }
    if (r.In)
    {
        std::vector<uint8_t> data;
        PutLe(&data, uint32_t(t.CurrentType), 2);
        return Ack(data);
    }
    if (!SetDataFits(r.Setup, outData, 2))
    {
        return Stall();
    }
    const uint16_t type = uint16_t(GetLe(outData, 2, false));
    if (std::find(types->Types.begin(), types->Types.end(), type) == types->Types.end())
    {
        return Stall();
    }
    t.CurrentType = type;
    return Ack();
}

// The terminal-type list: a count, then per type three 16-bit words. It has the shape of a
// RANGE block, so each type is given as a sub-range of that type alone.
ControlResult AudioControlEngine::TerminalTypeList(const Request& r, const Entity& e) const
{
    const TerminalTypesSetting* types = m_profile.FindTerminalTypes(e.Id);
    if (types == nullptr)
    {
        return Stall();
    }
    std::vector<uint8_t> data;
    PutLe(&data, uint32_t(types->Types.size()), 2);
    for (uint16_t type : types->Types)
    {
        PutLe(&data, type, 2);
        PutLe(&data, type, 2);
        PutLe(&data, 0, 2);
    }
    return Ack(data);
}

// The jack block of the terminal's current type: the count, then per jack the channel
// mapping and the configuration word (u32 each).
ControlResult AudioControlEngine::JackBlock(const Request& r, const Entity& e) const
{
    auto t = m_terminals.find(TerminalKey(e.InterfaceNumber, e.Id));
    const uint16_t type = t != m_terminals.end() && t->second.CurrentType >= 0
                              ? uint16_t(t->second.CurrentType)
                              : (e.Bytes.size() >= 6 ? uint16_t(e.Bytes[4] | e.Bytes[5] << 8) : 0);
    const JackBlockSetting* block = m_profile.FindJackBlock(e.Id, type);
    std::vector<JackEntry> jacks;
    if (block != nullptr && !block->Stall)
    {
        jacks = block->Jacks;
    }
    else if (block == nullptr && t != m_terminals.end() && t->second.AnnouncesConnector)
    {
        // Configuration 0: no colour or fixed wiring, so the plug is read from the connector.
        jacks.push_back({ChannelMask(t->second), 0});
    }
    else
    {
        return Stall();
    }
    std::vector<uint8_t> data;
    data.push_back(uint8_t(jacks.size()));
    for (const JackEntry& jack : jacks)
    {
        PutLe(&data, jack.ChannelMapping, 4);
        PutLe(&data, jack.Configuration, 4);
    }
    return Ack(data);
}

ControlResult AudioControlEngine::Uac2Interface(const Request& r, const Entity& e,
                                                const std::vector<uint8_t>& outData)
{
    if (e.Subtype == 0x06 && r.Setup.Request == kMem2 && r.In)
    {
        return MemoryRequest(r, e);
    }
    if (r.What == Attribute::Other)
    {
        return Stall();
    }
    switch (e.Subtype)
    {
    case 0x06: // feature unit
    {
        Value* v = FindValue(e.InterfaceNumber, e.Id, r.Selector, r.Channel);
        return v == nullptr ? Stall() : ValueRequest(r, v, outData);
    }
    case 0x05: // selector unit and clock selector: selector 1, channel 0
    case 0x0B:
    {
        Value* v = r.Setup.Value == 0x0100 ? FindValue(e.InterfaceNumber, e.Id, 1, 0) : nullptr;
        return v == nullptr ? Stall() : ValueRequest(r, v, outData);
    }
    case 0x0A:
        return Uac2Clock(r, e, outData);
    case 0x02:
    case 0x03:
        return Uac2Terminal(r, e, outData);
    default:
        return Stall();
    }
}

// The clock source's sampling frequency (4 bytes, a RANGE of one sub-range per rate) and its
// validity (1 byte, read-only).
ControlResult AudioControlEngine::Uac2Clock(const Request& r, const Entity& e,
                                            const std::vector<uint8_t>& outData)
{
    Clock& c = m_clocks[TerminalKey(e.InterfaceNumber, e.Id)];
    const unsigned frequency = e.Controls & 3;
    const unsigned validity = (e.Controls >> 2) & 3;
    std::vector<uint8_t> data;
    if (r.Setup.Value == 0x0200 && validity != 0 && r.What == Attribute::Cur && r.In)
    {
        data.push_back(c.Valid ? 1 : 0);
        return Ack(data);
    }
    if (r.Setup.Value != 0x0100 || frequency == 0)
    {
        return Stall();
    }
    if (r.What == Attribute::Range)
    {
        PutLe(&data, uint32_t(c.SubRanges.size()), 2);
        for (const ClockSubRange& range : c.SubRanges)
        {
            PutLe(&data, range.MinHz, 4);
            PutLe(&data, range.MaxHz, 4);
            PutLe(&data, range.StepHz, 4);
        }
        return Ack(data);
    }
    if (r.In)
    {
        PutLe(&data, c.RateHz, 4);
        return Ack(data);
    }
    if (frequency != 3 || !SetDataFits(r.Setup, outData, 4))
    {
        return Stall();
    }
    const uint32_t rate = uint32_t(GetLe(outData, 4, false));
    // A rate inside a sub-range (on its step, when it has one) is as good as a listed one.
    const bool offered =
        std::any_of(c.SubRanges.begin(), c.SubRanges.end(),
                    [rate](const ClockSubRange& range)
                    {
                        return rate >= range.MinHz && rate <= range.MaxHz &&
                               (range.StepHz == 0 || (rate - range.MinHz) % range.StepHz == 0);
                    });
    if (!offered)
    {
        return Stall();
    }
    c.RateHz = rate;
    return Ack();
}

// Terminal controls: the connector (its cluster, or with channel 0xFF the jack block) and
// the terminal-type extension (selector 8).
ControlResult AudioControlEngine::Uac2Terminal(const Request& r, const Entity& e,
                                               const std::vector<uint8_t>& outData)
{
    const unsigned connector = (e.Controls >> 2) & 3;
    if (r.Setup.Value == kJackBlockValue && r.What == Attribute::Cur && r.In)
    {
        return JackBlock(r, e);
    }
    if (r.Setup.Value == kJackStateValue && r.What == Attribute::Cur && r.In && connector != 0)
    {
        return Ack(ConnectorCluster(m_terminals[TerminalKey(e.InterfaceNumber, e.Id)]));
    }
    if (r.Setup.Value == kTerminalTypeValue)
    {
        return TerminalTypeRequest(r, e, outData);
    }
    return Stall();
}

// Valid alternate settings of a streaming interface: bControlSize, then one bit per setting
// from bit 0 of the first bitmap byte; every setting the descriptors hold is valid.
ControlResult AudioControlEngine::Uac2Streaming(const Request& r)
{
    auto it = m_streamingAlternates.find(r.InterfaceNumber);
    if (it == m_streamingAlternates.end() || r.Target != 0 || r.Setup.Value != 0x0200 ||
        r.What != Attribute::Cur || !r.In)
    {
        return Stall();
    }
    const uint8_t highest = *std::max_element(it->second.begin(), it->second.end());
    std::vector<uint8_t> data(1 + std::max(2, highest / 8 + 1), 0);
    data[0] = uint8_t(data.size() - 1);
    for (uint8_t alternate : it->second)
    {
        data[1 + alternate / 8] |= uint8_t(1u << (alternate % 8));
    }
    return Ack(data);
}

} // namespace sim
