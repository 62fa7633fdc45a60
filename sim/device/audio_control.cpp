// The control engine's set-up from the descriptors and profile, its device-side calls, faults
// and change observers.
#include "sim/device/audio_control.h"

#include <algorithm>

namespace sim
{

namespace
{

constexpr uint8_t kInterface = 4;
constexpr uint8_t kEndpoint = 5;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kCsEndpoint = 0x25;

bool FieldMatches(int wanted, unsigned actual)
{
    return wanted < 0 || unsigned(wanted) == actual;
}

uint16_t TerminalKey(uint8_t interfaceNumber, uint8_t id)
{
    return uint16_t(interfaceNumber << 8 | id);
}

// Wire size and kind of a feature-unit control; size 0 for one the engine does not serve (the
// graphic equalizer, whose block depends on the bands, and selectors beyond the class's).
struct FeatureControlKind
{
    uint8_t Size;
    bool Signed;
    bool Switch;
    bool ReadOnly;
};

FeatureControlKind FeatureKind(uint8_t selector, bool release2)
{
    switch (selector)
    {
    case 0x01: // mute
    case 0x07: // automatic gain
    case 0x09: // bass boost
    case 0x0A: // loudness
        return {1, false, true, false};
    case 0x02: // volume, 1/256 dB
        return {2, true, false, false};
    case 0x03: // bass, mid, treble, 1/4 dB
    case 0x04:
    case 0x05:
        return {1, true, false, false};
    case 0x08: // delay, 1/64 ms: 16 bits in release 1.0, 32 in 2.0
        return {uint8_t(release2 ? 4 : 2), false, false, false};
    default:
        break;
    }
    if (!release2)
    {
        return {0, false, false, false};
    }
    switch (selector)
    {
    case 0x0B: // input gain, input gain pad, 1/256 dB
    case 0x0C:
        return {2, true, false, false};
    case 0x0D: // phase inverter
        return {1, false, true, false};
    case 0x0E: // underflow and overflow flags
    case 0x0F:
        return {1, false, true, true};
    case 0x10: // latency
        return {4, false, true, true};
    default:
        return {0, false, false, false};
    }
}

} // namespace

bool ControlRequestMatch::Matches(const SetupPacket& setup) const
{
    const bool endpoint = (setup.RequestType & 0x1F) == 2;
    const unsigned target = endpoint ? (setup.Index & 0xFF) : (setup.Index >> 8);
    return FieldMatches(RequestType, setup.RequestType) && FieldMatches(Request, setup.Request) &&
           FieldMatches(Target, target) && FieldMatches(Selector, setup.Value >> 8) &&
           FieldMatches(Channel, setup.Value & 0xFF);
}

AudioControlEngine::AudioControlEngine(const DeviceProfile& profile) : m_profile(profile)
{
    ReadDescriptors();
    BuildValues();
}

// Every audio-control entity with the interface that holds it, and the streaming interfaces'
// alternate settings and endpoint rates. The profile validated the descriptor lengths against
// the configuration, but the walk and every field read are bounded here as well: the engine
// must not read past a descriptor whatever bytes it is given. The class-specific minimum
// lengths are checked here.
void AudioControlEngine::ReadDescriptors()
{
    const std::vector<DescriptorSpan> descriptors = SplitDescriptors(m_profile.ConfigurationDescriptor());
    bool inControl = false;
    bool inStreaming2 = false;
    bool release2 = false;
    uint8_t interfaceNumber = 0;
    for (const DescriptorSpan& d : descriptors)
    {
        if (d.Type() == kInterface && d.Has(9))
        {
            inControl = d.At(5) == 1 && d.At(6) == 1;
            inStreaming2 = d.At(5) == 1 && d.At(6) == 2 && d.At(7) == 0x20;
            release2 = d.At(7) == 0x20;
            interfaceNumber = d.At(2);
            if (inControl && d.At(3) == 0)
            {
                m_controlInterfaces.push_back({interfaceNumber, release2});
            }
            if (d.At(5) == 1 && d.At(6) == 2 && release2)
            {
                m_streamingAlternates[interfaceNumber].push_back(d.At(3));
            }
        }
        else if (inControl && d.Type() == kCsInterface && d.Has(4))
        {
            ReadControlDescriptor(interfaceNumber, release2, d);
        }
        else if (inStreaming2 && d.Type() == kCsInterface && d.Length() >= 15 && d.Subtype() == 0x01)
        {
            // The first AS_GENERAL of a terminal's interface: bNrChannels 10, bmChannelConfig 11.
            m_linkedClusters.insert({d.At(3), {d.At(10), d.Le32(11)}});
        }
    }
    ReadStreamingDescriptors(descriptors);
}

void AudioControlEngine::ReadControlDescriptor(uint8_t interfaceNumber, bool release2,
                                               const DescriptorSpan& d)
{
    const size_t length = d.Length();
    Entity e;
    e.InterfaceNumber = interfaceNumber;
    e.Release2 = release2;
    e.Subtype = d.Subtype();
    e.Id = d.At(3);
    e.Bytes.assign(d.begin(), d.end());
    if (e.Id == 0 || FindEntity(interfaceNumber, e.Id) != nullptr)
    {
        return; // the header, or an id given twice: the first descriptor answers for it
    }
    auto sources = [&](size_t count, size_t first)
    {
        for (size_t i = 0; i < count && first + i < length; ++i)
        {
            e.Sources.push_back(d.At(first + i));
        }
    };
    const uint8_t pins = d.At(4);
    switch (e.Subtype)
    {
    case 0x02: // input terminal
        e.Controls = release2 && length >= 16 ? d.Le16(14) : 0;
        break;
    case 0x03: // output terminal
        sources(1, 7);
        e.Controls = release2 && length >= 11 ? d.Le16(9) : 0;
        break;
    case 0x04: // mixer
    case 0x05: // selector
        sources(pins, 5);
        e.Controls = release2 && length > 5u + pins ? d.At(5 + pins) : 0;
        break;
    case 0x06: // feature unit
        sources(1, 4);
        ReadFeatureControlMaps(d, &e);
        break;
    case 0x0A: // clock source (release 2.0)
        e.Controls = release2 && length >= 6 ? d.At(5) : 0;
        break;
    case 0x0B: // clock selector (release 2.0)
        sources(pins, 5);
        e.Controls = release2 && length > 5u + pins ? d.At(5 + pins) : 0;
        break;
    default:
        break;
    }
    m_entities.push_back(e);
}

// One control bitmap per channel, master first, up to the unit's string index: release 1.0
// gives bControlSize bytes each, release 2.0 four.
void AudioControlEngine::ReadFeatureControlMaps(const DescriptorSpan& d, Entity* e)
{
    const size_t length = d.Length();
    const size_t size = e->Release2 ? 4 : d.At(5);
    const size_t first = e->Release2 ? 5 : 6;
    if (size == 0 || length < first + 1)
    {
        return;
    }
    for (size_t at = first; at + size <= length - 1; at += size)
    {
        e->ControlMaps.push_back(size == 1 ? d.At(at) : e->Release2 ? d.Le32(at) : d.Le16(at));
    }
}

// The sampling-frequency controls of class-1 endpoints: which endpoints have one and the rates
// their alternate settings' format descriptors offer.
void AudioControlEngine::ReadStreamingDescriptors(const std::vector<DescriptorSpan>& descriptors)
{
    bool streaming = false;
    std::vector<uint32_t> discrete;
    std::vector<std::pair<uint32_t, uint32_t>> continuous;
    uint8_t endpoint = 0;
    for (const DescriptorSpan& d : descriptors)
    {
        const size_t length = d.Length();
        if (d.Type() == kInterface && d.Has(9))
        {
            streaming = d.At(5) == 1 && d.At(6) == 2 && d.At(7) != 0x20;
            discrete.clear();
            continuous.clear();
            endpoint = 0;
        }
        else if (streaming && d.Type() == kCsInterface && length >= 8 && d.Subtype() == 0x02)
        {
            // Format type I and III keep bSamFreqType at byte 7, type II at byte 8.
            const size_t at = d.At(3) == 0x02 ? 8 : 7;
            const uint8_t count = length > at ? d.At(at) : 0;
            if (count == 0 && length >= at + 7)
            {
                continuous.push_back({d.Le24(at + 1), d.Le24(at + 4)});
            }
            for (size_t k = 0; k < count && at + 1 + 3 * k + 3 <= length; ++k)
            {
                discrete.push_back(d.Le24(at + 1 + 3 * k));
            }
        }
        else if (streaming && d.Type() == kEndpoint && d.Has(7))
        {
            endpoint = d.At(2);
        }
        else if (streaming && d.Type() == kCsEndpoint && length >= 4 && d.Subtype() == 0x01 &&
                 endpoint != 0 && (d.At(3) & 0x01) != 0)
        {
            AddEndpointRates(endpoint, discrete, continuous);
        }
    }
}

void AudioControlEngine::AddEndpointRates(uint8_t endpoint, const std::vector<uint32_t>& discrete,
                                          const std::vector<std::pair<uint32_t, uint32_t>>& continuous)
{
    EndpointRates& rates = m_endpoints[endpoint];
    for (uint32_t r : discrete)
    {
        if (std::find(rates.Discrete.begin(), rates.Discrete.end(), r) == rates.Discrete.end())
        {
            rates.Discrete.push_back(r);
        }
    }
    rates.Continuous.insert(rates.Continuous.end(), continuous.begin(), continuous.end());
    if (rates.RateHz == 0)
    {
        rates.RateHz = !discrete.empty() ? discrete[0] : !continuous.empty() ? continuous[0].first : 0;
    }
}

void AudioControlEngine::BuildValues()
{
    for (Entity& e : m_entities)
    {
        switch (e.Subtype)
        {
        case 0x06:
            BuildFeatureValues(e);
            break;
        case 0x04:
            BuildMixerValues(e);
            break;
        case 0x05:
        case 0x0B:
            if (e.Subtype == 0x05 || e.Release2)
            {
                Value v;
                ControlSetting s = m_profile.Control(e.Id, 1, 0);
                v.Min = 1;
                v.Max = std::max<int>(1, int(e.Sources.size()));
                v.Res = 1;
                v.Cur = std::min(std::max(s.Cur, v.Min), v.Max);
                v.Strict = true;
                v.Writable = !e.Release2 || (e.Controls & 3) == 3;
                if (!e.Release2 || (e.Controls & 3) != 0)
                {
                    m_values[Key(e.InterfaceNumber, e.Id, 1, 0)] = v;
                }
            }
            break;
        default:
            BuildTerminalAndClockState(e);
            break;
        }
    }
}

void AudioControlEngine::BuildFeatureValues(Entity& e)
{
    BuildVendorControls(e);
    for (size_t channel = 0; channel < e.ControlMaps.size() && channel < 0xFF; ++channel)
    {
        for (uint8_t selector = 1; selector <= (e.Release2 ? 16 : 10); ++selector)
        {
            const uint32_t map = e.ControlMaps[channel];
            const uint32_t field =
                e.Release2 ? (map >> (2 * (selector - 1))) & 3 : (map >> (selector - 1)) & 1;
            const FeatureControlKind kind = FeatureKind(selector, e.Release2);
            if (field == 0 || kind.Size == 0)
            {
                continue;
            }
            ControlSetting s = m_profile.Control(e.Id, selector, uint8_t(channel));
            Value v;
            v.Min = s.Min;
            v.Max = s.Max;
            v.Res = s.Res;
            v.Cur = s.Cur;
            v.Size = kind.Size;
            v.Signed = kind.Signed;
            v.Switch = kind.Switch;
            v.Writable = !kind.ReadOnly && (!e.Release2 || field == 3);
            v.MinusInfinity = v.Signed && v.Size == 2;
            m_values[Key(e.InterfaceNumber, e.Id, selector, uint8_t(channel))] = v;
        }
    }
}

// The memory block announces every vendor control on the master channel only; the other
// channels' bitmaps stay empty, as on the devices that carry such controls. Release 1.0 gives
// one bit a control in 16-bit bitmaps after a control-size byte; release 2.0 two bits (readable,
// writable) in 32-bit bitmaps from byte 18. A control the profile gives a range wider than
// on/off is a 16-bit level with a RANGE; the others are one-byte switches.
void AudioControlEngine::BuildVendorControls(Entity& e)
{
    const std::vector<uint8_t> selectors = m_profile.VendorControls(e.Id);
    if (selectors.empty())
    {
        return;
    }
    const size_t bitmapsAt = e.Release2 ? 18 : 19;
    const size_t bitmapBytes = e.Release2 ? 4 : 2;
    const size_t channels = std::max<size_t>(1, e.ControlMaps.size());
    e.Memory.assign(bitmapsAt + bitmapBytes * channels, 0);
    e.Memory[16] = uint8_t(e.Memory.size());
    e.Memory[17] = uint8_t(e.Memory.size() >> 8);
    if (!e.Release2)
    {
        e.Memory[18] = 2;
    }
    uint32_t master = 0;
    for (uint8_t selector : selectors)
    {
        const unsigned control = (selector & 0x7F) - 1u;
        master |= e.Release2 ? 3u << (2 * control) : 1u << control;
        ControlSetting s = m_profile.Control(e.Id, selector, 0);
        Value v;
        v.Switch = !(s.Explicit && (s.Min < 0 || s.Max > 1));
        v.Min = v.Switch ? 0 : s.Min;
        v.Max = v.Switch ? 1 : s.Max;
        v.Res = v.Switch ? 1 : s.Res;
        v.Cur = v.Switch ? (s.Cur != 0 ? 1 : 0) : s.Cur;
        v.Size = v.Switch ? 1 : 2;
        v.Signed = !v.Switch;
        v.MinusInfinity = !v.Switch;
        m_values[Key(e.InterfaceNumber, e.Id, selector, 0)] = v;
    }
    for (size_t k = 0; k < bitmapBytes; ++k)
    {
        e.Memory[bitmapsAt + k] = uint8_t(master >> (8 * k));
    }
}

// Class-1 mixer controls, one per (input channel, output channel) pair; bmControls marks the
// programmable ones, bit 7 of its first byte first.
void AudioControlEngine::BuildMixerValues(Entity& e)
{
    const DescriptorSpan d(e.Bytes);
    const size_t pins = e.Sources.size();
    if (e.Release2 || e.Bytes.size() < 10 + pins)
    {
        return;
    }
    e.MixerOutputs = d.At(5 + pins);
    unsigned inputs = 0;
    for (uint8_t source : e.Sources)
    {
        uint8_t channels = 0;
        uint32_t config = 0;
        ClusterOf(e.InterfaceNumber, source, 0, &channels, &config);
        inputs += channels;
    }
    e.MixerInputs = uint8_t(std::min(inputs, 254u));
    const size_t bitmapAt = 9 + pins;
    const size_t bitmapEnd = e.Bytes.size() - 1; // iMixer is last
    for (unsigned i = 1; i <= e.MixerInputs; ++i)
    {
        for (unsigned o = 1; o <= e.MixerOutputs; ++o)
        {
            const size_t bit = (i - 1) * e.MixerOutputs + (o - 1);
            const size_t byte = bitmapAt + bit / 8;
            ControlSetting s = m_profile.Control(e.Id, uint8_t(i), uint8_t(o));
            Value v;
            v.Min = s.Min;
            v.Max = s.Max;
            v.Res = s.Res;
            v.Cur = s.Cur;
            v.Size = 2;
            v.Signed = true;
            v.MinusInfinity = true;
            v.Writable = byte < bitmapEnd && (d.At(byte) & (0x80 >> (bit % 8))) != 0;
            m_values[Key(e.InterfaceNumber, e.Id, uint8_t(i), uint8_t(o))] = v;
        }
    }
}

void AudioControlEngine::BuildTerminalAndClockState(const Entity& e)
{
    if (e.Subtype == 0x02 || e.Subtype == 0x03)
    {
        Terminal t;
        t.Connected = m_profile.JackConnected(e.Id);
        const TerminalTypesSetting* types = m_profile.FindTerminalTypes(e.Id);
        t.CurrentType = types != nullptr ? types->Current : -1;
        ClusterOf(e.InterfaceNumber, e.Id, 0, &t.Channels, &t.ChannelConfig);
        if (e.Release2)
        {
            t.AnnouncesConnector = ((e.Controls >> 2) & 3) != 0;
        }
        else
        {
            t.AnnouncesConnector = std::any_of(m_profile.Jacks().begin(), m_profile.Jacks().end(),
                                               [&](const JackSetting& j) { return j.TerminalId == e.Id; });
        }
        m_terminals[TerminalKey(e.InterfaceNumber, e.Id)] = t;
    }
    else if (e.Subtype == 0x0A && e.Release2)
    {
        Clock c;
        c.RatesHz = m_profile.ClockRates(e.Id);
        c.SubRanges = m_profile.ClockSubRanges(e.Id);
        c.RateHz = c.SubRanges.empty() ? 0 : c.SubRanges[0].MinHz;
        c.Valid = m_profile.Control(e.Id, 2, 0).Cur != 0;
        m_clocks[TerminalKey(e.InterfaceNumber, e.Id)] = c;
    }
}

// Channel count and spatial configuration of the cluster an entity puts out, following units
// that pass their input's cluster on. Depth bounds a descriptor graph with a cycle.
bool AudioControlEngine::ClusterOf(uint8_t interfaceNumber, uint8_t id, int depth, uint8_t* channels,
                                   uint32_t* config) const
{
    const Entity* e = FindEntity(interfaceNumber, id);
    if (e == nullptr || depth > 32)
    {
        return false;
    }
    const DescriptorSpan d(e->Bytes);
    const size_t length = d.Length();
    const size_t pins = e->Sources.size();
    switch (e->Subtype)
    {
    case 0x02: // input terminal
        if (!e->Release2 && length >= 10)
        {
            *channels = d.At(7);
            *config = d.Le16(8);
            return true;
        }
        if (e->Release2 && length >= 13)
        {
            *channels = d.At(8);
            *config = d.Le32(9);
            // Some devices leave a streaming terminal's cluster empty and give it only in the
            // streaming interface linked to the terminal.
            auto linked = m_linkedClusters.find(id);
            if (*channels == 0 && linked != m_linkedClusters.end())
            {
                *channels = linked->second.first;
                *config = linked->second.second;
            }
            return true;
        }
        return false;
    case 0x04: // mixer: its own cluster
        if (length >= 8 + pins + (e->Release2 ? 2 : 0))
        {
            *channels = d.At(5 + pins);
            *config = e->Release2 ? d.Le32(6 + pins) : d.Le16(6 + pins);
            return true;
        }
        return false;
    case 0x07: // class-1 processing and extension units carry bNrChannels after their pins
    case 0x08:
    {
        // bNrInPins is byte 6; a unit cut shorter than its pins and cluster reports none.
        const size_t unitPins = d.At(6);
        if (!e->Release2 && length >= 10 + unitPins)
        {
            *channels = d.At(7 + unitPins);
            *config = d.Le16(8 + unitPins);
            return true;
        }
        return false;
    }
    default:
        return !e->Sources.empty() && ClusterOf(interfaceNumber, e->Sources[0], depth + 1, channels, config);
    }
}

const AudioControlEngine::Entity* AudioControlEngine::FindEntity(uint8_t interfaceNumber, uint8_t id) const
{
    for (const Entity& e : m_entities)
    {
        if (e.InterfaceNumber == interfaceNumber && e.Id == id)
        {
            return &e;
        }
    }
    return nullptr;
}

const AudioControlEngine::Entity* AudioControlEngine::FindEntityById(uint8_t id) const
{
    for (const Entity& e : m_entities)
    {
        if (e.Id == id)
        {
            return &e;
        }
    }
    return nullptr;
}

bool AudioControlEngine::IsControlInterface(uint8_t interfaceNumber, bool* release2) const
{
    for (const auto& i : m_controlInterfaces)
    {
        if (i.first == interfaceNumber)
        {
            *release2 = i.second;
            return true;
        }
    }
    return false;
}

uint32_t AudioControlEngine::Key(uint8_t interfaceNumber, uint8_t id, uint8_t selector, uint8_t channel)
{
    return uint32_t(interfaceNumber) << 24 | uint32_t(id) << 16 | uint32_t(selector) << 8 | channel;
}

AudioControlEngine::Value* AudioControlEngine::FindValue(uint8_t interfaceNumber, uint8_t id,
                                                         uint8_t selector, uint8_t channel)
{
    auto it = m_values.find(Key(interfaceNumber, id, selector, channel));
    return it == m_values.end() ? nullptr : &it->second;
}

const AudioControlEngine::Value* AudioControlEngine::FindValue(uint8_t interfaceNumber, uint8_t id,
                                                               uint8_t selector, uint8_t channel) const
{
    return const_cast<AudioControlEngine*>(this)->FindValue(interfaceNumber, id, selector, channel);
}

// The connector's cluster: the channels behind a plugged jack, none when it is unplugged. The
// mask of connected channels (byte 1) must meet the jacks' channel mappings, so a terminal
// without a spatial configuration reports its channels from the lowest bit.
uint32_t AudioControlEngine::ChannelMask(const Terminal& t)
{
    const uint8_t channels = t.Channels != 0 ? t.Channels : 1;
    return t.ChannelConfig != 0 ? t.ChannelConfig : (channels >= 32 ? ~0u : (1u << channels) - 1);
}

std::vector<uint8_t> AudioControlEngine::ConnectorCluster(const Terminal& t) const
{
    std::vector<uint8_t> cluster(6, 0);
    if (!t.Connected)
    {
        return cluster;
    }
    const uint32_t mask = ChannelMask(t);
    cluster[0] = t.Channels != 0 ? t.Channels : 1;
    for (int k = 0; k < 4; ++k)
    {
        cluster[1 + k] = uint8_t(mask >> (8 * k));
    }
    return cluster;
}

int32_t AudioControlEngine::Clamp(const Value& v, int32_t value)
{
    if (v.Switch)
    {
        return value != 0 ? 1 : 0;
    }
    if (v.MinusInfinity && value == -32768)
    {
        return value;
    }
    int64_t x = std::min<int64_t>(std::max<int64_t>(value, v.Min), v.Max);
    if (v.Res > 0)
    {
        int64_t steps = (x - v.Min + v.Res / 2) / v.Res;
        x = std::min<int64_t>(v.Min + steps * int64_t(v.Res), v.Max);
    }
    return int32_t(x);
}

void AudioControlEngine::SetFaults(const AudioControlFaults& faults)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_faults = faults;
}

