// CEffectProcessor: the look-ahead peak limiter. Input fills one half of each channel's input
// buffer while the processed other half drains from the output buffer; each full half runs the
// block step, which analyses the newest half but applies the gain to the half before it. A
// sample thus leaves 256 samples after it entered, and an attack always completes before the
// loud block it answers.
#include "driver/dsp/effect_processor.h"

#include "driver/primitives/sp_lib.h"

namespace
{

constexpr ULONG HALF_BUFFER_SAMPLES = EFFECT_BLOCK_SAMPLES;
constexpr ULONG FULL_BUFFER_SAMPLES = 2 * HALF_BUFFER_SAMPLES;
// A step never smaller than one unit of the gain's last place, so a ramp always moves.
constexpr float MIN_STEP_FACTOR = 1.1920929e-07f; // 2^-23

float* AllocateSamples()
{
    return static_cast<float*>(
        ExAllocatePoolWithTag(NonPagedPool, FULL_BUFFER_SAMPLES * sizeof(float), EFFECT_PROCESSOR_POOL_TAG));
}

VOID FreeSamples(float** Samples)
{
    if (*Samples)
    {
        ExFreePoolWithTag(*Samples, EFFECT_PROCESSOR_POOL_TAG);
        *Samples = nullptr;
    }
}

float Larger(float A, float B)
{
    return A > B ? A : B;
}

float Smaller(float A, float B)
{
    return A < B ? A : B;
}

} // namespace

CEffectProcessor::CEffectProcessor()
    : m_nHalf(0), m_nInputFill(0), m_nOutputPosition(0), m_fCeiling(1.0f), m_nHistoryIndex(0), m_nMode(0),
      m_bAllocated(0)
{
    RtlZeroMemory(&m_Format, sizeof(m_Format));
    RtlZeroMemory(m_fPeak, sizeof(m_fPeak));
    RtlZeroMemory(m_fPeakHistory, sizeof(m_fPeakHistory));
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; c++)
    {
        m_pBlock[c] = nullptr;
        m_pInput[c] = nullptr;
        m_pOutput[c] = nullptr;
        m_fBoostGain[c] = 0.0f;
        m_fCurrentGain[c] = 1.0f;
        m_fTargetGain[c] = 1.0f;
        m_bUpdate[c] = 1;
    }
}

BOOLEAN CEffectProcessor::AllocateBuffers()
{
    PAGED_CODE();
    if (m_bAllocated)
    {
        return TRUE;
    }
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; c++)
    {
        if (!m_pInput[c])
        {
            m_pInput[c] = AllocateSamples();
        }
        if (!m_pOutput[c])
        {
            m_pOutput[c] = AllocateSamples();
        }
        if (!m_pInput[c] || !m_pOutput[c])
        {
            return FALSE;
        }
    }
    m_bAllocated = 1;
    Reset();
    return TRUE;
}

VOID CEffectProcessor::FreeBuffers()
{
    m_bAllocated = 0;
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; c++)
    {
        FreeSamples(&m_pInput[c]);
        FreeSamples(&m_pOutput[c]);
        m_pBlock[c] = nullptr;
    }
}

VOID CEffectProcessor::MarkUpdate()
{
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; c++)
    {
        m_bUpdate[c] = 1;
    }
}

VOID CEffectProcessor::SetMode(ULONG Mode)
{
    m_nMode = Mode;
    MarkUpdate();
}

VOID CEffectProcessor::SetGain(float Gain)
{
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; c++)
    {
        m_fBoostGain[c] = Gain;
    }
    if (m_nMode == 0)
    {
        MarkUpdate();
    }
}

VOID CEffectProcessor::SetCeiling(float Ceiling)
{
    m_fCeiling = Ceiling;
    MarkUpdate();
}

VOID CEffectProcessor::SetFormat(PCWAVEFORMATEXTENSIBLE Format)
{
    Reset();
    if (Format)
    {
        RtlCopyMemory(&m_Format, Format, sizeof(m_Format));
    }
}

VOID CEffectProcessor::Reset()
{
    if (!m_bAllocated)
    {
        return;
    }
    MarkUpdate();
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; c++)
    {
        SpZeroF32(m_pInput[c], FULL_BUFFER_SAMPLES);
        SpZeroF32(m_pOutput[c], FULL_BUFFER_SAMPLES);
        SpZeroF32(m_fPeakHistory[c], EFFECT_PEAK_HISTORY_BLOCKS);
    }
    SpZeroF32(m_fPeak, EFFECT_MAX_CHANNELS);
    m_nHalf = 0;
    m_nInputFill = 0;
    m_nOutputPosition = 0;
    m_nHistoryIndex = 0;
}

VOID CEffectProcessor::ResetEntry()
{
    Reset();
}

// Zero when the format asks for more channels than the limiter has: those pass untouched
// rather than half of them delayed and the rest not.
ULONG CEffectProcessor::ChannelCount() const
{
    const ULONG channels = m_Format.Format.nChannels;
    return channels <= EFFECT_MAX_CHANNELS ? channels : 0;
}

