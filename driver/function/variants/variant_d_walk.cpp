// Variant D: capability rows, the entity classes of its audio-control walk and its render
// stream class.
#include "driver/function/variants/variant_d_walk.h"
#include "driver/function/audio_descriptor_walk.h"

#include "usbaudio.h"
#include "driver/wave/variant_d_stream.h"
#include "driver/topology/variants/variant_d_feature_unit.h"
#include "driver/topology/uac1/uac1_input_terminal.h"
#include "driver/topology/uac1/uac1_mixer_unit.h"
#include "driver/topology/uac1/uac1_output_terminal.h"
#include "driver/topology/uac1/uac1_selector_unit.h"

namespace
{

// Which devices a row covers: one product, or a range of products of one vendor.
struct CapabilityRow
{
    ULONG ModelCode;
    USHORT VendorId; // 0: any vendor
    USHORT FirstProduct;
    USHORT LastProduct;
    VariantDCapabilities Caps;
};

// Model code, vendor, products, then mask, extra, flags; the first matching row wins, so each
// model's row for any other device comes last.
const CapabilityRow kCapabilities[] = {
    {VARIANT_D_MODEL_SIX, 0x17EF, 0x6073, 0x6073, {0x3E0084, 0, 0x41}},
    {VARIANT_D_MODEL_SIX, 0x264A, 20483, 20483, {0x3E0084, 0, 0}},
    {VARIANT_D_MODEL_SIX, 0x2B0D, 0x0085, 0x0085, {0x3E1080, 0, 0}},
    {VARIANT_D_MODEL_SIX, 0x2B0D, 0x0080, 0x008F, {0x3E0084, 0, 0x40}},
    {VARIANT_D_MODEL_SIX, 0x7A31, 0x0161, 0x0161, {0x3E0084, 0, 0x40}},
    {VARIANT_D_MODEL_SIX, 0, 0x0000, 0xFFFF, {0x3E1084, 0, 0}},
    {VARIANT_D_MODEL_FIVE, 0, 0x0000, 0xFFFF, {0x20006, 8, 0}},
};

} // namespace

NTSTATUS GetVariantDCapabilities(ULONG ModelCode, USHORT VendorId, USHORT ProductId,
                                 VariantDCapabilities* Caps)
{
    if (!Caps)
    {
        return STATUS_INVALID_PARAMETER;
    }
    for (const CapabilityRow& row : kCapabilities)
    {
        if (row.ModelCode == ModelCode && (row.VendorId == 0 || row.VendorId == VendorId) &&
            ProductId >= row.FirstProduct && ProductId <= row.LastProduct)
        {
            *Caps = row.Caps;
            return STATUS_SUCCESS;
        }
    }
    DbgPrint("CVariantDDevice: model code %u is neither 5 nor 6; the device is not started\n", ModelCode);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CreateVariantDEntity(const UCHAR* Descriptor, ULONG Length, ULONG Index, PUNKNOWN DeviceUnknown,
                              IAdapterCommon* Common, CMutexLock* DeviceLock, CUsbEntityNode** Entity)
{
    PAGED_CODE();
    *Entity = nullptr;
    if (!Descriptor || Length < 3)
    {
        return STATUS_INVALID_PARAMETER;
    }
    switch (Descriptor[2])
    {
    case USB_AUDIO_AC_INPUT_TERMINAL:
        return audiowalk::CreateWalkEntity<CUac1InputTerminal>(
            VARIANT_D_ENTITY_POOL_TAG, Index, Entity, Descriptor, Length, DeviceUnknown, Common, DeviceLock);
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
        return audiowalk::CreateWalkEntity<CUac1OutputTerminal>(
            VARIANT_D_ENTITY_POOL_TAG, Index, Entity, Descriptor, Length, DeviceUnknown, Common, DeviceLock);
    case USB_AUDIO_AC_MIXER_UNIT:
        return audiowalk::CreateWalkEntity<CUac1MixerUnit>(VARIANT_D_ENTITY_POOL_TAG, Index, Entity,
                                                           Descriptor, Length, DeviceUnknown, Common);
    case USB_AUDIO_AC_SELECTOR_UNIT:
        return audiowalk::CreateWalkEntity<CUac1SelectorUnit>(
            VARIANT_D_ENTITY_POOL_TAG, Index, Entity, Descriptor, Length, DeviceUnknown, Common, DeviceLock);
    case USB_AUDIO_AC_FEATURE_UNIT:
        return audiowalk::CreateWalkEntity<CVariantDFeatureUnit>(
            VARIANT_D_ENTITY_POOL_TAG, Index, Entity, Descriptor, Length, DeviceUnknown, Common, DeviceLock);
    default:
        DbgPrint("CVariantDDevice: audio-control descriptor subtype %u is no entity this device may have\n",
                 ULONG(Descriptor[2]));
        return STATUS_UNSUCCESSFUL;
    }
}

NTSTATUS CreateVariantDRenderStream(UCHAR InterfaceNumber, ULONG PinNodeId, PUNKNOWN DeviceUnknown,
                                    CUsbAudioStream** Stream)
{
    PAGED_CODE();
    CVariantDStream* pStream = NewVariantDStream(InterfaceNumber, PinNodeId, VARIANT_D_ENTITY_POOL_TAG);
    *Stream = pStream;
    if (!pStream)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return pStream->Init(STREAM_DIRECTION_RENDER, DeviceUnknown);
}