AudioControlFaults AudioControlEngine::Faults() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_faults;
}

int AudioControlEngine::AddChangeObserver(ControlChangeObserver observer)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const int handle = m_nextObserver++;
    m_observers[handle] = std::move(observer);
    return handle;
}

void AudioControlEngine::RemoveChangeObserver(int handle)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_observers.erase(handle);
}

void AudioControlEngine::Notify(const std::vector<ControlChange>& changes)
{
    std::vector<ControlChangeObserver> observers;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& o : m_observers)
        {
            observers.push_back(o.second);
        }
    }
    for (const ControlChange& change : changes)
    {
        for (const ControlChangeObserver& observer : observers)
        {
            observer(change);
        }
    }
}

bool AudioControlEngine::ControlValue(uint8_t entityId, uint8_t selector, uint8_t channel,
                                      int32_t* value) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Entity* e = FindEntityById(entityId);
    const Value* v = e == nullptr ? nullptr : FindValue(e->InterfaceNumber, entityId, selector, channel);
    if (v == nullptr)
    {
        return false;
    }
    *value = v->Cur;
    return true;
}

bool AudioControlEngine::JackConnected(uint8_t terminalId) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Entity* e = FindEntityById(terminalId);
    auto it =
        e == nullptr ? m_terminals.end() : m_terminals.find(TerminalKey(e->InterfaceNumber, terminalId));
    return it != m_terminals.end() && it->second.Connected;
}

