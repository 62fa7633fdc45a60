// Audio kernel-streaming definitions of the stand-in: the audio data formats and ranges, jack
// descriptions, node and property identifiers, and every KS identifier the driver names, with
// their documented values, kept together in this one header.
#pragma once

#include "ks.h"
#include "mmreg.h"

// ---- Data formats ------------------------------------------------------------------------

typedef struct
{
    KSDATAFORMAT DataFormat;
    WAVEFORMATEX WaveFormatEx;
} KSDATAFORMAT_WAVEFORMATEX, *PKSDATAFORMAT_WAVEFORMATEX;
static_assert(offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx) == 64, "wave format follows the header");

typedef struct
{
    KSDATAFORMAT DataFormat;
    WAVEFORMATEXTENSIBLE WaveFormatExt;
} KSDATAFORMAT_WAVEFORMATEXTENSIBLE, *PKSDATAFORMAT_WAVEFORMATEXTENSIBLE;
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104,
              "KSDATAFORMAT_WAVEFORMATEXTENSIBLE is 104 bytes");
static_assert(offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt) == 64,
              "KSDATAFORMAT_WAVEFORMATEXTENSIBLE field offsets are fixed");

// The DirectSound form puts two words of buffer description before the wave format.
typedef struct
{
    ULONG Flags;
    ULONG Control;
    WAVEFORMATEX WaveFormatEx;
} KSDSOUND_BUFFERDESC, *PKSDSOUND_BUFFERDESC;

typedef struct
{
    KSDATAFORMAT DataFormat;
    KSDSOUND_BUFFERDESC BufferDesc;
} KSDATAFORMAT_DSOUND, *PKSDATAFORMAT_DSOUND;
static_assert(offsetof(KSDATAFORMAT_DSOUND, BufferDesc.WaveFormatEx) == 72,
              "DirectSound wave format at byte 72");

typedef struct
{
    KSDATARANGE DataRange;
    ULONG MaximumChannels; // (ULONG)-1: any number
    ULONG MinimumBitsPerSample;
    ULONG MaximumBitsPerSample;
    ULONG MinimumSampleFrequency;
    ULONG MaximumSampleFrequency;
} KSDATARANGE_AUDIO, *PKSDATARANGE_AUDIO;
static_assert(sizeof(KSDATARANGE_AUDIO) == 88, "KSDATARANGE_AUDIO is 88 bytes");
static_assert(offsetof(KSDATARANGE_AUDIO, MaximumChannels) == 64 &&
                  offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency) == 80,
              "KSDATARANGE_AUDIO field offsets are fixed");

#define KSAUDIO_SPEAKER_MONO (SPEAKER_FRONT_CENTER)
#define KSAUDIO_SPEAKER_STEREO (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT)
#define KSAUDIO_SPEAKER_QUAD                                                                                 \
    (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT)
#define KSAUDIO_SPEAKER_5POINT1                                                                              \
    (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |               \
     SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT)
#define KSAUDIO_SPEAKER_7POINT1_SURROUND                                                                     \
    (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |               \
     SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT | SPEAKER_SIDE_LEFT | SPEAKER_SIDE_RIGHT)

// ---- Node properties ---------------------------------------------------------------------

typedef struct
{
    KSNODEPROPERTY NodeProperty;
    LONG Channel; // -1 (0xFFFFFFFF): the master channel
    ULONG Reserved;
} KSNODEPROPERTY_AUDIO_CHANNEL, *PKSNODEPROPERTY_AUDIO_CHANNEL;
static_assert(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40, "KSNODEPROPERTY_AUDIO_CHANNEL is 40 bytes");
static_assert(offsetof(KSNODEPROPERTY_AUDIO_CHANNEL, Channel) == 32,
              "KSNODEPROPERTY_AUDIO_CHANNEL field offsets are fixed");

