// The reference for the effects model's front pair: the down-mix and the limiters written out
// from their descriptions, one frame at a time.
#include "tools/uacsim/mix_reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace uacsim
{
namespace
{

constexpr uint32_t kBlockFrames = 128;
constexpr size_t kWindowBlocks = 20; // the block being analysed and the 19 before it
constexpr float kBoost = 1.0f;
constexpr float kCeiling = 1.0f;
constexpr float kReleaseDivisor = 10240.0f;
constexpr float kSmallestStep = 1.1920929e-07f; // 2^-23 of the gain
constexpr float kCentre = 0.707f;

int32_t ReadSigned(const uint8_t* Sample, uint32_t Bytes)
{
    uint32_t value = 0;
    for (uint32_t b = 0; b < Bytes; ++b)
        value |= uint32_t(Sample[b]) << (8 * b);
    const uint32_t shift = 32 - 8 * Bytes;
    return int32_t(value << shift) >> shift;
}

// Saturating at the container's range.
void WriteSigned(double Whole, uint8_t* Sample, uint32_t Bytes)
{
    const double top = std::ldexp(1.0, int(8 * Bytes - 1)) - 1.0;
    const int64_t value = int64_t(std::min(top, std::max(-top - 1.0, Whole)));
    for (uint32_t b = 0; b < Bytes; ++b)
        Sample[b] = uint8_t(uint64_t(value) >> (8 * b));
}

} // namespace

PairLimiter::PairLimiter() : m_Older(kBlockFrames, Pair{0.0f, 0.0f}), m_Out(kBlockFrames, Pair{0.0f, 0.0f})
{
    m_Filling.reserve(kBlockFrames);
}

PairLimiter::Pair PairLimiter::Run(const Pair& In)
{
    m_Filling.push_back(In);
    if (m_Filling.size() == kBlockFrames)
        Block();
    const Pair out = m_Out.front();
    m_Out.pop_front();
    return out;
}

// The newest block sets the target; the block before it leaves with the gain ramped toward it.
// A channel asks for the boost while its window's peak keeps the boosted signal under the
// ceiling, else for the ceiling over that peak; the one gain follows the lower ask. The
// stream's other channels, never louder than full scale, always ask for the boost.
void PairLimiter::Block()
{
    float target = kBoost;
    for (size_t c = 0; c < 2; ++c)
    {
        float peak = 0.0f;
        for (const Pair& frame : m_Filling)
            peak = std::max(peak, std::fabs(frame[c]));
        float window = peak;
        for (float earlier : m_Peaks[c])
            window = std::max(window, earlier);
        m_Peaks[c].push_back(peak);
        if (m_Peaks[c].size() == kWindowBlocks)
            m_Peaks[c].pop_front();
        target = std::min(target, kBoost * window <= kCeiling ? kBoost : kCeiling / window);
    }
    float gain = m_Gain;
    if (target != gain)
    {
        const bool attack = target < gain;
        const float divisor = attack || m_Fresh ? float(kBlockFrames) : kReleaseDivisor;
        const float step = std::max((attack ? gain - target : target - gain) / divisor, gain * kSmallestStep);
        for (const Pair& frame : m_Older)
        {
            m_Out.push_back(Pair{gain * frame[0], gain * frame[1]});
            gain = attack ? std::max(target, gain - step) : std::min(target, gain + step);
        }
        // An attack, and the first release after a start, end the block at the target.
        if (attack || m_Fresh)
            gain = target;
    }
    else
    {
        for (const Pair& frame : m_Older)
            m_Out.push_back(Pair{gain * frame[0], gain * frame[1]});
    }
    m_Gain = gain;
    m_Fresh = false;
    m_Older.swap(m_Filling);
    m_Filling.clear();
}

MixReference::MixReference(const WavAudio& Pin, uint32_t EffectNodes)
    : m_Pin(Pin), m_NodeLimiters(EffectNodes)
{
}

// Integer PCM of 16, 24 or 32 bits goes through the float path; other samples pass as they are.
bool MixReference::Processed() const
{
    return !m_Pin.Float && m_Pin.ContainerBytes >= 2 && m_Pin.ContainerBytes <= 4;
}

uint32_t MixReference::LatencyFrames() const
{
    if (!Processed())
        return 0;
    return uint32_t(m_NodeLimiters.size() + 1) * PairLimiter::kLatencyFrames;
}

// Full scale is 1.0: 16-bit samples in units of 2^-15, packed 24-bit in 2^-23, 32-bit in 2^-31
// (rounded to the float's 24 bits first).
float MixReference::ToFloat(const uint8_t* Sample) const
{
    const int32_t value = ReadSigned(Sample, m_Pin.ContainerBytes);
    return float(value) * std::ldexp(1.0f, -int(8 * m_Pin.ContainerBytes - 1));
}

// Back toward zero for 16 and 32 bits, to nearest with ties to even for 24, saturating.
void MixReference::FromFloat(float Value, uint8_t* Sample) const
{
    const double scaled = std::ldexp(double(Value), int(8 * m_Pin.ContainerBytes - 1));
    const double whole = m_Pin.ContainerBytes == 3 ? std::nearbyint(scaled) : std::trunc(scaled);
    WriteSigned(whole, Sample, m_Pin.ContainerBytes);
}

// Each term added in channel order.
PairLimiter::Pair MixReference::Mix(const uint8_t* PinFrame) const
{
    float x[8] = {};
    const uint32_t channels = std::min<uint32_t>(m_Pin.Channels, 8);
    for (uint32_t c = 0; c < channels; ++c)
        x[c] = ToFloat(PinFrame + c * m_Pin.ContainerBytes);
    if (m_NodeLimiters.empty())
        return {x[0], x[1]};
    switch (m_Pin.Channels)
    {
    case 4:
        return {x[0] - x[2], x[1] + x[3]};
    case 6:
        return {x[0] + kCentre * x[2] + x[3] + x[4], x[1] + kCentre * x[2] + x[3] + x[5]};
    case 8:
    {
        const float left = x[0] + kCentre * x[2] + x[3] + x[4];
        const float right = x[1] + kCentre * x[2] + x[3] + x[5];
        return {left + x[6], right + x[7]};
    }
    default:
        return {x[0], x[1]};
    }
}

void MixReference::MixOnly(const uint8_t* PinFrame, uint8_t* DeviceFrame) const
{
    if (!Processed())
    {
        std::memcpy(DeviceFrame, PinFrame, DeviceFrameBytes());
        return;
    }
    const PairLimiter::Pair mixed = Mix(PinFrame);
    FromFloat(mixed[0], DeviceFrame);
    FromFloat(mixed[1], DeviceFrame + m_Pin.ContainerBytes);
}

// The nodes hand the pipeline float samples, which it converts back to the stream's; the
// stream's limiter converts those again.
void MixReference::Run(const uint8_t* PinFrame, uint8_t* DeviceFrame)
{
    if (!Processed())
    {
        std::memcpy(DeviceFrame, PinFrame, DeviceFrameBytes());
        return;
    }
    PairLimiter::Pair pair = Mix(PinFrame);
    if (!m_NodeLimiters.empty())
    {
        for (PairLimiter& limiter : m_NodeLimiters)
            pair = limiter.Run(pair);
        uint8_t converted[8];
        FromFloat(pair[0], converted);
        FromFloat(pair[1], converted + m_Pin.ContainerBytes);
        pair = {ToFloat(converted), ToFloat(converted + m_Pin.ContainerBytes)};
    }
    pair = m_StreamLimiter.Run(pair);
    FromFloat(pair[0], DeviceFrame);
    FromFloat(pair[1], DeviceFrame + m_Pin.ContainerBytes);
}

} // namespace uacsim
