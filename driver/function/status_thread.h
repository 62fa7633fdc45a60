// The steps of the status thread that every audio function shares, whatever the format of its
// status reports: finding the audio-control interface it reads from, keeping a read pending on
// an IN pipe, and starting and stopping the thread itself.
#pragma once

#include "ntddk.h"
#include "portcls.h"
#include "usb.h"

struct IUsbDevice;

namespace statusthread
{

// Alternate setting 0 of audio-control interface InterfaceNumber in the device's
// configuration, or null when the device has none. PASSIVE_LEVEL.
PUSB_INTERFACE_DESCRIPTOR FindControlInterface(IUsbDevice* UsbDevice, UCHAR InterfaceNumber);

// The device's IUsbDevice without a reference of its own, for a thread whose reference on the
// device covers every use; null when the device has none. PASSIVE_LEVEL.
IUsbDevice* BorrowUsbDevice(PUNKNOWN Device);

// A notification event from the non-paged pool of Tag, signalled (no read with the bus), or
// null when the pool is out. PASSIVE_LEVEL.
PKEVENT AllocateSignalledEvent(ULONG Tag);

// Passes Irp down with a fresh read of Length bytes from IN pipe Pipe into Data; Done, cleared
// now, is signalled when the read is over and the IRP is the thread's again. Any IRQL up to
// DISPATCH_LEVEL.
NTSTATUS ArmPipeRead(IUsbDevice* UsbDevice, PIRP Irp, PURB Urb, USBD_PIPE_HANDLE Pipe, PUCHAR Data,
                     ULONG Length, PKEVENT Done);

// Starts the thread at Routine(Context) with a reference on Device for it and keeps its object
// in *Thread. The stop and done events are cleared first. Should the thread's object not be
// had, the thread is stopped again and waited for; a failure leaves nothing running and no
// reference taken. PASSIVE_LEVEL.
NTSTATUS LaunchStatusThread(PKSTART_ROUTINE Routine, PVOID Context, KPRIORITY Priority, PUNKNOWN Device,
                            PKEVENT StopEvent, PKEVENT DoneEvent, PKTHREAD* Thread);

// Tells the thread to end, waits until it has, and lets go of its object. Not from the thread
// itself. PASSIVE_LEVEL.
VOID StopAndWaitForStatusThread(PKEVENT StopEvent, PKEVENT DoneEvent, PKTHREAD* Thread);

// The life of one run of a status thread once its record is on its stack. Run prepares, arms and
// reads until Stop or a failure and returns whether the thread still holds its reference on
// Device. A run whose device went on this thread (*Orphaned) ends at once: nothing of the device
// may be touched. Otherwise End(referenced) takes back the reads, DoneEvent tells the stopper,
// and the thread's reference goes last: when it is the last one, the destructor runs here, finds
// the done event set and does not wait for the thread. Does not return. PASSIVE_LEVEL.
template <class TRun, class TEnd>
VOID RunStatusThread(PUNKNOWN Device, PKEVENT DoneEvent, const BOOLEAN* Orphaned, TRun Run, TEnd End)
{
    const BOOLEAN referenced = Run();
    if (*Orphaned)
    {
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    End(referenced);
    KeSetEvent(DoneEvent, IO_NO_INCREMENT, FALSE);
    if (referenced)
    {
        Device->Release();
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Waits for the first of Count objects, Objects[StopIndex] being StopEvent, and hands every
// other index to Handle(index), which takes the finished read and arms the next one, FALSE when
// the thread is to end. The thread's reference on Device is given up while it waits and taken
// again while it works, so the temporary references its work takes are never the last ones.
// A stop that came with a report wins: the device may already be on its way out. Returns
// whether the thread still holds its reference. PASSIVE_LEVEL.
template <class THandle>
BOOLEAN WaitForReports(PUNKNOWN Device, const BOOLEAN* Orphaned, PVOID* Objects, ULONG Count, ULONG StopIndex,
                       PRKEVENT StopEvent, THandle Handle)
{
    for (;;)
    {
        Device->Release();
        if (*Orphaned)
        {
            return FALSE;
        }
        NTSTATUS wait =
            KeWaitForMultipleObjects(Count, Objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (wait == NTSTATUS(STATUS_WAIT_0 + StopIndex) || KeReadStateEvent(StopEvent))
        {
            return FALSE;
        }
        Device->AddRef();
        if (!Handle(ULONG(wait - STATUS_WAIT_0)))
        {
            return TRUE;
        }
    }
}

} // namespace statusthread
