// The headphone virtualiser's front: settings, their mapping to the engine, and the down-mix.
#include "driver/dsp/headphone_virtualizer.h"

#include "driver/primitives/sp_lib.h"

namespace
{

constexpr float kCentreWeight = 0.707f;
constexpr float kBypassDivisor = 2.0f;

// Angle code -> degrees for angle-set 0 and angle-set 1.
struct AngleRow
{
    ULONG Code;
    LONG SetZero;
    LONG SetOne;
};
const AngleRow kAngleMap[] = {
    {0, 24, 25},  {25, 24, 25}, {1, 29, 30},  {30, 29, 30}, {2, 34, 35},
    {35, 34, 35}, {3, 39, 40},  {40, 39, 40}, {31, 31, 31},
};

const ULONG kCtcCodes[] = {5, 10, 15, 20, 30}; // codes 0 to 4

} // namespace

VOID DownmixToStereo(float* const* Destination, float* const* Source, LONG SourceCount, LONG Frames,
                     float Divisor)
{
    const float r = 1.0f / Divisor;
    for (LONG i = 0; i < Frames; i++)
    {
        const float c = kCentreWeight * Source[2][i];
        float left = (Source[0][i] + c + Source[3][i] + Source[4][i]) * r;
        float right = (Source[1][i] + c + Source[3][i] + Source[5][i]) * r;
        if (SourceCount == 8)
        {
            left += r * Source[6][i];
            right += r * Source[7][i];
        }
        Destination[0][i] = left;
        Destination[1][i] = right;
    }
}

VOID MixChannels(float* const* Destination, LONG DestinationCount, float* const* Source, LONG SourceCount,
                 LONG Frames, float Divisor)
{
    if (SourceCount == 1)
    {
        if (Destination[0] != Source[0])
        {
            SpCopyF32(Source[0], Destination[0], Frames);
        }
        return;
    }
    if (SourceCount == 2)
    {
        CopyChannels(Destination, 2, Source, 2, Frames);
        return;
    }
    // The down-mix reads the six front and surround channels; fewer are copied as they are.
    if (DestinationCount == 2 && SourceCount >= 6)
    {
        DownmixToStereo(Destination, Source, SourceCount, Frames, Divisor);
        return;
    }
    CopyChannels(Destination, DestinationCount, Source, SourceCount, Frames);
}

CHeadphoneVirtualizer::CHeadphoneVirtualizer()
    : m_pEngine(nullptr), m_nMode(0), m_nEnable(0), m_nSpeakerRoom(1), m_nHeadphoneRoom(1),
      m_nSpeakerAngle(40), m_nHeadphoneAngle(40), m_nCtcAngle(20), m_nSpeakerAngleSet(0),
      m_nHeadphoneAngleSet(0), m_nChannelCount(VIRTUALIZER_MAX_CHANNELS), m_bEngineFormat(FALSE)
{
    PAGED_CODE();
    m_pEngine = new (NonPagedPool, VIRTUALIZER_POOL_TAG) CHeadphoneApp();
}

CHeadphoneVirtualizer::~CHeadphoneVirtualizer()
{
    delete m_pEngine;
    m_pEngine = nullptr;
}

LONG CHeadphoneVirtualizer::MapAngle(ULONG AngleSet, ULONG AngleCode)
{
    for (const AngleRow& row : kAngleMap)
    {
        if (row.Code == AngleCode)
        {
            return AngleSet ? row.SetOne : row.SetZero;
        }
    }
    return -1;
}