typedef enum
{
    KSPROPERTY_AUDIO_LATENCY = 1,
    KSPROPERTY_AUDIO_COPY_PROTECTION,
    KSPROPERTY_AUDIO_CHANNEL_CONFIG,
    KSPROPERTY_AUDIO_VOLUMELEVEL,
    KSPROPERTY_AUDIO_POSITION,
    KSPROPERTY_AUDIO_DYNAMIC_RANGE,
    KSPROPERTY_AUDIO_QUALITY,
    KSPROPERTY_AUDIO_SAMPLING_RATE,
    KSPROPERTY_AUDIO_DYNAMIC_SAMPLING_RATE,
    KSPROPERTY_AUDIO_MIX_LEVEL_TABLE,
    KSPROPERTY_AUDIO_MIX_LEVEL_CAPS,
    KSPROPERTY_AUDIO_MUX_SOURCE,
    KSPROPERTY_AUDIO_MUTE,
    KSPROPERTY_AUDIO_BASS,
    KSPROPERTY_AUDIO_MID,
    KSPROPERTY_AUDIO_TREBLE,
    KSPROPERTY_AUDIO_BASS_BOOST,
    KSPROPERTY_AUDIO_EQ_LEVEL,
    KSPROPERTY_AUDIO_NUM_EQ_BANDS,
    KSPROPERTY_AUDIO_EQ_BANDS,
    KSPROPERTY_AUDIO_AGC,
    KSPROPERTY_AUDIO_DELAY,
    KSPROPERTY_AUDIO_LOUDNESS,
    KSPROPERTY_AUDIO_WIDE_MODE,
    KSPROPERTY_AUDIO_WIDENESS,
    KSPROPERTY_AUDIO_REVERB_LEVEL,
    KSPROPERTY_AUDIO_CHORUS_LEVEL,
    KSPROPERTY_AUDIO_DEV_SPECIFIC
} KSPROPERTY_AUDIO;
static_assert(KSPROPERTY_AUDIO_MUX_SOURCE == 12 && KSPROPERTY_AUDIO_AGC == 21 &&
                  KSPROPERTY_AUDIO_DEV_SPECIFIC == 28,
              "audio property ids");

typedef enum
{
    KSEVENT_CONTROL_CHANGE
} KSEVENT_AUDIO_CONTROL_CHANGE;

// KSPROPERTY_AUDIO_POSITION on a pin: byte offsets into the pin's cyclic buffer.
typedef struct
{
    ULONGLONG PlayOffset;
    ULONGLONG WriteOffset;
} KSAUDIO_POSITION, *PKSAUDIO_POSITION;
static_assert(sizeof(KSAUDIO_POSITION) == 16, "KSAUDIO_POSITION is 16 bytes");

// ---- Jacks -------------------------------------------------------------------------------

typedef enum
{
    eConnTypeUnknown,
    eConnType3Point5mm,
    eConnTypeQuarter,
    eConnTypeAtapiInternal,
    eConnTypeRCA,
    eConnTypeOptical,
    eConnTypeOtherDigital,
    eConnTypeOtherAnalog,
    eConnTypeMultichannelAnalogDIN,
    eConnTypeXlrProfessional,
    eConnTypeRJ11Modem,
    eConnTypeCombination
} EPcxConnectionType;

typedef enum
{
    eGeoLocRear = 1,
    eGeoLocFront,
    eGeoLocLeft,
    eGeoLocRight,
    eGeoLocTop,
    eGeoLocBottom,
    eGeoLocRearPanel,
    eGeoLocRiser,
    eGeoLocInsideMobileLid,
    eGeoLocDrivebay,
    eGeoLocHDMI,
    eGeoLocOutsideMobileLid,
    eGeoLocATAPI,
    eGeoLocNotApplicable
} EPcxGeoLocation;

typedef enum
{
    eGenLocPrimaryBox,
    eGenLocInternal,
    eGenLocSeparate,
    eGenLocOther
} EPcxGenLocation;

typedef enum
{
    ePortConnJack,
    ePortConnIntegratedDevice,
    ePortConnBothIntegratedAndJack,
    ePortConnUnknown
} EPxcPortConnection;

typedef DWORD COLORREF;

