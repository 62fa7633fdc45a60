// What a device that carries the first two channels of every frame must receive when its stream
// has more, computed here from the pin's samples and not by the driver's code. On the effects
// model with both effect nodes off, each frame's front pair is the down-mix of all its channels
// (four: left minus channel 2, right plus channel 3; six: plus 0.707 x centre, the
// low-frequency channel and the side's surround; eight: plus the side's back surround too),
// held under full scale by each node's peak limiter, converted back to the stream's samples,
// and limited once more by the stream itself. Without effect nodes the front pair passes
// through the stream's limiter alone. A node whose stereo result follows another's finds the
// other channels silent, so its down-mix leaves the pair as it is.
#pragma once

#include "tools/uacsim/wav_file.h"

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

namespace uacsim
{

// The peak limiter of the effect nodes and the stream, at unity boost under a ceiling of full
// scale, on a front pair: 128-sample blocks, one gain for both channels that follows the
// loudest of the last 20 blocks, and a look-ahead of 256 samples (each frame leaves 256
// frames after it entered, the first 256 frames out are silence).
class PairLimiter
{
public:
    using Pair = std::array<float, 2>;
    static constexpr uint32_t kLatencyFrames = 256;

    PairLimiter();
    Pair Run(const Pair& In);

private:
    void Block();

    std::vector<Pair> m_Filling; // the newest block, as it fills
    std::vector<Pair> m_Older;   // the block before it, which the next gain ramp applies to
    std::deque<Pair> m_Out;
    std::array<std::deque<float>, 2> m_Peaks; // per channel, the last 19 blocks' peaks
    float m_Gain = 1.0f;
    bool m_Fresh = true; // the first block after a start ramps fully
};

class MixReference
{
public:
    // Pin: the stream's format; EffectNodes: how many effect nodes the stream runs.
    MixReference(const WavAudio& Pin, uint32_t EffectNodes);

    // How much later than the pin frame its device frame leaves.
    uint32_t LatencyFrames() const;
    uint32_t DeviceFrameBytes() const { return 2 * m_Pin.ContainerBytes; }

    // One pin frame in, in stream order from the stream's first frame; the device frame
    // LatencyFrames() earlier out.
    void Run(const uint8_t* PinFrame, uint8_t* DeviceFrame);
    // The frame's down-mix converted to the device's samples, unlimited: where sound starts.
    void MixOnly(const uint8_t* PinFrame, uint8_t* DeviceFrame) const;

private:
    bool Processed() const;
    PairLimiter::Pair Mix(const uint8_t* PinFrame) const;
    float ToFloat(const uint8_t* Sample) const;
    void FromFloat(float Value, uint8_t* Sample) const;

    const WavAudio m_Pin;
    std::vector<PairLimiter> m_NodeLimiters; // one for each effect node
    PairLimiter m_StreamLimiter;
};

} // namespace uacsim
