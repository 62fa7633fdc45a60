// CVariantDDevice: the effects model. A class-1 function whose feature units carry the two
// vendor effect controls (their nodes run the tapped delay and the headphone virtualiser on the
// render stream), whose render streams pack the effects' stereo output for the device, and
// whose capability values follow its model code (5 or 6, from the identification string).
#pragma once

#include "driver/function/variants/variant_device.h"

// The object itself; its entities and streams take the class-1 tag.
#define VARIANT_D_POOL_TAG MAKE_POOL_TAG('8', '1', '7', '7')

// PASSIVE_LEVEL throughout, as CUac1Device.
class CVariantDDevice : public CVariantDevice
{
public:
    CVariantDDevice(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId, ULONG ModelCode);

    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) override;
    // The model's capability row, then the walks and PostInit; a model code other than 5 or
    // 6 is refused with STATUS_UNSUCCESSFUL before anything is walked.
    STDMETHODIMP_(NTSTATUS) InitHardware() override;

    ULONG GetModelCode() const { return m_ModelCode; }

protected:
    NTSTATUS CreateVariantEntity(PUCHAR Descriptor, ULONG Length, ULONG Index,
                                 CUsbEntityNode** Entity) override;
    NTSTATUS CreateRenderStreamObject(UCHAR InterfaceNumber, ULONG PinNodeId,
                                      CUsbAudioStream** Stream) override;

private:
    ULONG m_ModelCode;
};

// Allocates the object (non-paged, "8177") aggregated into UnknownOuter and hands out its
// non-delegating unknown with one reference. PASSIVE_LEVEL.
NTSTATUS CreateVariantDDevice(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId,
                              ULONG ModelCode);
