// Client registration on the driver's callback objects, shared by the adapter and the endpoints.
#include "driver/core/callback_registration.h"

NTSTATUS RegisterObjectCallback(PCALLBACK_OBJECT Object, PCALLBACK_FUNCTION Callback, PVOID Context,
                                PVOID* Registration)
{
    PAGED_CODE();
    if (!Registration)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Registration = nullptr;
    if (!Object || !Callback)
    {
        return STATUS_UNSUCCESSFUL;
    }
    *Registration = ExRegisterCallback(Object, Callback, Context);
    return *Registration ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS UnregisterObjectCallback(PVOID Registration)
{
    PAGED_CODE();
    if (!Registration)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ExUnregisterCallback(Registration);
    return STATUS_SUCCESS;
}

VOID DeleteCallbackObject(PCALLBACK_OBJECT* Object)
{
    PAGED_CODE();
    if (*Object)
    {
        ObMakeTemporaryObject(*Object);
        ObDereferenceObject(*Object);
        *Object = nullptr;
    }
}
