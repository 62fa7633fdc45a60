// CUsbDevice: the device power states the port-class library hands down, and USB selective
// suspend: a periodic idle check, the idle request to the hub, the trip to D2 when the hub
// calls back, and the way back to D0 whenever the driver is asked for something.
#include "driver/usb/usb_device.h"

namespace
{

// One millisecond in 100 ns units: streams time their transfers against the system timer.
constexpr ULONG TIMER_RESOLUTION_1MS = 10000;
// The idle check runs 5 s after it is armed (relative, 100 ns units), then every 5 s.
constexpr LONGLONG IDLE_CHECK_DUE_100NS = -50000000;
constexpr LONG IDLE_CHECK_PERIOD_MS = 5000;
// An access waits this long for the idle request to go, and as long again for D0.
constexpr LONGLONG WAKE_WAIT_100NS = -5000000;

VOID WaitForever(PKEVENT Event)
{
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
}

// The context of the D2 request made from the hub's idle callback: the device and the
// callback's own event. Untagged, as the hub's side of selective suspend has always been.
struct IdlePowerContext
{
    PVOID Device;
    PKEVENT Done;
};
static_assert(sizeof(IdlePowerContext) == 16, "IdlePowerContext is 16 bytes");

// The idle work item's context ("USBd"): the item frees itself through it.
struct IdleWorkContext
{
    PIO_WORKITEM WorkItem;
    CUsbDevice* Device;
};
static_assert(sizeof(IdleWorkContext) == 16, "IdleWorkContext is 16 bytes");

} // namespace

// ---- Power states ----

BOOLEAN CUsbDevice::CanIdle() const
{
    return m_nInProgressCount == 1 && m_nActiveCount == 0;
}

// Read from completion routines and DPCs while PowerChangeState may be changing it.
DEVICE_POWER_STATE CUsbDevice::CurrentPowerState() const
{
    return *static_cast<const volatile DEVICE_POWER_STATE*>(&m_DevicePowerState);
}

// Raise and release stay paired whatever order the power states arrive in: a device that goes
// from D2 to D3 has already given the resolution back.
VOID CUsbDevice::RaiseTimerResolution()
{
    if (!m_bTimerResolutionHeld)
    {
        ExSetTimerResolution(TIMER_RESOLUTION_1MS, TRUE);
        m_bTimerResolutionHeld = TRUE;
    }
}

VOID CUsbDevice::ReleaseTimerResolution()
{
    if (m_bTimerResolutionHeld)
    {
        ExSetTimerResolution(0, FALSE);
        m_bTimerResolutionHeld = FALSE;
    }
}

// Runs under the client lock so that no private-interface operation sees half a transition.
// A device that left the bus is not told it is powering down: it would not hear it, and the
// port check has already marked it gone.
STDMETHODIMP_(void) CUsbDevice::PowerChangeState(POWER_STATE NewState)
{
    PAGED_CODE();
    DEVICE_POWER_STATE state = NewState.DeviceState;
    if (state == m_DevicePowerState || state < PowerDeviceD0 || state > PowerDeviceD3)
    {
        return;
    }
    m_ClientLock.Lock();
    if (state == PowerDeviceD0)
    {
        if (m_pFunctionPower)
        {
            m_pFunctionPower->PowerChangeState(NewState);
        }
        RaiseTimerResolution();
        AsioPowerUp();
    }
    else
    {
        if (!ResetPort() && m_pFunctionPower)
        {
            m_pFunctionPower->PowerChangeState(NewState);
        }
        AsioPowerDown();
        ReleaseTimerResolution();
    }
    m_DevicePowerState = state;
    m_ClientLock.Unlock();
    // A stop the companion asked for while the device was down is carried out now.
    if (state == PowerDeviceD0)
    {
        RunParkedStop();
    }
}

STDMETHODIMP_(NTSTATUS) CUsbDevice::QueryPowerChangeState(POWER_STATE NewStateQuery)
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}

// ---- The idle check ----

VOID CUsbDevice::ArmIdleTimer()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    if (!m_bIdleStopping)
    {
        LARGE_INTEGER due;
        due.QuadPart = IDLE_CHECK_DUE_100NS;
        KeSetTimerEx(&m_IdleTimer, due, IDLE_CHECK_PERIOD_MS, &m_IdleDpc);
    }
    KeReleaseSpinLock(&m_IdleLock, irql);
}

