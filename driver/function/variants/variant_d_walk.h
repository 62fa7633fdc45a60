// What the variant-D audio function object does differently from the class-1 object: its
// capability values by model code and device, the entity classes of its audio-control walk
// (every feature unit is a CVariantDFeatureUnit, which makes controls 139 and 140 effect nodes),
// and the render stream class of its streaming walk. Kept as functions so the variant framework
// calls them from its walks and the tests call them on their own.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/core/mutex_lock.h"

class CUsbEntityNode;
class CUsbAudioStream;

// The entities and streams of a variant-D device (the class-1 tag, as the class-1 walk uses).
#define VARIANT_D_ENTITY_POOL_TAG MAKE_POOL_TAG('U', 'A', 'C', '1')

constexpr ULONG VARIANT_D_MODEL_FIVE = 5;
constexpr ULONG VARIANT_D_MODEL_SIX = 6;

struct VariantDCapabilities
{
    ULONG Mask;
    ULONG Extra;
    ULONG Flags;
};

// The capability row of the device under its model code; STATUS_UNSUCCESSFUL (and a message)
// for a model code other than 5 or 6. Any IRQL.
NTSTATUS GetVariantDCapabilities(ULONG ModelCode, USHORT VendorId, USHORT ProductId,
                                 VariantDCapabilities* Caps);

// One entity of the audio-control walk: Descriptor (subtype 2 to 6, Length bytes from it) made
// into its variant-D class with the walk's reference in *Entity (null when the pool is out:
// STATUS_INSUFFICIENT_RESOURCES) and initialised; the initialisation's status is returned. Any
// other subtype is STATUS_UNSUCCESSFUL with nothing made. PASSIVE_LEVEL.
NTSTATUS CreateVariantDEntity(const UCHAR* Descriptor, ULONG Length, ULONG Index, PUNKNOWN DeviceUnknown,
                              IAdapterCommon* Common, CMutexLock* DeviceLock, CUsbEntityNode** Entity);

// The render stream of a streaming interface whose terminal link names an input terminal: a
// CVariantDStream, initialised for rendering on DeviceUnknown. *Stream holds the caller's
// reference whenever it is not null, also when the set-up failed. PASSIVE_LEVEL.
NTSTATUS CreateVariantDRenderStream(UCHAR InterfaceNumber, ULONG PinNodeId, PUNKNOWN DeviceUnknown,
                                    CUsbAudioStream** Stream);
