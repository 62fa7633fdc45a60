// CUac2SelectorUnit: a class-2 selector unit: the class-1 unit with its selected input read and
// written as the unit's CUR control 1.
#pragma once

#include "driver/topology/uac1/uac1_selector_unit.h"

// PASSIVE_LEVEL throughout.
class CUac2SelectorUnit : public CUac1SelectorUnit
{
public:
    CUac2SelectorUnit(PUNKNOWN UnknownOuter, ULONG Id) : CUac1SelectorUnit(UnknownOuter, Id) {}

    STDMETHODIMP_(NTSTATUS) GetSelectedInput(PULONG Input) override;
    STDMETHODIMP_(NTSTATUS) SetSelectedInput(ULONG Input) override;
};

// CUac2GenericUnit: a class-2 mixer or extension unit. Its only node is a mixer node with one
// source slot per input of the unit; the unit's own controls are not exposed.
class CUac2GenericUnit : public CUsbEntityNode
{
public:
    CUac2GenericUnit(PUNKNOWN UnknownOuter, ULONG Id) : CUsbEntityNode(UnknownOuter, Id) {}

    // As CUac1MixerUnit::Init, for a class-2 mixer-unit or extension-unit descriptor.
    NTSTATUS InitMixer(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon);
    NTSTATUS InitExtension(const VOID* Descriptor, ULONG Length, PUNKNOWN Device,
                           IAdapterCommon* AdapterCommon);

    NTSTATUS BuildMixerNode(IAdapterCommon* AdapterCommon);
    NTSTATUS BuildExtensionNode(IAdapterCommon* AdapterCommon);

private:
    NTSTATUS InitUnit(const VOID* Descriptor, ULONG Length, PUNKNOWN Device, IAdapterCommon* AdapterCommon,
                      UCHAR Subtype);
    // Sources: Count at byte PinCountOffset, the ids after it.
    NTSTATUS BuildUnitNode(IAdapterCommon* AdapterCommon, ULONG Kind, ULONG PinCountOffset);
};
