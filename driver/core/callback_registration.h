// The registration steps every callback object of the driver hands its clients (the adapter's
// control-change object, each endpoint's stream-engine object), and their teardown.
#pragma once

#include "ntddk.h"

// Registers Callback with Context on Object. *Registration is cleared first and gets the handle;
// STATUS_INVALID_PARAMETER without Registration, STATUS_UNSUCCESSFUL without an object or a
// callback, or when the object refuses it. PASSIVE_LEVEL.
NTSTATUS RegisterObjectCallback(PCALLBACK_OBJECT Object, PCALLBACK_FUNCTION Callback, PVOID Context,
                                PVOID* Registration);

// Ends Registration, waiting for a call of it running on another thread; STATUS_INVALID_PARAMETER
// for a null handle. PASSIVE_LEVEL.
NTSTATUS UnregisterObjectCallback(PVOID Registration);

// The objects are created permanent; each is made temporary before its reference goes, so that
// its name goes with its owner and a later owner at the same address does not open the old
// object. *Object is cleared; a null one is left alone. PASSIVE_LEVEL.
VOID DeleteCallbackObject(PCALLBACK_OBJECT* Object);
