// Memory descriptor lists of the stand-in. There is one address space, so an MDL describes the
// caller's memory in place; a user-mode mapping gives the simulated client process the very
// same addresses and is recorded until it is unmapped, so that tests can see it undone. As on
// the target, the process sees whole pages: the view reaches from the first page the MDL
// touches to the end of its last one, whatever else those pages hold. The view belongs to the
// process that mapped it, and only that process can unmap it.
#include "io_internal.h"

#include "plat_fatal.h"
#include "plat_io.h"
#include "pool.h"

#include <algorithm>
#include <map>
#include <vector>

namespace
{

constexpr ULONG kMdlTag = MAKE_POOL_TAG('M', 'd', 'l', ' ');
constexpr ULONG_PTR kPageMask = 0xFFF;

// MDL -> its user views, oldest first. Guarded by plat::io::Lock().
std::map<PMDL, std::vector<plat::UserMapping>>& UserMappings()
{
    static auto* mappings = new std::map<PMDL, std::vector<plat::UserMapping>>;
    return *mappings;
}

} // namespace

namespace plat
{

SIZE_T MmUserMappingCount()
{
    std::lock_guard<std::mutex> lock(io::Lock());
    SIZE_T count = 0;
    for (const auto& entry : UserMappings())
        count += entry.second.size();
    return count;
}

std::vector<UserMapping> MmUserMappings()
{
    std::lock_guard<std::mutex> lock(io::Lock());
    std::vector<UserMapping> all;
    for (const auto& entry : UserMappings())
        all.insert(all.end(), entry.second.begin(), entry.second.end());
    return all;
}

} // namespace plat

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    plat::io::CheckAtMostDispatch("IoAllocateMdl");
    if (Length == 0)
        return nullptr;
    auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
    if (mdl == nullptr)
        return nullptr;
    ULONG_PTR va = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    *mdl = MDL{};
    mdl->Size = CSHORT(sizeof(MDL));
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~kPageMask);
    mdl->ByteOffset = ULONG(va & kPageMask);
    mdl->ByteCount = Length;
    if (Irp)
    {
        if (!SecondaryBuffer || Irp->MdlAddress == nullptr)
        {
            Irp->MdlAddress = mdl;
        }
        else
        {
            PMDL last = Irp->MdlAddress;
            while (last->Next)
                last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl)
{
    plat::io::CheckAtMostDispatch("IoFreeMdl");
    {
        std::lock_guard<std::mutex> lock(plat::io::Lock());
        auto it = UserMappings().find(Mdl);
        if (it != UserMappings().end())
            plat::Fatal("IoFreeMdl: MDL %p is still mapped into the client process (%zu mappings)",
                        static_cast<void*>(Mdl), static_cast<size_t>(it->second.size()));
    }
    ExFreePoolWithTag(Mdl, kMdlTag);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE,
                                   PVOID, ULONG, ULONG)
{
    if (AccessMode == UserMode)
    {
        plat::io::CheckAtMostDispatch("MmMapLockedPagesSpecifyCache");
        std::lock_guard<std::mutex> lock(plat::io::Lock());
        const ULONG_PTR start = reinterpret_cast<ULONG_PTR>(MemoryDescriptorList->StartVa);
        const ULONG_PTR end = (reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(MemoryDescriptorList)) +
                               MemoryDescriptorList->ByteCount + kPageMask) &
                              ~kPageMask;
        plat::UserMapping view;
        view.Mdl = MemoryDescriptorList;
        view.Address = MmGetMdlVirtualAddress(MemoryDescriptorList);
        view.ViewStart = reinterpret_cast<PVOID>(start);
        view.ViewBytes = end - start;
        view.ProcessId = plat::PsCurrentProcessId();
        UserMappings()[MemoryDescriptorList].push_back(view);
        return view.Address;
    }
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    return MemoryDescriptorList->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    std::lock_guard<std::mutex> lock(plat::io::Lock());
    auto it = UserMappings().find(MemoryDescriptorList);
    if (it != UserMappings().end())
    {
        if (BaseAddress != MmGetMdlVirtualAddress(MemoryDescriptorList))
            plat::Fatal("MmUnmapLockedPages: %p is not where MDL %p was mapped", BaseAddress,
                        static_cast<void*>(MemoryDescriptorList));
        // A user view exists only in the address space of its process: unmapping it from any
        // other context would tear down whatever that process has at the address.
        std::vector<plat::UserMapping>& views = it->second;
        auto own = std::find_if(views.begin(), views.end(),
                                [](const plat::UserMapping& v)
                                { return v.ProcessId == plat::PsCurrentProcessId(); });
        if (own == views.end())
            plat::Fatal("MmUnmapLockedPages: MDL %p was mapped into process %u, but the unmap runs in "
                        "process %u",
                        static_cast<void*>(MemoryDescriptorList), views.front().ProcessId,
                        plat::PsCurrentProcessId());
        views.erase(own);
        if (views.empty())
            UserMappings().erase(it);
        return;
    }
    if (!(MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA))
        plat::Fatal("MmUnmapLockedPages: MDL %p has no mapping at %p",
                    static_cast<void*>(MemoryDescriptorList), BaseAddress);
    MemoryDescriptorList->MdlFlags &= ~CSHORT(MDL_MAPPED_TO_SYSTEM_VA);
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG)
{
    if (Mdl->MappedSystemVa == nullptr)
    {
        Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
        Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return Mdl->MappedSystemVa;
}