VOID CUsbDevice::IdleTimerDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    static_cast<CUsbDevice*>(DeferredContext)->QueueIdleWorkItem();
}

// The idle request is built at PASSIVE_LEVEL, so the DPC only hands the check on. One check
// at a time: IdleWorkDoneEvent then tells teardown exactly when the last one is over.
VOID CUsbDevice::QueueIdleWorkItem()
{
    IdleWorkContext* pContext = static_cast<IdleWorkContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(IdleWorkContext), USB_DEVICE_POOL_TAG));
    if (!pContext)
    {
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&m_IdleLock);
    BOOLEAN queue = !m_bIdleStopping && !m_bIdleWorkQueued;
    if (queue)
    {
        m_bIdleWorkQueued = TRUE;
        KeClearEvent(&m_IdleWorkDoneEvent);
    }
    KeReleaseSpinLockFromDpcLevel(&m_IdleLock);
    if (!queue)
    {
        ExFreePoolWithTag(pContext, USB_DEVICE_POOL_TAG);
        return;
    }
    if (CanIdle())
    {
        PIO_WORKITEM pItem = IoAllocateWorkItem(m_pFunctionalDeviceObject);
        if (pItem)
        {
            pContext->WorkItem = pItem;
            pContext->Device = this;
            IoQueueWorkItem(pItem, IdleWorkItem, DelayedWorkQueue, pContext);
            return;
        }
    }
    ExFreePoolWithTag(pContext, USB_DEVICE_POOL_TAG);
    FinishIdleWork();
}

// The flag and the event change together under the lock, so a check queued in between can
// never find the event signalled while it is still outstanding.
VOID CUsbDevice::FinishIdleWork()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    m_bIdleWorkQueued = FALSE;
    KeSetEvent(&m_IdleWorkDoneEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&m_IdleLock, irql);
}

VOID CUsbDevice::IdleWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PAGED_CODE();
    IdleWorkContext* pContext = static_cast<IdleWorkContext*>(Context);
    CUsbDevice* pDevice = pContext->Device;
    PIO_WORKITEM pItem = pContext->WorkItem;
    ExFreePoolWithTag(pContext, USB_DEVICE_POOL_TAG);
    // The device may have become busy while the item waited for a worker.
    if (pDevice->CanIdle())
    {
        pDevice->SubmitIdleRequest();
    }
    pDevice->FinishIdleWork();
    IoFreeWorkItem(pItem);
}

// ---- The idle request ----