uint32_t AudioControlEngine::ClockRateHz(uint8_t clockId) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Entity* e = FindEntityById(clockId);
    auto it = e == nullptr ? m_clocks.end() : m_clocks.find(TerminalKey(e->InterfaceNumber, clockId));
    return it == m_clocks.end() ? 0 : it->second.RateHz;
}

bool AudioControlEngine::ClockValid(uint8_t clockId) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Entity* e = FindEntityById(clockId);
    auto it = e == nullptr ? m_clocks.end() : m_clocks.find(TerminalKey(e->InterfaceNumber, clockId));
    return it != m_clocks.end() && it->second.Valid;
}

uint32_t AudioControlEngine::EndpointRateHz(uint8_t endpointAddress) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_endpoints.find(endpointAddress);
    return it == m_endpoints.end() ? 0 : it->second.RateHz;
}

int AudioControlEngine::CurrentTerminalType(uint8_t terminalId) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Entity* e = FindEntityById(terminalId);
    auto it =
        e == nullptr ? m_terminals.end() : m_terminals.find(TerminalKey(e->InterfaceNumber, terminalId));
    return it == m_terminals.end() ? -1 : it->second.CurrentType;
}

bool AudioControlEngine::ChangeControl(uint8_t entityId, uint8_t selector, uint8_t channel, int32_t value)
{
    std::vector<ControlChange> changes;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const Entity* e = FindEntityById(entityId);
        Value* v = e == nullptr ? nullptr : FindValue(e->InterfaceNumber, entityId, selector, channel);
        if (v == nullptr)
        {
            return false;
        }
        const int32_t clamped = Clamp(*v, value);
        if (clamped != v->Cur)
        {
            v->Cur = clamped;
            changes.push_back({e->InterfaceNumber, entityId, selector, channel});
        }
    }
    Notify(changes);
    return true;
}

