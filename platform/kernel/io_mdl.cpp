// Memory descriptor lists of the stand-in. There is one address space, so an MDL describes the
// caller's memory in place; a user-mode mapping gives the simulated client process the very
// same addresses and is recorded until it is unmapped, so that tests can see it undone.
#include "io_internal.h"

#include "plat_fatal.h"
#include "plat_io.h"
#include "pool.h"

#include <map>

namespace
{

constexpr ULONG kMdlTag = MAKE_POOL_TAG('M', 'd', 'l', ' ');
constexpr ULONG_PTR kPageMask = 0xFFF;

// MDL -> number of user mappings of it. Guarded by plat::io::Lock().
std::map<PMDL, SIZE_T>& UserMappings()
{
    static auto* mappings = new std::map<PMDL, SIZE_T>;
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
        count += entry.second;
    return count;
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
                        static_cast<void*>(Mdl), static_cast<size_t>(it->second));
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
        ++UserMappings()[MemoryDescriptorList];
        return MmGetMdlVirtualAddress(MemoryDescriptorList);
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
        if (--it->second == 0)
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
