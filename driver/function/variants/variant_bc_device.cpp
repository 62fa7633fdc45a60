// Variants B and C: their creation, capability values and entity classes. Both keep every
// other class-1 behaviour (status thread, streams, power).
#include "driver/function/variants/variant_device.h"

#include "driver/function/function_object.h"
#include "usbaudio.h"
#include "driver/topology/uac1/uac1_feature_unit.h"
#include "driver/topology/uac1/uac1_mixer_unit.h"
#include "driver/topology/uac1/uac1_selector_unit.h"
#include "driver/topology/variants/variant_feature_unit.h"
#include "driver/topology/variants/variant_terminals.h"

namespace
{

constexpr ULONG VARIANT_B_MASK = 0x3FE02F;
constexpr ULONG VARIANT_B_EXTRA = 12;
constexpr ULONG VARIANT_C_MASK = 0xF;
constexpr ULONG VARIANT_C_MASK_24 = 0x24;

// The unit ids whose feature units convert levels their own way.
constexpr UCHAR UNIT_MAIN_VOLUME = 9;
constexpr UCHAR VARIANT_B_TRIM_FIRST = 10;
constexpr UCHAR VARIANT_B_TRIM_LAST = 12;
constexpr UCHAR VARIANT_B_GAIN_FIRST = 13;
constexpr UCHAR VARIANT_B_GAIN_LAST = 14;
constexpr UCHAR VARIANT_C_PLAIN_UNIT = 10;
constexpr UCHAR VARIANT_C_GAIN_UNIT = 13;

// VARIANT_QUIRK_TERMINAL6_IS_HEADPHONES: this terminal, when declared a speaker.
constexpr UCHAR HEADPHONE_TERMINAL_ID = 6;

// The class-1 entities the variants keep for mixers and selectors.
template <typename TEntity>
NTSTATUS InitUnit(TEntity* Entity, PUCHAR Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* Common)
{
    return Entity ? Entity->Init(Descriptor, Length, Device, Common) : STATUS_INSUFFICIENT_RESOURCES;
}

} // namespace

