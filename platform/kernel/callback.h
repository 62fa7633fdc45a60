// Kernel callback objects of the stand-in: named rendezvous points where drivers register
// functions and others notify them. Notification is synchronous in the notifier's context.
#pragma once

#include "ntdef.h"
#include "object.h"

typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef VOID CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

// PASSIVE_LEVEL. Opens the callback object named in ObjectAttributes (case-insensitively with
// OBJ_CASE_INSENSITIVE), or creates it when Create is TRUE; STATUS_OBJECT_NAME_NOT_FOUND when
// it does not exist and Create is FALSE. The object comes referenced: drop it with
// ObDereferenceObject; it is deleted when its last reference goes (OBJ_PERMANENT is accepted
// and ignored). AllowMultipleCallbacks applies when the object is created.
NTKERNELAPI NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes,
                                      BOOLEAN Create, BOOLEAN AllowMultipleCallbacks);

// IRQL <= DISPATCH_LEVEL. Returns the registration handle, or null when the object allows one
// registration and has it. A registration keeps a reference on the object.
NTKERNELAPI PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                                     PVOID CallbackContext);

// PASSIVE_LEVEL. Does not return while a call of this registration runs on another thread;
// called from inside that very callback, it waits only for the other threads' calls.
NTKERNELAPI VOID ExUnregisterCallback(PVOID CallbackRegistration);

// IRQL <= DISPATCH_LEVEL. Calls every registration, in registration order, in the caller's
// context.
NTKERNELAPI VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2);
