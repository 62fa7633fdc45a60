// USB Audio Class constants of releases 1.0 and 2.0 (class-specific descriptor types and
// subtypes, request codes, control selectors, terminal types, format codes) and the packed
// layouts of the fixed-size class-specific descriptors.
#pragma once

#include "ntdef.h"

// Interface class, subclasses and the protocol that marks release 2.0.
#define USB_AUDIO_CLASS 0x01
#define USB_AUDIO_SUBCLASS_UNDEFINED 0x00
#define USB_AUDIO_SUBCLASS_AUDIOCONTROL 0x01
#define USB_AUDIO_SUBCLASS_AUDIOSTREAMING 0x02
#define USB_AUDIO_SUBCLASS_MIDISTREAMING 0x03
#define USB_AUDIO_PROTOCOL_UNDEFINED 0x00
#define USB_AUDIO_PROTOCOL_IP_VERSION_02_00 0x20

// Class-specific descriptor types.
#define USB_AUDIO_CS_UNDEFINED 0x20
#define USB_AUDIO_CS_DEVICE 0x21
#define USB_AUDIO_CS_CONFIGURATION 0x22
#define USB_AUDIO_CS_STRING 0x23
#define USB_AUDIO_CS_INTERFACE 0x24
#define USB_AUDIO_CS_ENDPOINT 0x25

// Audio-control interface descriptor subtypes common to both releases.
#define USB_AUDIO_AC_HEADER 0x01
#define USB_AUDIO_AC_INPUT_TERMINAL 0x02
#define USB_AUDIO_AC_OUTPUT_TERMINAL 0x03
#define USB_AUDIO_AC_MIXER_UNIT 0x04
#define USB_AUDIO_AC_SELECTOR_UNIT 0x05
#define USB_AUDIO_AC_FEATURE_UNIT 0x06
// Release 1.0 only.
#define USB_AUDIO_AC_PROCESSING_UNIT 0x07
#define USB_AUDIO_AC_EXTENSION_UNIT 0x08
// Release 2.0 only: the processing and extension subtypes moved up by one.
#define USB_AUDIO2_AC_EFFECT_UNIT 0x07
#define USB_AUDIO2_AC_PROCESSING_UNIT 0x08
#define USB_AUDIO2_AC_EXTENSION_UNIT 0x09
#define USB_AUDIO2_AC_CLOCK_SOURCE 0x0A
#define USB_AUDIO2_AC_CLOCK_SELECTOR 0x0B
#define USB_AUDIO2_AC_CLOCK_MULTIPLIER 0x0C
#define USB_AUDIO2_AC_SAMPLE_RATE_CONVERTER 0x0D

// Audio-streaming interface and endpoint descriptor subtypes.
#define USB_AUDIO_AS_GENERAL 0x01
#define USB_AUDIO_AS_FORMAT_TYPE 0x02
#define USB_AUDIO_AS_FORMAT_SPECIFIC 0x03
#define USB_AUDIO_EP_GENERAL 0x01

// Format types and the release-1.0 format tags.
#define USB_AUDIO_FORMAT_TYPE_UNDEFINED 0x00
#define USB_AUDIO_FORMAT_TYPE_I 0x01
#define USB_AUDIO_FORMAT_TYPE_II 0x02
#define USB_AUDIO_FORMAT_TYPE_III 0x03
#define USB_AUDIO_FORMAT_PCM 0x0001
#define USB_AUDIO_FORMAT_PCM8 0x0002
#define USB_AUDIO_FORMAT_IEEE_FLOAT 0x0003
#define USB_AUDIO_FORMAT_ALAW 0x0004
#define USB_AUDIO_FORMAT_MULAW 0x0005
#define USB_AUDIO_FORMAT_IEC1937_AC3 0x2001
// Release-2.0 bmFormats bits of a Type I interface.
#define USB_AUDIO2_FORMAT_PCM 0x00000001u
#define USB_AUDIO2_FORMAT_PCM8 0x00000002u
#define USB_AUDIO2_FORMAT_IEEE_FLOAT 0x00000004u
#define USB_AUDIO2_FORMAT_TYPE_I_RAW_DATA 0x80000000u