typedef struct
{
    DWORD ChannelMapping;
    COLORREF Color; // 0x00RRGGBB
    EPcxConnectionType ConnectionType;
    EPcxGeoLocation GeoLocation;
    EPcxGenLocation GenLocation;
    EPxcPortConnection PortConnection;
    BOOL IsConnected;
} KSJACK_DESCRIPTION, *PKSJACK_DESCRIPTION;
static_assert(sizeof(KSJACK_DESCRIPTION) == 28, "KSJACK_DESCRIPTION is 28 bytes");
static_assert(offsetof(KSJACK_DESCRIPTION, IsConnected) == 24, "KSJACK_DESCRIPTION field offsets are fixed");

#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001
#define JACKDESC2_DYNAMIC_FORMAT_CHANGE_CAPABILITY 0x00000002

typedef struct
{
    DWORD DeviceStateInfo;
    DWORD JackCapabilities; // JACKDESC2_*
} KSJACK_DESCRIPTION2, *PKSJACK_DESCRIPTION2;
static_assert(sizeof(KSJACK_DESCRIPTION2) == 8, "KSJACK_DESCRIPTION2 is 8 bytes");

typedef enum
{
    KSPROPERTY_JACK_DESCRIPTION = 1,
    KSPROPERTY_JACK_DESCRIPTION2,
    KSPROPERTY_JACK_SINK_INFO,
    KSPROPERTY_JACK_CONTAINERID
} KSPROPERTY_JACK;

// ---- Identifiers -------------------------------------------------------------------------

DEFINE_GUID(GUID_NULL, 0x00000000, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00);

// Data formats. The wave sub-formats are the format tag in the first 16 bits of a fixed GUID.
#define DEFINE_WAVEFORMATEX_GUID(name, tag)                                                                  \
    DEFINE_GUID(name, (tag), 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71)
DEFINE_GUID(KSDATAFORMAT_TYPE_AUDIO, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
            0x71);
DEFINE_WAVEFORMATEX_GUID(KSDATAFORMAT_SUBTYPE_PCM, WAVE_FORMAT_PCM);
DEFINE_WAVEFORMATEX_GUID(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, WAVE_FORMAT_IEEE_FLOAT);
DEFINE_WAVEFORMATEX_GUID(KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF, WAVE_FORMAT_DOLBY_AC3_SPDIF);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_ANALOG, 0x6DBA3190, 0x67BD, 0x11CF, 0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56,
            0xE4);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00,
            0x55, 0x59, 0x5A);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_DSOUND, 0x518590A2, 0xA184, 0x11D0, 0x85, 0x22, 0x00, 0xC0, 0x4F, 0xD9,
            0xBA, 0xF3);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE, 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31,
            0x96);
#define KSDATAFORMAT_TYPE_WILDCARD GUID_NULL
#define KSDATAFORMAT_SUBTYPE_WILDCARD GUID_NULL
#define KSDATAFORMAT_SPECIFIER_WILDCARD GUID_NULL

// Filter categories, interfaces and mediums.
DEFINE_GUID(KSCATEGORY_AUDIO, 0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSCATEGORY_RENDER, 0x65E8773E, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSCATEGORY_CAPTURE, 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSCATEGORY_TOPOLOGY, 0xDDA54A40, 0x1E4C, 0x11D1, 0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00);
DEFINE_GUID(KSINTERFACESETID_Standard, 0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00,
            0x00);
DEFINE_GUID(KSMEDIUMSETID_Standard, 0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00,
            0x00);

// Property, event and property-type sets.
DEFINE_GUID(KSPROPSETID_General, 0x1464EDA5, 0x6A8F, 0x11D1, 0x9A, 0xA7, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSPROPSETID_Audio, 0x45FFAAA0, 0x6E1B, 0x11D0, 0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00);
DEFINE_GUID(KSPROPSETID_Jack, 0x4509F757, 0x2D46, 0x4637, 0x8E, 0x62, 0xCE, 0x7D, 0xB9, 0x44, 0xF5, 0x7B);
DEFINE_GUID(KSEVENTSETID_AudioControlChange, 0xE85E9698, 0xFA2F, 0x11D1, 0x95, 0xBD, 0x00, 0xC0, 0x4F, 0xB9,
            0x25, 0xD3);
