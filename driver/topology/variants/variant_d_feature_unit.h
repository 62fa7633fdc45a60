// CVariantDFeatureUnit: every feature unit of a variant-D device. Its requests are the class-1
// unit's; its control builder makes the vendor controls 139 and 140 the variant's own effect
// nodes, which carry the software effects of the model's render stream.
#pragma once

#include "driver/topology/uac1/uac1_feature_unit.h"

// PASSIVE_LEVEL throughout, as the class-1 unit.
class CVariantDFeatureUnit : public CUac1FeatureUnit
{
public:
    CVariantDFeatureUnit(PUNKNOWN UnknownOuter, ULONG Id) : CUac1FeatureUnit(UnknownOuter, Id) {}

    // Mute first (a unit without one is refused with STATUS_NOT_SUPPORTED), then each
    // announced level and switch control, then the two effect controls; every node is numbered
    // from the device's node count and joins the device's node list and the unit's children.
    // A unit with both effect controls pairs their nodes.
    STDMETHODIMP_(NTSTATUS) BuildFeatureControls(IAdapterCommon* AdapterCommon) override;
};