// Request codes, release 1.0 (bit 7 set: device to host).
#define USB_AUDIO_SET_CUR 0x01
#define USB_AUDIO_SET_MIN 0x02
#define USB_AUDIO_SET_MAX 0x03
#define USB_AUDIO_SET_RES 0x04
#define USB_AUDIO_SET_MEM 0x05
#define USB_AUDIO_GET_CUR 0x81
#define USB_AUDIO_GET_MIN 0x82
#define USB_AUDIO_GET_MAX 0x83
#define USB_AUDIO_GET_RES 0x84
#define USB_AUDIO_GET_MEM 0x85
#define USB_AUDIO_GET_STAT 0xFF
// Request codes, release 2.0: the direction comes from bmRequestType alone.
#define USB_AUDIO2_CUR 0x01
#define USB_AUDIO2_RANGE 0x02
#define USB_AUDIO2_MEM 0x03

// Feature-unit control selectors (release 2.0 adds the last six).
#define USB_AUDIO_FU_MUTE_CONTROL 0x01
#define USB_AUDIO_FU_VOLUME_CONTROL 0x02
#define USB_AUDIO_FU_BASS_CONTROL 0x03
#define USB_AUDIO_FU_MID_CONTROL 0x04
#define USB_AUDIO_FU_TREBLE_CONTROL 0x05
#define USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL 0x06
#define USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL 0x07
#define USB_AUDIO_FU_DELAY_CONTROL 0x08
#define USB_AUDIO_FU_BASS_BOOST_CONTROL 0x09
#define USB_AUDIO_FU_LOUDNESS_CONTROL 0x0A
#define USB_AUDIO2_FU_INPUT_GAIN_CONTROL 0x0B
#define USB_AUDIO2_FU_INPUT_GAIN_PAD_CONTROL 0x0C
#define USB_AUDIO2_FU_PHASE_INVERTER_CONTROL 0x0D
#define USB_AUDIO2_FU_UNDERFLOW_CONTROL 0x0E
#define USB_AUDIO2_FU_OVERFLOW_CONTROL 0x0F
#define USB_AUDIO2_FU_LATENCY_CONTROL 0x10

// Other control selectors.
#define USB_AUDIO_SU_SELECTOR_CONTROL 0x01
#define USB_AUDIO2_MU_MIXER_CONTROL 0x01
#define USB_AUDIO_EP_SAMPLING_FREQ_CONTROL 0x01 // release 1.0, endpoint recipient
#define USB_AUDIO_EP_PITCH_CONTROL 0x02
#define USB_AUDIO2_CS_SAM_FREQ_CONTROL 0x01 // clock source
#define USB_AUDIO2_CS_CLOCK_VALID_CONTROL 0x02
#define USB_AUDIO2_CX_CLOCK_SELECTOR_CONTROL 0x01
#define USB_AUDIO2_TE_COPY_PROTECT_CONTROL 0x01
#define USB_AUDIO2_TE_CONNECTOR_CONTROL 0x02
#define USB_AUDIO2_TE_OVERLOAD_CONTROL 0x03
#define USB_AUDIO2_AS_ACT_ALT_SETTING_CONTROL 0x01
#define USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL 0x02

// Terminal types.
#define USB_AUDIO_TERMINAL_USB_STREAMING 0x0101
#define USB_AUDIO_TERMINAL_MICROPHONE 0x0201
#define USB_AUDIO_TERMINAL_SPEAKER 0x0301
#define USB_AUDIO_TERMINAL_HEADPHONES 0x0302
#define USB_AUDIO_TERMINAL_HEADSET 0x0402
#define USB_AUDIO_TERMINAL_ANALOG_CONNECTOR 0x0601
#define USB_AUDIO_TERMINAL_LINE_CONNECTOR 0x0603
#define USB_AUDIO_TERMINAL_SPDIF_INTERFACE 0x0605

