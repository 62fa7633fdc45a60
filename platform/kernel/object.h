// Object manager of the stand-in: reference-counted objects with a hidden header before the
// body (so a PKEVENT or PKTHREAD handed to the driver is the body itself), and one handle
// table that resolves kernel handles and the client process's user handles.
#pragma once

#include "ntdef.h"

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define MAXIMUM_ALLOWED 0x02000000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL

// What ObReferenceObjectByHandle reports through its HandleInformation argument.
typedef struct _OBJECT_HANDLE_INFORMATION
{
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

// An object type: its name (for diagnostics) and what happens when the last reference goes.
typedef struct _OBJECT_TYPE
{
    const char* Name;
    VOID (*DeleteProcedure)(PVOID Body); // may be null; runs before the memory is released
    VOID (*CloseProcedure)(PVOID Body);  // may be null; runs when a handle to it is closed
} OBJECT_TYPE, *POBJECT_TYPE;

extern POBJECT_TYPE ExEventObjectType;
extern POBJECT_TYPE ExCallbackObjectType;
extern POBJECT_TYPE PsThreadType;
extern POBJECT_TYPE IoFileObjectType;
extern POBJECT_TYPE IoDeviceObjectType;

// As on the target: a null ObjectType accepts any type; the granted access is checked against
// DesiredAccess only for UserMode requests (kernel-mode callers are trusted), and a UserMode
// request cannot resolve a kernel handle (STATUS_INVALID_HANDLE).
NTKERNELAPI NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                               POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                               PVOID* Object, PVOID HandleInformation);
NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID Object);
// Takes a reference unless the object is already on its way to deletion (count zero).
NTKERNELAPI BOOLEAN ObReferenceObjectSafe(PVOID Object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
// PASSIVE_LEVEL. Makes an object created with OBJ_PERMANENT temporary, so that its last
// dereference deletes it and its name. The stand-in keeps no object beyond its last reference
// (OBJ_PERMANENT is accepted and ignored), so there is nothing to change.
FORCEINLINE VOID ObMakeTemporaryObject(PVOID Object)
{
    (void)Object;
}
// Closes a kernel or user handle of any type: the type's CloseProcedure runs, then the handle's
// reference is dropped (which deletes the object when it was the last).
NTKERNELAPI NTSTATUS ZwClose(HANDLE Handle);

namespace plat
{

// Creates an object of `Type` whose body is `BodySize` zeroed bytes; one reference is held by
// the caller. The body address is what the driver sees (PKEVENT, PKTHREAD, PFILE_OBJECT, ...).
PVOID ObCreateObject(POBJECT_TYPE Type, SIZE_T BodySize);

// Enters a referenced object in the handle table (the handle holds its own reference).
// The caller's reference is not consumed: drop it with ObDereferenceObject when the handle
// is to be the only owner. GENERIC_ALL in GrantedAccess grants every right.
// User-mode handles belong to the simulated client process and are refused for KernelMode
// access checks only where the platform would refuse them.
NTSTATUS ObInsertHandle(PVOID Body, ACCESS_MASK GrantedAccess, KPROCESSOR_MODE Mode, PHANDLE Handle);

// The type of an object created by ObCreateObject, or null for memory the platform does not manage.
POBJECT_TYPE ObGetObjectType(PVOID Body);

// Number of live objects of a type (or, for null, of every type but processes, which live as long
// as the platform): tests assert none outlive a test.
SIZE_T ObLiveObjectCount(POBJECT_TYPE Type);

// Number of open handles (kernel and user) that refer to objects of a type (null: any type).
SIZE_T ObOpenHandleCount(POBJECT_TYPE Type);

// Reference count of a managed object (for tests).
LONG_PTR ObReferenceCount(PVOID Body);

} // namespace plat
