// Content forwarding of the stand-in port-class library. No rights-management system runs here:
// a well-formed forward is accepted and every call is kept in order for the tests.
#include "pc_drm.h"

#include "plat_portcls.h"

#include <mutex>

namespace
{

std::mutex g_forwardLock;
std::vector<plat::PcContentForward> g_forwards;

} // namespace

NTSTATUS PcForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PCDRMFORWARD DrmForward)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (!DrmForward || Reserved || DrmForward->Flags != 0 || !DrmForward->DeviceObject)
    {
        status = STATUS_INVALID_PARAMETER;
    }
    plat::PcContentForward entry;
    entry.ContentId = ContentId;
    entry.Reserved = Reserved;
    entry.HadRecord = DrmForward != nullptr;
    if (DrmForward)
    {
        entry.Record = *DrmForward;
    }
    entry.Status = status;
    std::lock_guard<std::mutex> lock(g_forwardLock);
    g_forwards.push_back(entry);
    return status;
}

namespace plat
{

std::vector<PcContentForward> PcContentForwards()
{
    std::lock_guard<std::mutex> lock(g_forwardLock);
    return g_forwards;
}

void PcClearContentForwards()
{
    std::lock_guard<std::mutex> lock(g_forwardLock);
    g_forwards.clear();
}

} // namespace plat
