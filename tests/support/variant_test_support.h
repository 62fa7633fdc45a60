// Rig of the model-variant tests: the class-1 rig on a bare adapter whose creators are the
// built-in ones, except that each variant creator also keeps the object it made, so a test can
// reach the variant's entities (variants B and C answer no IUsbAudioFunction).
#pragma once

#include "support/uac1_test_support.h"

#include "driver/function/variants/variant_a_device.h"
#include "driver/function/variants/variant_device.h"
#include "driver/topology/nodes/feature_unit_if.h"

namespace vt
{

// The variant object made last, without a reference of the test's own.
inline CVariantDevice*& LastVariant()
{
    static CVariantDevice* created = nullptr;
    return created;
}

template <NTSTATUS (*Create)(PUNKNOWN*, PUNKNOWN, USHORT, USHORT)>
NTSTATUS KeepingCreator(PUNKNOWN* unknown, PUNKNOWN outer, USHORT vendor, USHORT product)
{
    NTSTATUS status = Create(unknown, outer, vendor, product);
    LastVariant() = nullptr;
    PADAPTERCOMMON common = nullptr;
    if (NT_SUCCESS(status) &&
        NT_SUCCESS((*unknown)->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&common))))
    {
        LastVariant() = static_cast<CVariantDevice*>(static_cast<CAudioHal*>(common));
        common->Release();
    }
    return status;
}

inline const AudioFunctionCreators* KeepingCreators()
{
    static AudioFunctionCreators creators = *UsbDeviceAudioFunctionCreators();
    creators.VariantA = KeepingCreator<CreateVariantADevice>;
    creators.VariantB = KeepingCreator<CreateVariantBDevice>;
    creators.VariantC = KeepingCreator<CreateVariantCDevice>;
    return &creators;
}

class VariantRig : public u1t::Uac1Rig
{
protected:
    VariantRig() : u1t::Uac1Rig() { m_Options = rig::BareAdapter(KeepingCreators()); }

    CVariantDevice* Variant() { return LastVariant(); }
    CVariantADevice* VariantA() { return static_cast<CVariantADevice*>(LastVariant()); }

    CUsbEntityNode* Entity(ULONG id)
    {
        CUsbEntityNode* entity = nullptr;
        EXPECT_EQ(Variant()->FindChildById(id, &entity), STATUS_SUCCESS) << "entity " << id;
        return entity;
    }
    template <typename TInterface> TInterface* EntityAs(ULONG id, REFIID iid)
    {
        TInterface* result = nullptr;
        CUsbEntityNode* entity = Entity(id);
        if (entity && NT_SUCCESS(static_cast<ITopologyNode*>(entity)->QueryInterface(
                          iid, reinterpret_cast<PVOID*>(&result))))
            result->Release();
        return result;
    }
    // The control node of Kind that entity Id built.
    ITopologyNode* ChildOfKind(ULONG id, ULONG kind)
    {
        CUsbEntityNode* entity = Entity(id);
        ULONG count = 0;
        if (!entity || !NT_SUCCESS(entity->GetChildCount(&count)))
            return nullptr;
        for (ULONG i = 0; i < count; ++i)
        {
            ITopologyNode* node = nullptr;
            if (NT_SUCCESS(entity->GetChildAt(i, &node)) && node->GetKind() == kind)
                return node;
        }
        return nullptr;
    }
    template <typename TInterface> TInterface* NodeAs(ITopologyNode* node, REFIID iid)
    {
        TInterface* result = nullptr;
        if (node && NT_SUCCESS(node->QueryInterface(iid, reinterpret_cast<PVOID*>(&result))))
            result->Release();
        return result;
    }
};

} // namespace vt
