// The model variants' audio function objects: class-1 functions that walk their audio-control
// descriptors into entity classes of their own and carry their own capability values. This
// header holds what the variants share (the entity walk) and variants B and C; variant A has
// its own header.
#pragma once

#include "driver/function/audio_descriptor_walk.h"
#include "driver/function/uac1/uac1_device.h"

// The objects and their entities: variant A "8126", B "8142", C "8153".
#define VARIANT_A_POOL_TAG MAKE_POOL_TAG('8', '1', '2', '6')
#define VARIANT_B_POOL_TAG MAKE_POOL_TAG('8', '1', '4', '2')
#define VARIANT_C_POOL_TAG MAKE_POOL_TAG('8', '1', '5', '3')

// Per-device rules of the variants, looked up by vendor and product (variant_device_tables.cpp).
// Variant C: output terminal 6, declared a speaker, drives headphones; the walk amends the
// driver's copy of the descriptor so that every later reader sees headphones.
constexpr ULONG VARIANT_QUIRK_TERMINAL6_IS_HEADPHONES = 0x00000001;
// Variant C: the record's mask is 0x24 instead of 0xF.
constexpr ULONG VARIANT_QUIRK_C_MASK_24 = 0x00000002;

ULONG VariantDeviceQuirks(USHORT VendorId, USHORT ProductId);

// PASSIVE_LEVEL throughout, as CUac1Device.
class CVariantDevice : public CUac1Device
{
public:
    CVariantDevice(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId, ULONG EntityTag);

    // The audio-control walk: the class-1 framing with the variant's entity classes.
    STDMETHODIMP_(NTSTATUS)
    CreateTopologyNodes(PUSB_INTERFACE_DESCRIPTOR ControlInterface, ULONG Length) override;

protected:
    // One entity of subtype 2 to 6 at Descriptor (Length bytes from it), with the walk's
    // reference in *Entity; its initialisation status is returned.
    virtual NTSTATUS CreateVariantEntity(PUCHAR Descriptor, ULONG Length, ULONG Index,
                                         CUsbEntityNode** Entity) = 0;
    // Whether a source that names no entity fails the walk (else the link is left out).
    virtual BOOLEAN RequiresEveryWiredSource() { return FALSE; }

    // Allocates an entity of class TEntity from the variant's pool with a reference for the walk.
    template <typename TEntity> TEntity* NewEntity(ULONG Index, CUsbEntityNode** Entity)
    {
        return audiowalk::NewWalkEntity<TEntity>(m_nEntityTag, Index, Entity);
    }
    PUNKNOWN DeviceUnknown() { return static_cast<PUNKNOWN>(static_cast<PADAPTERCOMMON>(this)); }
    IAdapterCommon* Common() { return static_cast<PADAPTERCOMMON>(this); }
    // NewEntity, then the entity's Init with the device lock its nodes share; its status, or
    // STATUS_INSUFFICIENT_RESOURCES when the pool gave none.
    template <typename TEntity>
    NTSTATUS CreateLockedEntity(PUCHAR Descriptor, ULONG Length, ULONG Index, CUsbEntityNode** Entity)
    {
        TEntity* p = NewEntity<TEntity>(Index, Entity);
        return p ? p->Init(Descriptor, Length, DeviceUnknown(), Common(), &m_DeviceLock)
                 : STATUS_INSUFFICIENT_RESOURCES;
    }
    // The answers of B, C and D: no IUsbAudioFunction.
    NTSTATUS QueryAdapterInterfaces(REFIID InterfaceId, PVOID* Interface);
    // The walks and PostInit, each after the previous one succeeded.
    NTSTATUS RunWalks();
    // B's and C's hardware start: a device that answers IUsbDevice gets the endpoint capability
    // values Mask and Extra (the rest zero), then RunWalks.
    NTSTATUS StartVariantHardware(ULONG Mask, ULONG Extra);

    ULONG m_nEntityTag;
    ULONG m_VariantQuirks;

private:
    NTSTATUS WalkEntity(PUCHAR Descriptor, ULONG Length);
    NTSTATUS CheckWiredSources();
};

class CVariantBDevice : public CVariantDevice
{
public:
    CVariantBDevice(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) override;
    STDMETHODIMP_(NTSTATUS) InitHardware() override;

protected:
    NTSTATUS CreateVariantEntity(PUCHAR Descriptor, ULONG Length, ULONG Index,
                                 CUsbEntityNode** Entity) override;
};

class CVariantCDevice : public CVariantDevice
{
public:
    CVariantCDevice(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);

    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) override;
    STDMETHODIMP_(NTSTATUS) InitHardware() override;

protected:
    NTSTATUS CreateVariantEntity(PUCHAR Descriptor, ULONG Length, ULONG Index,
                                 CUsbEntityNode** Entity) override;
};

// Each allocates its object (non-paged, with the variant's tag) aggregated into UnknownOuter and
// hands out its non-delegating unknown with one reference. PASSIVE_LEVEL.
NTSTATUS CreateVariantBDevice(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
NTSTATUS CreateVariantCDevice(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId);
