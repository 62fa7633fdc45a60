// The names that prefix wave subdevice names, one per pin type.
#include "driver/core/pin_type.h"

// Indexed by PinType. The size comes from the initialisers, so a missing or extra name
// conflicts with the declaration's PIN_TYPE_COUNT and fails to compile.
const PCWSTR PinTypeNames[] = {
    u"Stream",       // PIN_TYPE_STREAM
    u"SPK",          // PIN_TYPE_SPK
    u"HP",           // PIN_TYPE_HP
    u"SPDIF",        // PIN_TYPE_SPDIF
    u"HDMI",         // PIN_TYPE_HDMI
    u"DisplayPort",  // PIN_TYPE_DISPLAYPORT
    u"Line",         // PIN_TYPE_LINE
    u"Mic",          // PIN_TYPE_MIC
    u"Aux",          // PIN_TYPE_AUX
    u"CD",           // PIN_TYPE_CD
    u"Video",        // PIN_TYPE_VIDEO
    u"FMic",         // PIN_TYPE_FMIC
    u"Telephone",    // PIN_TYPE_TELEPHONE
    u"HandSet",      // PIN_TYPE_HANDSET
    u"HeadSet",      // PIN_TYPE_HEADSET
    u"Speakerphone", // PIN_TYPE_SPEAKERPHONE
    u"StereoMix",    // PIN_TYPE_STEREOMIX
    u"FHP",          // PIN_TYPE_FHP
    u"Rec",          // PIN_TYPE_REC
};
static_assert(RTL_NUMBER_OF(PinTypeNames) == PIN_TYPE_REC + 1, "one name per pin type, the last being Rec");