// Release-1.0 status word (2 bytes) of the audio-control interrupt endpoint.
#define USB_AUDIO_STATUS_INTERRUPT_PENDING 0x80
#define USB_AUDIO_STATUS_MEMORY_CHANGED 0x40
#define USB_AUDIO_STATUS_ORIGINATOR_AC_INTERFACE 0x00

#pragma pack(push, 1)

typedef struct _USB_AUDIO_COMMON_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
} USB_AUDIO_COMMON_DESCRIPTOR, *PUSB_AUDIO_COMMON_DESCRIPTOR;

// Release 1.0: followed by bInCollection interface numbers.
typedef struct _USB_AUDIO_AC_HEADER_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    USHORT wTotalLength;
    UCHAR bInCollection;
} USB_AUDIO_AC_HEADER_DESCRIPTOR, *PUSB_AUDIO_AC_HEADER_DESCRIPTOR;

typedef struct _USB_AUDIO_INPUT_TERMINAL_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bNrChannels;
    USHORT wChannelConfig;
    UCHAR iChannelNames;
    UCHAR iTerminal;
} USB_AUDIO_INPUT_TERMINAL_DESCRIPTOR, *PUSB_AUDIO_INPUT_TERMINAL_DESCRIPTOR;

typedef struct _USB_AUDIO_OUTPUT_TERMINAL_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR iTerminal;
} USB_AUDIO_OUTPUT_TERMINAL_DESCRIPTOR, *PUSB_AUDIO_OUTPUT_TERMINAL_DESCRIPTOR;

// Release 1.0: followed by (channels + 1) x bControlSize control bitmaps and iFeature.
typedef struct _USB_AUDIO_FEATURE_UNIT_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bSourceID;
    UCHAR bControlSize;
} USB_AUDIO_FEATURE_UNIT_DESCRIPTOR, *PUSB_AUDIO_FEATURE_UNIT_DESCRIPTOR;

typedef struct _USB_AUDIO_AS_GENERAL_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bDelay;
    USHORT wFormatTag;
} USB_AUDIO_AS_GENERAL_DESCRIPTOR, *PUSB_AUDIO_AS_GENERAL_DESCRIPTOR;

// Release 1.0 Type I/III: followed by the rates, 3 bytes each (or lower and upper bound when
// bSamFreqType is 0).
typedef struct _USB_AUDIO_FORMAT_TYPE_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bNrChannels;
    UCHAR bSubframeSize;
    UCHAR bBitResolution;
    UCHAR bSamFreqType;
} USB_AUDIO_FORMAT_TYPE_DESCRIPTOR, *PUSB_AUDIO_FORMAT_TYPE_DESCRIPTOR;

typedef struct _USB_AUDIO_CS_ENDPOINT_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes; // bit 0: sampling frequency control
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
} USB_AUDIO_CS_ENDPOINT_DESCRIPTOR, *PUSB_AUDIO_CS_ENDPOINT_DESCRIPTOR;

typedef struct _USB_AUDIO2_AC_HEADER_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    UCHAR bCategory;
    USHORT wTotalLength;
    UCHAR bmControls;
} USB_AUDIO2_AC_HEADER_DESCRIPTOR, *PUSB_AUDIO2_AC_HEADER_DESCRIPTOR;

typedef struct _USB_AUDIO2_CLOCK_SOURCE_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bClockID;
    UCHAR bmAttributes;
    UCHAR bmControls; // bits 1..0 frequency, 3..2 validity: 1 read-only, 3 read-write
    UCHAR bAssocTerminal;
    UCHAR iClockSource;
} USB_AUDIO2_CLOCK_SOURCE_DESCRIPTOR, *PUSB_AUDIO2_CLOCK_SOURCE_DESCRIPTOR;

typedef struct _USB_AUDIO2_INPUT_TERMINAL_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bCSourceID;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
    USHORT bmControls;
    UCHAR iTerminal;
} USB_AUDIO2_INPUT_TERMINAL_DESCRIPTOR, *PUSB_AUDIO2_INPUT_TERMINAL_DESCRIPTOR;