DEFINE_GUID(KSPROPTYPESETID_General, 0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00,
            0x00);

// Node types of audio filters.
DEFINE_GUID(KSNODETYPE_DAC, 0x507AE360, 0xC554, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_ADC, 0x4D837FE0, 0xC555, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_MUX, 0x2CEAF780, 0xC556, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_SUM, 0xDA441A60, 0xC556, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_MUTE, 0x02B223C0, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_VOLUME, 0x3A5ACC00, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_TONE, 0x7607E580, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_AGC, 0xE88C9BA0, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_LOUDNESS, 0x41887440, 0xC558, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_GUID(KSNODETYPE_DEV_SPECIFIC, 0x941C7AC0, 0xC559, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);

// Pin categories. Those of USB terminal types are the terminal type added to a fixed GUID.
#define DEFINE_USB_TERMINAL_GUID(name, terminalType)                                                         \
    DEFINE_GUID(name, 0xDFF219E0 + (terminalType), 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, \
                0x96)
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_MICROPHONE, 0x0201);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_DESKTOP_MICROPHONE, 0x0202);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_SPEAKER, 0x0301);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_HEADPHONES, 0x0302);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_HANDSET, 0x0401);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_HEADSET, 0x0402);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, 0x0403);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_TELEPHONE, 0x0502);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_ANALOG_CONNECTOR, 0x0601);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_LINE_CONNECTOR, 0x0603);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_SPDIF_INTERFACE, 0x0605);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_CD_PLAYER, 0x0703);
DEFINE_USB_TERMINAL_GUID(KSNODETYPE_VIDEO_DISC_AUDIO, 0x070A);
DEFINE_GUID(KSNODETYPE_HDMI_INTERFACE, 0xD1B9CC2A, 0xF519, 0x417F, 0x91, 0xC9, 0x55, 0xFA, 0x65, 0x48, 0x10,
            0x01);
DEFINE_GUID(KSNODETYPE_DISPLAYPORT_INTERFACE, 0xE47E4031, 0x3EA6, 0x418D, 0x8F, 0x9B, 0xB7, 0x38, 0x43, 0xCC,
            0xBA, 0x97);

// Names of nodes and pins.
DEFINE_GUID(KSAUDFNAME_BASS, 0x185FEDE0, 0x9905, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
DEFINE_GUID(KSAUDFNAME_TREBLE, 0x185FEDE1, 0x9905, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
DEFINE_GUID(KSAUDFNAME_MIDRANGE, 0xA2CBE478, 0xAE84, 0x49A1, 0x8B, 0x72, 0x4A, 0xD0, 0x9B, 0x78, 0xED, 0x34);
DEFINE_GUID(KSAUDFNAME_STEREO_MIX, 0x00DFF077, 0x96E3, 0x11D2, 0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB,
            0x68);

// Component identity of USB audio devices: manufacturer and product GUIDs carry the USB
// vendor and product ids in the low 16 bits of their first field.
DEFINE_GUID(KSCOMPONENTID_USBAUDIO, 0x8F1275F0, 0x26E9, 0x4264, 0xBA, 0x4D, 0x39, 0xFF, 0xF0, 0x1D, 0x94,
            0xAA);

inline void KsInitUsbAudioGuid(GUID* Guid, ULONG Base, USHORT Id)
{
    static const UCHAR tail[8] = {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA};
    Guid->Data1 = Base + Id;
    Guid->Data3 = 0x463B;
    std::memcpy(Guid->Data4, tail, sizeof(tail));
}
#define INIT_USBAUDIO_MID(guid, id)                                                                          \
    do                                                                                                       \
    {                                                                                                        \
        KsInitUsbAudioGuid((guid), 0x4E1CECD2, (USHORT)(id));                                                \
        (guid)->Data2 = 0x1679;                                                                              \
    } while (0)
#define INIT_USBAUDIO_PID(guid, id)                                                                          \
    do                                                                                                       \
    {                                                                                                        \
        KsInitUsbAudioGuid((guid), 0xABCC5A5E, (USHORT)(id));                                                \
        (guid)->Data2 = 0xC263;                                                                              \
    } while (0)