STDMETHODIMP_(NTSTATUS) CUsbDevice::WakeForAccess(PIRP Irp)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Irp);
    // Counting the access first keeps the idle check from sending a new request meanwhile.
    InterlockedIncrement(&m_nInProgressCount);
    CancelIdleRequest();
    // A device that is slow to come back still gets the request: the waits are bounded.
    LARGE_INTEGER timeout;
    timeout.QuadPart = WAKE_WAIT_100NS;
    KeWaitForSingleObject(&m_IdleDoneEvent, Executive, KernelMode, FALSE, &timeout);
    timeout.QuadPart = WAKE_WAIT_100NS;
    KeWaitForSingleObject(&m_PowerUpEvent, Executive, KernelMode, FALSE, &timeout);
    InterlockedDecrement(&m_nInProgressCount);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbDevice::SubmitIdleRequest()
{
    PAGED_CODE();
    if (CurrentPowerState() != PowerDeviceD0)
    {
        return STATUS_POWER_STATE_INVALID;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    if (InterlockedExchange(&m_nIdlePending, 1) == 1)
    {
        KeReleaseSpinLock(&m_IdleLock, irql);
        return STATUS_DEVICE_BUSY;
    }
    KeClearEvent(&m_IdleDoneEvent);
    PUSB_IDLE_CALLBACK_INFO pInfo =
        static_cast<PUSB_IDLE_CALLBACK_INFO>(ExAllocatePool(NonPagedPool, sizeof(USB_IDLE_CALLBACK_INFO)));
    PIRP pIrp = IoAllocateIrp(CCHAR(m_pLowerDeviceObject->StackSize + 1), FALSE);
    if (!pInfo || !pIrp)
    {
        KeSetEvent(&m_IdleDoneEvent, IO_NO_INCREMENT, FALSE);
        InterlockedExchange(&m_nIdlePending, 0);
        KeReleaseSpinLock(&m_IdleLock, irql);
        if (pInfo)
        {
            ExFreePool(pInfo);
        }
        if (pIrp)
        {
            IoFreeIrp(pIrp);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pInfo->IdleCallback = IdleNotificationCallback;
    pInfo->IdleContext = this;
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(pIrp);
    pNext->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pNext->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    pNext->Parameters.DeviceIoControl.Type3InputBuffer = pInfo;
    pNext->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
    IoSetCompletionRoutine(pIrp, IdleRequestComplete, this, TRUE, TRUE, TRUE);
    m_pIdleCallbackInfo = pInfo;
    m_pIdleIrp = pIrp;
    InterlockedExchange(&m_nIdleIrpRefs, 2);
    KeReleaseSpinLock(&m_IdleLock, irql);

    if (CanIdle() && CurrentPowerState() == PowerDeviceD0)
    {
        // The completion re-arms the check; until then there is nothing to check.
        if (m_bSelectiveSuspendEnabled)
        {
            KeCancelTimer(&m_IdleTimer);
        }
        return IoCallDriver(m_pLowerDeviceObject, pIrp);
    }

    // An access arrived meanwhile, and may already have taken the request to cancel it: then
    // the IRP is freed by whichever of the two lets go of it last.
    KeAcquireSpinLock(&m_IdleLock, &irql);
    m_pIdleCallbackInfo = nullptr;
    PIRP pTaken = m_pIdleIrp;
    m_pIdleIrp = nullptr;
    InterlockedExchange(&m_nIdlePending, 0);
    KeReleaseSpinLock(&m_IdleLock, irql);
    ExFreePool(pInfo);
    ReleaseIdleIrp(pIrp, pTaken != nullptr);
    return STATUS_UNSUCCESSFUL;
}

// Whoever took the IRP frees it; otherwise the last of the two holders does. Signalling
// IdleDoneEvent is the last thing done to this object: teardown may free it right after.
VOID CUsbDevice::ReleaseIdleIrp(PIRP Irp, BOOLEAN Taken)
{
    if (Taken || InterlockedDecrement(&m_nIdleIrpRefs) == 0)
    {
        IoFreeIrp(Irp);
        KeSetEvent(&m_IdleDoneEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID CUsbDevice::CancelIdleRequest()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    PIRP pIrp = nullptr;
    if (!CanIdle())
    {
        pIrp = m_pIdleIrp;
        m_pIdleIrp = nullptr;
    }
    KeReleaseSpinLock(&m_IdleLock, irql);
    if (!pIrp)
    {
        return;
    }
    // The hub may complete the request inside IoCancelIrp, which is why the lock is let go
    // first and why the IRP stays allocated until both sides have let go of it.
    IoCancelIrp(pIrp);
    ReleaseIdleIrp(pIrp, FALSE);
}

// The idle request ends by cancellation, by the hub's refusal or with the device gone. A
// device that was suspended meanwhile is asked back to D0, unless the hub never supported
// the request, in which case nothing changed; the check is tried again in 5 s either way.
NTSTATUS CUsbDevice::IdleRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    CUsbDevice* pDevice = static_cast<CUsbDevice*>(Context);
    NTSTATUS status = Irp->IoStatus.Status;
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED &&
        pDevice->CurrentPowerState() != PowerDeviceD0)
    {
        pDevice->RequestPowerUp();
    }
    KIRQL irql;
    KeAcquireSpinLock(&pDevice->m_IdleLock, &irql);
    PUSB_IDLE_CALLBACK_INFO pInfo = pDevice->m_pIdleCallbackInfo;
    pDevice->m_pIdleCallbackInfo = nullptr;
    PIRP pTaken = pDevice->m_pIdleIrp;
    pDevice->m_pIdleIrp = nullptr;
    InterlockedExchange(&pDevice->m_nIdlePending, 0);
    KeReleaseSpinLock(&pDevice->m_IdleLock, irql);
    if (pInfo)
    {
        ExFreePool(pInfo);
    }
    if (pDevice->m_bSelectiveSuspendEnabled)
    {
        pDevice->ArmIdleTimer();
    }
    pDevice->ReleaseIdleIrp(Irp, pTaken != nullptr);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A device being torn down is not powered up again: its stack is going away with it.
VOID CUsbDevice::RequestPowerUp()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    if (m_bIdleStopping)
    {
        KeReleaseSpinLock(&m_IdleLock, irql);
        return;
    }
    if (m_nPowerUpRequests++ == 0)
    {
        KeClearEvent(&m_PowerUpEvent);
    }
    KeReleaseSpinLock(&m_IdleLock, irql);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    NTSTATUS status =
        PoRequestPowerIrp(m_pPhysicalDeviceObject, IRP_MN_SET_POWER, state, PowerUpComplete, this, nullptr);
    if (status != STATUS_PENDING)
    {
        // No request, no completion: nobody else would let waiters go.
        IO_STATUS_BLOCK ioStatus;
        ioStatus.Status = status;
        ioStatus.Information = 0;
        PowerUpComplete(m_pPhysicalDeviceObject, IRP_MN_SET_POWER, state, this, &ioStatus);
    }
}

VOID CUsbDevice::PowerUpComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    CUsbDevice* pDevice = static_cast<CUsbDevice*>(Context);
    KIRQL irql;
    KeAcquireSpinLock(&pDevice->m_IdleLock, &irql);
    if (--pDevice->m_nPowerUpRequests == 0)
    {
        KeSetEvent(&pDevice->m_PowerUpEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&pDevice->m_IdleLock, irql);
}

// The hub says the device may suspend. The port-class library delivers the D2 request to
// PowerChangeState; the hub expects the device down by the time this returns.
VOID CUsbDevice::IdleNotificationCallback(PVOID Context)
{
    PAGED_CODE();
    CUsbDevice* pDevice = static_cast<CUsbDevice*>(Context);
    KEVENT done;
    KeInitializeEvent(&done, SynchronizationEvent, FALSE);
    IdlePowerContext* pPower =
        static_cast<IdlePowerContext*>(ExAllocatePool(NonPagedPool, sizeof(IdlePowerContext)));
    if (!pPower)
    {
        return;
    }
    pPower->Device = pDevice;
    pPower->Done = &done;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;
    NTSTATUS status = PoRequestPowerIrp(pDevice->m_pPhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                        IdlePowerDownComplete, pPower, nullptr);
    if (status == STATUS_PENDING)
    {
        WaitForever(&done);
    }
    else
    {
        ExFreePool(pPower);
    }
}

VOID CUsbDevice::IdlePowerDownComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                       POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    IdlePowerContext* pPower = static_cast<IdlePowerContext*>(Context);
    PKEVENT pDone = pPower->Done;
    ExFreePool(pPower);
    KeSetEvent(pDone, IO_NO_INCREMENT, FALSE);
}

// ---- Teardown ----

// Stops the idle machinery before the destructor frees anything it reaches: no re-arming and
// no new checks once the flag is set, the timer and its DPC gone, the check in progress
// finished, the idle request cancelled and freed, and a D0 request in flight completed.
VOID CUsbDevice::StopIdleMachinery()
{
    PAGED_CODE();
    // Counts as an access for good, so a check that is already past its first look sends
    // nothing, and the cancel below takes whatever request is pending.
    InterlockedIncrement(&m_nInProgressCount);
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    m_bIdleStopping = TRUE;
    KeReleaseSpinLock(&m_IdleLock, irql);
    KeCancelTimer(&m_IdleTimer);
    KeFlushQueuedDpcs();
    WaitForever(&m_IdleWorkDoneEvent);
    CancelIdleRequest();
    WaitForever(&m_IdleDoneEvent);
    WaitForever(&m_PowerUpEvent);
    // Whoever signalled last may still be releasing the lock.
    KeAcquireSpinLock(&m_IdleLock, &irql);
    KeReleaseSpinLock(&m_IdleLock, irql);
}
