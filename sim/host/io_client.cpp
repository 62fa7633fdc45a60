// The simulated user-mode client: handles on device interfaces and the requests sent on them.
#include "sim/host/io_client.h"

#include "plat_fatal.h"

#include <algorithm>

namespace sim
{

namespace
{

NTSTATUS Send(PIRP irp, PDEVICE_OBJECT device, PKEVENT done, PIO_STATUS_BLOCK ioStatus)
{
    // Requests the I/O manager built set the event when they are finished, pended or not.
    IoCallDriver(device, irp);
    KeWaitForSingleObject(done, Executive, UserMode, FALSE, nullptr);
    return ioStatus->Status;
}

} // namespace

NTSTATUS ClientHandle::SendFileRequest(UCHAR MajorFunction, PFILE_OBJECT File)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = plat::IoBuildFileRequest(MajorFunction, File->DeviceObject, File, &done, &ioStatus);
    // The system never fails to tell a driver that a handle is going: a cleanup or close whose
    // request could not be allocated is built again (the pool's one-shot switch refuses one).
    if (irp == nullptr && MajorFunction != IRP_MJ_CREATE)
        irp = plat::IoBuildFileRequest(MajorFunction, File->DeviceObject, File, &done, &ioStatus);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    return Send(irp, File->DeviceObject, &done, &ioStatus);
}

NTSTATUS ClientHandle::Open(const GUID& InterfaceClass, const std::u16string& ReferenceString,
                            std::unique_ptr<ClientHandle>* Handle, PDEVICE_OBJECT Pdo)
{
    return OpenWithParameters(InterfaceClass, ReferenceString, std::u16string(), Handle, Pdo);
}

NTSTATUS ClientHandle::OpenWithParameters(const GUID& InterfaceClass, const std::u16string& ReferenceString,
                                          const std::u16string& Parameters,
                                          std::unique_ptr<ClientHandle>* Handle, PDEVICE_OBJECT Pdo)
{
    Handle->reset();
    plat::DeviceInterfaceRecord found;
    if (!plat::IoFindEnabledInterface(InterfaceClass, ReferenceString, Pdo, &found))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(found.Pdo);
    // The driver sees the reference string as the handle's name, as the system passes it on.
    std::u16string name = (ReferenceString.empty() ? u"" : u"\\" + ReferenceString) + Parameters;
    PFILE_OBJECT file = plat::IoCreateFileObject(top, name);
    ObDereferenceObject(top);
    if (file == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SendFileRequest(IRP_MJ_CREATE, file);
    if (!NT_SUCCESS(status))
    {
        plat::IoDeleteFileObject(file);
        return status;
    }
    Handle->reset(new ClientHandle(file));
    return status;
}

NTSTATUS ClientHandle::RequestDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Device);
    ClientHandle* self = static_cast<ClientHandle*>(Context);
    std::lock_guard<std::recursive_mutex> guard(self->m_InFlightLock);
    self->m_InFlight.erase(std::remove(self->m_InFlight.begin(), self->m_InFlight.end(), Irp),
                           self->m_InFlight.end());
    return STATUS_CONTINUE_COMPLETION;
}

void ClientHandle::Track(PIRP Irp)
{
    {
        std::lock_guard<std::recursive_mutex> guard(m_InFlightLock);
        m_InFlight.push_back(Irp);
    }
    IoSetCompletionRoutine(Irp, RequestDone, this, TRUE, TRUE, TRUE);
}

size_t ClientHandle::CancelPendingRequests()
{
    std::lock_guard<std::recursive_mutex> guard(m_InFlightLock);
    const std::vector<PIRP> inFlight = m_InFlight;
    for (PIRP irp : inFlight)
    {
        // A request the cancel of an earlier one finished is gone.
        if (std::find(m_InFlight.begin(), m_InFlight.end(), irp) != m_InFlight.end())
            IoCancelIrp(irp);
    }
    return inFlight.size();
}

ClientHandle::~ClientHandle()
{
    if (m_pFile)
        Close();
}

IoResult ClientHandle::DeviceControl(ULONG IoControlCode, const void* Input, ULONG InputLength, void* Output,
                                     ULONG OutputLength)
{
    if (m_pFile == nullptr)
        plat::Fatal("ClientHandle::DeviceControl on a closed handle");
    // Whatever method the code names, the client's requests travel buffered.
    ULONG bufferedCode = IoControlCode & ~ULONG(3);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(bufferedCode, m_pFile->DeviceObject, const_cast<void*>(Input),
                                             InputLength, Output, OutputLength, FALSE, &done, &ioStatus);
    if (irp == nullptr)
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = m_pFile;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->FileObject = m_pFile;
    Track(irp);
    NTSTATUS status = Send(irp, m_pFile->DeviceObject, &done, &ioStatus);
    return {status, ioStatus.Information};
}

IoResult ClientHandle::DeviceControlDirect(ULONG IoControlCode, const void* Input, ULONG InputLength,
                                           void* Output, ULONG OutputLength)
{
    if (m_pFile == nullptr)
        plat::Fatal("ClientHandle::DeviceControlDirect on a closed handle");
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, m_pFile->DeviceObject, const_cast<void*>(Input),
                                             InputLength, Output, OutputLength, FALSE, &done, &ioStatus);
    if (irp == nullptr)
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = m_pFile;
    IoGetNextIrpStackLocation(irp)->FileObject = m_pFile;
    Track(irp);
    IoCallDriver(m_pFile->DeviceObject, irp);
    KeWaitForSingleObject(&done, Executive, UserMode, FALSE, nullptr);
    return {ioStatus.Status, ioStatus.Information};
}

NTSTATUS ClientHandle::Cleanup()
{
    if (m_pFile == nullptr || m_bCleanedUp)
        return STATUS_INVALID_HANDLE;
    m_bCleanedUp = true;
    return SendFileRequest(IRP_MJ_CLEANUP, m_pFile);
}

NTSTATUS ClientHandle::Close()
{
    if (m_pFile == nullptr)
        return STATUS_INVALID_HANDLE;
    if (!m_bCleanedUp)
        Cleanup();
    NTSTATUS status;
    {
        // The last reference to a file object may go in any process; the driver must not
        // count on the client's address space being there when its close arrives.
        plat::ProcessScope system(plat::kSystemProcessId);
        status = SendFileRequest(IRP_MJ_CLOSE, m_pFile);
    }
    plat::IoDeleteFileObject(m_pFile);
    m_pFile = nullptr;
    return status;
}

} // namespace sim