NTSTATUS CreateVariantBDevice(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
{
    return CreateFunctionObject<CVariantBDevice>(VARIANT_B_POOL_TAG, Unknown, UnknownOuter, VendorId,
                                                 ProductId);
}

NTSTATUS CreateVariantCDevice(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
{
    return CreateFunctionObject<CVariantCDevice>(VARIANT_C_POOL_TAG, Unknown, UnknownOuter, VendorId,
                                                 ProductId);
}

// ---- Variant B ----

CVariantBDevice::CVariantBDevice(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
    : CVariantDevice(UnknownOuter, VendorId, ProductId, VARIANT_B_POOL_TAG)
{
}

STDMETHODIMP_(NTSTATUS) CVariantBDevice::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    return QueryAdapterInterfaces(InterfaceId, Interface);
}

STDMETHODIMP_(NTSTATUS) CVariantBDevice::InitHardware()
{
    PAGED_CODE();
    return StartVariantHardware(VARIANT_B_MASK, VARIANT_B_EXTRA);
}

NTSTATUS CVariantBDevice::CreateVariantEntity(PUCHAR Descriptor, ULONG Length, ULONG Index,
                                              CUsbEntityNode** Entity)
{
    PAGED_CODE();
    const UCHAR id = Descriptor[3];
    switch (Descriptor[2])
    {
    case USB_AUDIO_AC_INPUT_TERMINAL:
        return CreateLockedEntity<CVariantBInputTerminal>(Descriptor, Length, Index, Entity);
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
        return CreateLockedEntity<CVariantBOutputTerminal>(Descriptor, Length, Index, Entity);
    case USB_AUDIO_AC_MIXER_UNIT:
        return InitUnit(NewEntity<CUac1MixerUnit>(Index, Entity), Descriptor, Length, DeviceUnknown(),
                        Common());
    case USB_AUDIO_AC_SELECTOR_UNIT:
        return CreateLockedEntity<CUac1SelectorUnit>(Descriptor, Length, Index, Entity);
    default:
        break;
    }
    if (id == UNIT_MAIN_VOLUME)
    {
        return CreateLockedEntity<CVariantBFeatureUnit1>(Descriptor, Length, Index, Entity);
    }
    if (id >= VARIANT_B_TRIM_FIRST && id <= VARIANT_B_TRIM_LAST)
    {
        return CreateLockedEntity<CVariantBFeatureUnit3>(Descriptor, Length, Index, Entity);
    }
    if (id >= VARIANT_B_GAIN_FIRST && id <= VARIANT_B_GAIN_LAST)
    {
        return CreateLockedEntity<CVariantBFeatureUnit2>(Descriptor, Length, Index, Entity);
    }
    return CreateLockedEntity<CUac1FeatureUnit>(Descriptor, Length, Index, Entity);
}

// ---- Variant C ----

CVariantCDevice::CVariantCDevice(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
    : CVariantDevice(UnknownOuter, VendorId, ProductId, VARIANT_C_POOL_TAG)
{
}

STDMETHODIMP_(NTSTATUS) CVariantCDevice::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    return QueryAdapterInterfaces(InterfaceId, Interface);
}

STDMETHODIMP_(NTSTATUS) CVariantCDevice::InitHardware()
{
    PAGED_CODE();
    return StartVariantHardware(
        (m_VariantQuirks & VARIANT_QUIRK_C_MASK_24) ? VARIANT_C_MASK_24 : VARIANT_C_MASK, 0);
}

NTSTATUS CVariantCDevice::CreateVariantEntity(PUCHAR Descriptor, ULONG Length, ULONG Index,
                                              CUsbEntityNode** Entity)
{
    PAGED_CODE();
    const UCHAR id = Descriptor[3];
    switch (Descriptor[2])
    {
    case USB_AUDIO_AC_INPUT_TERMINAL:
        return CreateLockedEntity<CVariantCInputTerminal>(Descriptor, Length, Index, Entity);
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
    {
        // The driver's own copy of the configuration is amended, so the streams and the
        // topology see headphones too.
        if ((m_VariantQuirks & VARIANT_QUIRK_TERMINAL6_IS_HEADPHONES) && id == HEADPHONE_TERMINAL_ID &&
            USHORT(Descriptor[4] | Descriptor[5] << 8) == USB_AUDIO_TERMINAL_SPEAKER)
        {
            Descriptor[4] = UCHAR(USB_AUDIO_TERMINAL_HEADPHONES & 0xFF);
            Descriptor[5] = UCHAR(USB_AUDIO_TERMINAL_HEADPHONES >> 8);
        }
        return CreateLockedEntity<CVariantCOutputTerminal>(Descriptor, Length, Index, Entity);
    }
    case USB_AUDIO_AC_MIXER_UNIT:
        return InitUnit(NewEntity<CUac1MixerUnit>(Index, Entity), Descriptor, Length, DeviceUnknown(),
                        Common());
    case USB_AUDIO_AC_SELECTOR_UNIT:
        return CreateLockedEntity<CUac1SelectorUnit>(Descriptor, Length, Index, Entity);
    default:
        break;
    }
    if (id == UNIT_MAIN_VOLUME)
    {
        return CreateLockedEntity<CVariantCFeatureUnit1>(Descriptor, Length, Index, Entity);
    }
    if (id == VARIANT_C_PLAIN_UNIT)
    {
        return CreateLockedEntity<CVariantCFeatureUnit3>(Descriptor, Length, Index, Entity);
    }
    if (id == VARIANT_C_GAIN_UNIT)
    {
        return CreateLockedEntity<CVariantCFeatureUnit2>(Descriptor, Length, Index, Entity);
    }
    return CreateLockedEntity<CUac1FeatureUnit>(Descriptor, Length, Index, Entity);
}
