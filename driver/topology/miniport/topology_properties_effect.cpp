// The effect nodes' properties: the enable switch through the audio set, and the effect's name
// and parameters through the effect-node set. Every reply is sized before anything is written,
// and a parameter range the node does not have is refused before the node is asked.
#include "driver/topology/miniport/topology_properties.h"

namespace
{

// Instances of the effect-node set: a parameter index, a run of parameters, and the run with
// its new values behind it.
struct EffectParameterIndex
{
    ULONG Index;
};
struct EffectParameterRun
{
    ULONG First;
    ULONG Count;
};

constexpr ULONG kParameterInfoBytes = 3 * sizeof(ULONG);
constexpr ULONG kMaxParameterRun = (MAXULONG - sizeof(KSMULTIPLE_ITEM)) / sizeof(ULONG);

// First and Count name parameters the node has; computed wide so that no sum wraps.
BOOLEAN RunFits(ULONG First, ULONG Count, ULONG ParameterCount)
{
    return ULONGLONG(First) + ULONGLONG(Count) <= ULONGLONG(ParameterCount);
}

} // namespace

NTSTATUS CMiniportTopology::PropertyEffectNode(PPCPROPERTY_REQUEST Request)
{
    PAGED_CODE();
    BOOLEAN audioSet = IsSet(Request, KSPROPSETID_Audio);
    if (!audioSet && !IsSet(Request, KSPROPSETID_EffectNode))
    {
        return STATUS_UNSUCCESSFUL;
    }
    auto handle = [&](IEffectNode* pEffect)
    {
        ULONG parameterCount = 0;
        NTSTATUS status = pEffect->GetParameterCount(&parameterCount);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (audioSet)
        {
            return EffectEnable(Request, pEffect);
        }
        if (IsGet(Request))
        {
            return EffectGet(Request, pEffect, parameterCount);
        }
        if (IsSetVerb(Request) && Request->PropertyItem->Id == KSPROPERTY_EFFECTNODE_PARAMETERS)
        {
            return EffectSetParameters(Request, pEffect, parameterCount);
        }
        return STATUS_INVALID_PARAMETER;
    };
    return OnNode<IEffectNode>(Request, IID_IEffectNode, nullptr, handle);
}

// The effect's on/off switch, a byte in the node, a 32-bit value outward.
NTSTATUS CMiniportTopology::EffectEnable(PPCPROPERTY_REQUEST Request, IEffectNode* Effect)
{
    PAGED_CODE();
    if (Request->PropertyItem->Id != KSPROPERTY_AUDIO_DEV_SPECIFIC)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsBasicSupport(Request))
    {
        return PropertyValueListSupport(Request, VT_BOOL, KSPROPSETID_EffectNode);
    }
    if (!RequestHasValue(Request, sizeof(ULONG)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (IsGet(Request))
    {
        *static_cast<PULONG>(Request->Value) = 0;
        status = Effect->GetEnable(static_cast<PUCHAR>(Request->Value));
    }
    else if (IsSetVerb(Request))
    {
        status = Effect->SetEnable(*static_cast<PUCHAR>(Request->Value));
    }
    if (NT_SUCCESS(status))
    {
        Request->ValueSize = sizeof(ULONG);
    }
    return status;
}

// Every reply is checked against its own size first, so a short buffer is never written past.
NTSTATUS CMiniportTopology::EffectGet(PPCPROPERTY_REQUEST Request, IEffectNode* Effect, ULONG ParameterCount)
{
    PAGED_CODE();
    NTSTATUS status;
    switch (Request->PropertyItem->Id)
    {
    case KSPROPERTY_EFFECTNODE_NAME:
    {
        status = CheckReplySize(Request, sizeof(GUID));
        if (NT_SUCCESS(status))
        {
            GUID name = {};
            status = Effect->GetNameGuid(&name);
            RtlCopyMemory(Request->Value, &name, sizeof(name));
        }
        break;
    }
    case KSPROPERTY_EFFECTNODE_PARAMETER_COUNT:
        status = PropertyU32Reply(Request, ParameterCount);
        break;
    case KSPROPERTY_EFFECTNODE_PARAMETER_INFO:
    {
        if (!RequestHasInstance(Request, sizeof(EffectParameterIndex)) ||
            static_cast<EffectParameterIndex*>(Request->Instance)->Index >= ParameterCount)
        {
            return STATUS_INVALID_PARAMETER;
        }
        status = CheckReplySize(Request, kParameterInfoBytes);
        if (NT_SUCCESS(status))
        {
            // No effect node describes its parameters: the slot where one would is the
            // node's spare, which takes no arguments and which every node refuses.
            status = Effect->Spare();
            if (NT_SUCCESS(status))
            {
                status = STATUS_NOT_IMPLEMENTED;
            }
        }
        break;
    }
    case KSPROPERTY_EFFECTNODE_PARAMETERS:
        status = EffectParametersReply(Request, Effect, ParameterCount);
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL)
    {
        Request->ValueSize = 0;
    }
    return status;
}

// A KSMULTIPLE_ITEM and the values of the run the instance names.
NTSTATUS CMiniportTopology::EffectParametersReply(PPCPROPERTY_REQUEST Request, IEffectNode* Effect,
                                                  ULONG ParameterCount)
{
    PAGED_CODE();
    if (!RequestHasInstance(Request, sizeof(EffectParameterRun)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    EffectParameterRun run = *static_cast<EffectParameterRun*>(Request->Instance);
    if (run.Count > kMaxParameterRun || !RunFits(run.First, run.Count, ParameterCount))
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG size = ULONG(sizeof(KSMULTIPLE_ITEM)) + run.Count * ULONG(sizeof(ULONG));
    NTSTATUS status = CheckReplySize(Request, size);
    if (NT_SUCCESS(status))
    {
        KSMULTIPLE_ITEM header = {size, run.Count};
        RtlCopyMemory(Request->Value, &header, sizeof(header));
        PULONG pValues = reinterpret_cast<PULONG>(static_cast<PUCHAR>(Request->Value) + sizeof(header));
        status = Effect->GetParameters(run.First, run.Count, pValues);
    }
    return status;
}

// The instance carries the run and exactly its values; anything else is malformed.
NTSTATUS CMiniportTopology::EffectSetParameters(PPCPROPERTY_REQUEST Request, IEffectNode* Effect,
                                                ULONG ParameterCount)
{
    PAGED_CODE();
    if (!RequestHasInstance(Request, sizeof(EffectParameterRun) + sizeof(ULONG)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    EffectParameterRun run = *static_cast<EffectParameterRun*>(Request->Instance);
    if (run.Count == 0 || run.Count > kMaxParameterRun ||
        Request->InstanceSize != sizeof(EffectParameterRun) + run.Count * sizeof(ULONG) ||
        !RunFits(run.First, run.Count, ParameterCount))
    {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG* pValues = reinterpret_cast<const ULONG*>(static_cast<const UCHAR*>(Request->Instance) +
                                                          sizeof(EffectParameterRun));
    return Effect->SetParameters(run.First, run.Count, pValues);
}