VOID CEffectProcessor::Process(float* const* Channels, ULONG Frames)
{
    const ULONG channels = ChannelCount();
    if (!m_bAllocated || !Channels || channels == 0)
    {
        return;
    }
    ULONG done = 0;
    while (Frames > 0)
    {
        const ULONG room = HALF_BUFFER_SAMPLES - ULONG(m_nInputFill);
        const ULONG chunk = Frames < room ? Frames : room;
        const ULONG fillAt = (1 - ULONG(m_nHalf)) * HALF_BUFFER_SAMPLES + ULONG(m_nInputFill);
        for (ULONG c = 0; c < channels; c++)
        {
            SpCopyF32(Channels[c] + done, m_pInput[c] + fillAt, int32_t(chunk));
        }
        m_nInputFill += LONG(chunk);
        if (ULONG(m_nInputFill) == HALF_BUFFER_SAMPLES)
        {
            ProcessBlock(m_pInput, HALF_BUFFER_SAMPLES);
            m_nInputFill = 0;
        }
        const ULONG drainAt = ULONG(m_nHalf) * HALF_BUFFER_SAMPLES + ULONG(m_nOutputPosition);
        for (ULONG c = 0; c < channels; c++)
        {
            SpCopyF32(m_pOutput[c] + drainAt, Channels[c] + done, int32_t(chunk));
        }
        m_nOutputPosition += LONG(chunk);
        if (ULONG(m_nOutputPosition) == HALF_BUFFER_SAMPLES)
        {
            m_nOutputPosition = 0;
            m_nHalf = 1 - m_nHalf;
        }
        done += chunk;
        Frames -= chunk;
    }
}

// Input half 1 - h has just been filled: it is analysed, and input half h, one block older,
// goes out through output half 1 - h with one gain common to all channels.
VOID CEffectProcessor::ProcessBlock(float** BlockPointers, ULONG Length)
{
    const ULONG channels = ChannelCount();
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; c++)
    {
        m_pBlock[c] = BlockPointers[c];
    }
    AnalyzeBlock(Length);
    if (channels == 0 || Length == 0)
    {
        return;
    }
    float target = 0.0f;
    SpMinF32(m_fTargetGain, int32_t(channels), &target);
    for (ULONG c = 0; c < channels; c++)
    {
        ApplyGain(c, target, Length);
    }
}

// An attack reaches the target by the end of the block; a release closes 1/10240 of the
// distance per sample, or all of it within the block right after a parameter change or a reset.
VOID CEffectProcessor::ApplyGain(ULONG Channel, float Target, ULONG Length)
{
    const float* x = m_pBlock[Channel] + ULONG(m_nHalf) * HALF_BUFFER_SAMPLES;
    float* y = m_pOutput[Channel] + (1 - ULONG(m_nHalf)) * HALF_BUFFER_SAMPLES;
    float g = m_fCurrentGain[Channel];
    if (Target > g)
    {
        const float divisor = m_bUpdate[Channel] ? float(Length) : EFFECT_RELEASE_DIVISOR;
        const float step = Larger((Target - g) / divisor, g * MIN_STEP_FACTOR);
        for (ULONG i = 0; i < Length; i++)
        {
            y[i] = g * x[i];
            g = Smaller(Target, g + step);
        }
        if (m_bUpdate[Channel])
        {
            g = Target;
        }
    }
    else if (Target < g)
    {
        const float step = Larger((g - Target) / float(Length), g * MIN_STEP_FACTOR);
        for (ULONG i = 0; i < Length; i++)
        {
            y[i] = g * x[i];
            g = Larger(Target, g - step);
        }
        // The steps' rounding may leave the gain an ulp above the target; the next block is
        // the loud one and must not pass the ceiling.
        g = Target;
    }
    else
    {
        SpMulConstF32(x, g, y, int32_t(Length));
    }
    m_fCurrentGain[Channel] = g;
    m_bUpdate[Channel] = 0;
}

// The target follows the loudest block of the last 20, so one peak holds the gain down for
// 2,560 samples before the release begins.
VOID CEffectProcessor::AnalyzeBlock(ULONG Length)
{
    const ULONG channels = ChannelCount();
    const ULONG newest = (1 - ULONG(m_nHalf)) * HALF_BUFFER_SAMPLES;
    for (ULONG c = 0; c < channels && Length > 0; c++)
    {
        const float peak = BlockPeak(m_pBlock[c] + newest, Length);
        float windowPeak = peak;
        for (ULONG back = 1; back < EFFECT_PEAK_WINDOW_BLOCKS; back++)
        {
            ULONG slot =
                (ULONG(m_nHistoryIndex) + EFFECT_PEAK_HISTORY_BLOCKS - back) % EFFECT_PEAK_HISTORY_BLOCKS;
            windowPeak = Larger(windowPeak, m_fPeakHistory[c][slot]);
        }
        m_fPeakHistory[c][m_nHistoryIndex] = peak;
        m_fPeak[c] = windowPeak;
        float target = m_fBoostGain[c] * windowPeak <= m_fCeiling ? m_fBoostGain[c] : m_fCeiling / windowPeak;
        // Negative, and NaN from a NaN sample, would leave the gain there for good.
        m_fTargetGain[c] = target >= 0.0f ? target : 0.0f;
    }
    m_nHistoryIndex = (m_nHistoryIndex + 1) % LONG(EFFECT_PEAK_HISTORY_BLOCKS);
}

// The largest and the smallest sample, whichever is further from zero.
float CEffectProcessor::BlockPeak(const float* Samples, ULONG Length)
{
    if (!Samples || Length == 0)
    {
        return 0.0f;
    }
    float extremes[2] = {0.0f, 0.0f};
    SpMaxF32(Samples, int32_t(Length), &extremes[0]);
    SpMinF32(Samples, int32_t(Length), &extremes[1]);
    SpAbsInPlaceF32(extremes, 2);
    return extremes[1] > extremes[0] ? extremes[1] : extremes[0];
}
