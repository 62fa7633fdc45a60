// CVariantASelectorUnit: the jack-sensing model's record selector. The chip numbers the record
// sources by what they are (microphone 1, line 2, S/PDIF 3, stereo mix 4), not by their place
// among the selector's inputs, which the configuration rewrite changes.
#pragma once

#include "driver/topology/uac1/uac1_selector_unit.h"

// PASSIVE_LEVEL throughout.
class CVariantASelectorUnit : public CUac1SelectorUnit
{
public:
    CVariantASelectorUnit(PUNKNOWN UnknownOuter, ULONG Id);

    // The class-1 builder, then each input's device code from the unit it names.
    NTSTATUS BuildSelectorNode(IAdapterCommon* AdapterCommon) override;
    // The input whose code the device reports; a code no input has is put right (input 1).
    STDMETHODIMP_(NTSTATUS) GetSelectedInput(PULONG Input) override;
    STDMETHODIMP_(NTSTATUS) SetSelectedInput(ULONG Input) override;

    // Inputs past this many keep code 0.
    static constexpr ULONG MAX_CODED_INPUTS = 8;

private:
    UCHAR m_Codes[MAX_CODED_INPUTS];
};
