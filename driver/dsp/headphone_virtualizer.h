// CHeadphoneVirtualizer: the front of the headphone virtualiser. It keeps the user's settings
// for headphone and speaker mode (room, speaker angle and angle set per mode, the crosstalk
// angle, the mode, the enable switch), turns them into the engine's room and angle, and renders
// each buffer of two, six or eight channels to two through the engine, or mixes it down to two
// when the virtualiser is off, has no engine, or the stream is one the engine cannot render.
//
// Allocated by its owner with `new (NonPagedPool, Tag)` and deleted with delete; the engine
// is its own. No lock: the owner keeps the setters (they may rebuild filter states) and Process
// apart. The mode, room, angle and crosstalk setters are resident and allocate only non-paged
// memory, so the owner may hold a spin lock around them, as it must while a stream runs;
// SetFormat rebuilds the engine's buffers and stays PASSIVE_LEVEL.
#pragma once

#include "driver/dsp/headphone_fir.h"
#include "mmreg.h"

// Down-mixes Source channels to two: left = (0 + 0.707 x 2 + 3 + 4) / Divisor, right = (1 +
// 0.707 x 2 + 3 + 5) / Divisor, and with eight channels 6 and 7 join at 1 / Divisor. Every
// source value of a frame is read before the frame is written, so Destination may be Source.
VOID DownmixToStereo(float* const* Destination, float* const* Source, LONG SourceCount, LONG Frames,
                     float Divisor);
// One source channel is copied to the first destination; two are copied; more go through
// DownmixToStereo when two are wanted, else CopyChannels.
VOID MixChannels(float* const* Destination, LONG DestinationCount, float* const* Source, LONG SourceCount,
                 LONG Frames, float Divisor);

class CHeadphoneVirtualizer : public CDspPoolObject
{
public:
    CHeadphoneVirtualizer();
    virtual ~CHeadphoneVirtualizer();

    // -1 without an engine, or for a stream the engine cannot render (a rate outside
    // 44,100 / 3 .. 3 x 44,100 exclusive, or other than 2, 6 or 8 channels): Process then
    // mixes the stream down. Otherwise the engine's Configure result (1).
    LONG SetFormat(const WAVEFORMATEX* Format);
    VOID SetEnable(ULONG Enable) { m_nEnable = Enable; }
    VOID SetMode(ULONG Mode);
    VOID SetHeadphoneRoom(ULONG Room);
    VOID SetHeadphoneAngle(ULONG Angle);
    VOID SetHeadphoneAltAngles(ULONG Flag);
    VOID SetSpeakerRoom(ULONG Room);
    VOID SetSpeakerAngle(ULONG Angle);
    VOID SetSpeakerAltAngles(ULONG Flag);
    // Codes 0 to 4 are 5, 10, 15, 20 and 30 degrees; any other value is taken as degrees.
    VOID SetCtcAngle(ULONG Code);
    ULONG GetMode() const { return m_nMode; }
    ULONG GetHeadphoneRoom() const { return m_nHeadphoneRoom; }
    ULONG GetSpeakerRoom() const { return m_nSpeakerRoom; }
    ULONG GetHeadphoneAltAngles() const { return m_nHeadphoneAngleSet; }
    ULONG GetSpeakerAltAngles() const { return m_nSpeakerAngleSet; }
    ULONG GetCtcAngle() const { return m_nCtcAngle; }

    // Renders Frames samples in place: afterwards Buffers[0] and Buffers[1] hold the output.
    VOID Process(float* const* Buffers, LONG Frames);

    // The angle in degrees of an angle code with its angle-set flag; -1 for unknown codes.
    static LONG MapAngle(ULONG AngleSet, ULONG AngleCode);
    CHeadphoneApp* Engine() { return m_pEngine; }

private:
    VOID Reselect();
    VOID StoreAndReselect(ULONG* Setting, ULONG Value, BOOLEAN SpeakerSetting);

    CHeadphoneApp* m_pEngine;
    ULONG m_nMode;
    ULONG m_nEnable;
    ULONG m_nSpeakerRoom;
    ULONG m_nHeadphoneRoom;
    ULONG m_nSpeakerAngle;
    ULONG m_nHeadphoneAngle;
    ULONG m_nCtcAngle;
    ULONG m_nSpeakerAngleSet;
    ULONG m_nHeadphoneAngleSet;
    ULONG m_nChannelCount;
    BOOLEAN m_bEngineFormat; // the last SetFormat gave the engine a stream it renders
};