bool AudioControlEngine::SetJackConnected(uint8_t terminalId, bool connected)
{
    std::vector<ControlChange> changes;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const Entity* e = FindEntityById(terminalId);
        auto it =
            e == nullptr ? m_terminals.end() : m_terminals.find(TerminalKey(e->InterfaceNumber, terminalId));
        if (it == m_terminals.end())
        {
            return false;
        }
        if (it->second.Connected != connected)
        {
            it->second.Connected = connected;
            changes.push_back({e->InterfaceNumber, terminalId, 0x02, 0});
        }
    }
    Notify(changes);
    return true;
}

bool AudioControlEngine::SetClockValid(uint8_t clockId, bool valid)
{
    std::vector<ControlChange> changes;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const Entity* e = FindEntityById(clockId);
        auto it = e == nullptr ? m_clocks.end() : m_clocks.find(TerminalKey(e->InterfaceNumber, clockId));
        if (it == m_clocks.end())
        {
            return false;
        }
        if (it->second.Valid != valid)
        {
            it->second.Valid = valid;
            changes.push_back({e->InterfaceNumber, clockId, 0x02, 0});
        }
    }
    Notify(changes);
    return true;
}

bool AudioControlEngine::SetCurrentTerminalType(uint8_t terminalId, uint16_t terminalType)
{
    std::vector<ControlChange> changes;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const Entity* e = FindEntityById(terminalId);
        const TerminalTypesSetting* types = m_profile.FindTerminalTypes(terminalId);
        auto it =
            e == nullptr ? m_terminals.end() : m_terminals.find(TerminalKey(e->InterfaceNumber, terminalId));
        if (it == m_terminals.end() || types == nullptr ||
            std::find(types->Types.begin(), types->Types.end(), terminalType) == types->Types.end())
        {
            return false;
        }
        if (it->second.CurrentType != terminalType)
        {
            it->second.CurrentType = terminalType;
            changes.push_back({e->InterfaceNumber, terminalId, 0x08, 0});
        }
    }
    Notify(changes);
    return true;
}

} // namespace sim
