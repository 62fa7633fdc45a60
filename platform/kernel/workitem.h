// Work items of the stand-in: the routine runs at PASSIVE_LEVEL on a platform worker thread
// and receives the device object the item was allocated for. The platform keeps a reference
// on that device object from queueing until the routine returns, as the target does.
#pragma once

#include "ntdef.h"

struct _DEVICE_OBJECT;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;

typedef enum _WORK_QUEUE_TYPE
{
    CriticalWorkQueue,
    DelayedWorkQueue,
    HyperCriticalWorkQueue,
    NormalWorkQueue,
    BackgroundWorkQueue,
    RealTimeWorkQueue,
    SuperCriticalWorkQueue,
    MaximumWorkQueue,
} WORK_QUEUE_TYPE;

typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;
typedef VOID IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;

// IRQL <= DISPATCH_LEVEL. The item comes from non-paged pool (tag "IoWk"); null when the
// allocation fails.
NTKERNELAPI PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
// Freeing an item that is queued stops the process; the routine may free its own item.
NTKERNELAPI VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
// Queueing an item that is already queued stops the process. The queue type is recorded only:
// every queue is served by the same workers, which are added while all of them are busy.
NTKERNELAPI VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                 WORK_QUEUE_TYPE QueueType, PVOID Context);
