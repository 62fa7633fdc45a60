// CUsbMixerNode: set-up from the mixer entity.
#include "driver/topology/nodes/usb_mixer_node.h"

NTSTATUS CUsbMixerNode::InitMixerNode(ITopologyNode* Owner)
{
    PAGED_CODE();
    if (!Owner)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = Owner->GetSourceCount();
    if (count == 0)
    {
        return SetSourceIdList(0, nullptr);
    }
    if (count > MAXULONG / sizeof(ULONG))
    {
        return STATUS_INVALID_PARAMETER;
    }
    PULONG pIds =
        static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, count * sizeof(ULONG), USB_MIXER_NODE_POOL_TAG));
    if (!pIds)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pIds, count * sizeof(ULONG));
    NTSTATUS status = SetSourceIdList(count, pIds);
    ExFreePoolWithTag(pIds, USB_MIXER_NODE_POOL_TAG);
    return status;
}