LONG CHeadphoneVirtualizer::SetFormat(const WAVEFORMATEX* Format)
{
    PAGED_CODE();
    if (!m_pEngine || !Format)
    {
        return -1;
    }
    const ULONG channels = Format->nChannels;
    const LONG rate = LONG(Format->nSamplesPerSec);
    // The down-mix of a refused stream still needs its channel count (at most eight buffers).
    m_nChannelCount = channels > VIRTUALIZER_MAX_CHANNELS ? VIRTUALIZER_MAX_CHANNELS : channels;
    m_bEngineFormat = FALSE;
    // The engine renders two, six or eight channels, and only rates its two filter factors
    // cover: its blocks would overrun the converters' buffers at 176.4 kHz and above.
    if ((channels != 2 && channels != 6 && channels != 8) || Format->nSamplesPerSec > MAXLONG ||
        rate * 3 <= VIRTUALIZER_INTERNAL_RATE || rate >= 3 * VIRTUALIZER_INTERNAL_RATE)
    {
        return -1;
    }
    if (!m_pEngine->Configure(rate, VIRTUALIZER_MAX_CHANNELS, LONG(channels), 256))
    {
        return -1;
    }
    m_bEngineFormat = TRUE;
    return 1;
}

VOID CHeadphoneVirtualizer::Reselect()
{
    if (!m_pEngine)
    {
        return;
    }
    const ULONG room = m_nMode ? m_nSpeakerRoom : m_nHeadphoneRoom;
    const LONG angle = m_nMode ? MapAngle(m_nSpeakerAngleSet, m_nSpeakerAngle)
                               : MapAngle(m_nHeadphoneAngleSet, m_nHeadphoneAngle);
    m_pEngine->Fir().SetRoomAndAngle(LONG(room), angle);
}

// A mode's settings reach the engine only while that mode is the active one.
VOID CHeadphoneVirtualizer::StoreAndReselect(ULONG* Setting, ULONG Value, BOOLEAN SpeakerSetting)
{
    *Setting = Value;
    if ((m_nMode != 0) == (SpeakerSetting != FALSE))
    {
        Reselect();
    }
}

VOID CHeadphoneVirtualizer::SetMode(ULONG Mode)
{
    m_nMode = Mode;
    if (m_pEngine)
    {
        m_pEngine->Fir().SetCtcAngle(Mode ? m_nCtcAngle : 0);
    }
}

VOID CHeadphoneVirtualizer::SetHeadphoneRoom(ULONG Room)
{
    StoreAndReselect(&m_nHeadphoneRoom, Room, FALSE);
}

VOID CHeadphoneVirtualizer::SetHeadphoneAngle(ULONG Angle)
{
    StoreAndReselect(&m_nHeadphoneAngle, Angle, FALSE);
}

VOID CHeadphoneVirtualizer::SetHeadphoneAltAngles(ULONG Flag)
{
    StoreAndReselect(&m_nHeadphoneAngleSet, Flag, FALSE);
}

VOID CHeadphoneVirtualizer::SetSpeakerRoom(ULONG Room)
{
    StoreAndReselect(&m_nSpeakerRoom, Room, TRUE);
}

VOID CHeadphoneVirtualizer::SetSpeakerAngle(ULONG Angle)
{
    StoreAndReselect(&m_nSpeakerAngle, Angle, TRUE);
}

VOID CHeadphoneVirtualizer::SetSpeakerAltAngles(ULONG Flag)
{
    StoreAndReselect(&m_nSpeakerAngleSet, Flag, TRUE);
}

VOID CHeadphoneVirtualizer::SetCtcAngle(ULONG Code)
{
    m_nCtcAngle = Code < sizeof(kCtcCodes) / sizeof(kCtcCodes[0]) ? kCtcCodes[Code] : Code;
    if (m_pEngine)
    {
        m_pEngine->Fir().SetCtcAngle(m_nMode ? m_nCtcAngle : 0);
    }
}

VOID CHeadphoneVirtualizer::Process(float* const* Buffers, LONG Frames)
{
    if (!Buffers || Frames <= 0)
    {
        return;
    }
    if (m_nEnable && m_pEngine && m_bEngineFormat)
    {
        m_pEngine->Process(Buffers, 2, Buffers, LONG(m_nChannelCount), Frames);
        return;
    }
    MixChannels(Buffers, 2, Buffers, LONG(m_nChannelCount), Frames, kBypassDivisor);
}