typedef struct _USB_AUDIO2_OUTPUT_TERMINAL_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR bCSourceID;
    USHORT bmControls;
    UCHAR iTerminal;
} USB_AUDIO2_OUTPUT_TERMINAL_DESCRIPTOR, *PUSB_AUDIO2_OUTPUT_TERMINAL_DESCRIPTOR;

typedef struct _USB_AUDIO2_AS_GENERAL_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bmControls;
    UCHAR bFormatType;
    ULONG bmFormats;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
} USB_AUDIO2_AS_GENERAL_DESCRIPTOR, *PUSB_AUDIO2_AS_GENERAL_DESCRIPTOR;

typedef struct _USB_AUDIO2_FORMAT_TYPE_I_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bSubslotSize;
    UCHAR bBitResolution;
} USB_AUDIO2_FORMAT_TYPE_I_DESCRIPTOR, *PUSB_AUDIO2_FORMAT_TYPE_I_DESCRIPTOR;

typedef struct _USB_AUDIO2_CS_ENDPOINT_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes;
    UCHAR bmControls;
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
} USB_AUDIO2_CS_ENDPOINT_DESCRIPTOR, *PUSB_AUDIO2_CS_ENDPOINT_DESCRIPTOR;

// The 6-byte interrupt data message of release 2.0.
typedef struct _USB_AUDIO2_INTERRUPT_DATA_MESSAGE
{
    UCHAR bInfo;
    UCHAR bAttribute;
    USHORT wValue; // low byte channel number, high byte control selector
    USHORT wIndex; // low byte interface or endpoint, high byte entity id
} USB_AUDIO2_INTERRUPT_DATA_MESSAGE, *PUSB_AUDIO2_INTERRUPT_DATA_MESSAGE;

#pragma pack(pop)

static_assert(sizeof(USB_AUDIO_AC_HEADER_DESCRIPTOR) == 8, "class-1 AC header without collection is 8 bytes");
static_assert(sizeof(USB_AUDIO_INPUT_TERMINAL_DESCRIPTOR) == 12, "class-1 input terminal is 12 bytes");
static_assert(sizeof(USB_AUDIO_OUTPUT_TERMINAL_DESCRIPTOR) == 9, "class-1 output terminal is 9 bytes");
static_assert(sizeof(USB_AUDIO_FEATURE_UNIT_DESCRIPTOR) == 6, "class-1 feature unit header is 6 bytes");
static_assert(sizeof(USB_AUDIO_AS_GENERAL_DESCRIPTOR) == 7, "class-1 AS_GENERAL is 7 bytes");
static_assert(sizeof(USB_AUDIO_FORMAT_TYPE_DESCRIPTOR) == 8, "class-1 format type header is 8 bytes");
static_assert(sizeof(USB_AUDIO_CS_ENDPOINT_DESCRIPTOR) == 7, "class-1 CS endpoint is 7 bytes");
static_assert(sizeof(USB_AUDIO2_AC_HEADER_DESCRIPTOR) == 9, "class-2 AC header is 9 bytes");
static_assert(sizeof(USB_AUDIO2_CLOCK_SOURCE_DESCRIPTOR) == 8, "class-2 clock source is 8 bytes");
static_assert(sizeof(USB_AUDIO2_INPUT_TERMINAL_DESCRIPTOR) == 17, "class-2 input terminal is 17 bytes");
static_assert(sizeof(USB_AUDIO2_OUTPUT_TERMINAL_DESCRIPTOR) == 12, "class-2 output terminal is 12 bytes");
static_assert(sizeof(USB_AUDIO2_AS_GENERAL_DESCRIPTOR) == 16, "class-2 AS_GENERAL is 16 bytes");
static_assert(sizeof(USB_AUDIO2_FORMAT_TYPE_I_DESCRIPTOR) == 6, "class-2 Type I format is 6 bytes");
static_assert(sizeof(USB_AUDIO2_CS_ENDPOINT_DESCRIPTOR) == 8, "class-2 CS endpoint is 8 bytes");
static_assert(sizeof(USB_AUDIO2_INTERRUPT_DATA_MESSAGE) == 6, "class-2 interrupt message is 6 bytes");
