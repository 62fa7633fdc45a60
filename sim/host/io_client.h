// The simulated user-mode client of the driver: handles opened on a device interface with a
// reference string, and the create, cleanup, close and device-control requests sent on them,
// each synchronous for the caller (waits go through the platform, so virtual time keeps going).
#pragma once

#include "plat_io.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim
{

struct IoResult
{
    NTSTATUS Status;
    // The driver's count with a success or warning status (the bytes copied back, or with no
    // output buffer a length it reports); 0 with an error, which brings back its status alone.
    ULONG_PTR Information;
};

class ClientHandle
{
public:
    // Opens the enabled interface of the class whose reference string matches (any letter case;
    // on Pdo only, when given): the driver sees an IRP_MJ_CREATE whose file object carries the
    // name "\" + ReferenceString (no name for an empty reference string). On failure *Handle is
    // empty and the status says why (STATUS_OBJECT_NAME_NOT_FOUND when no such interface is
    // enabled, or the driver's own status).
    static NTSTATUS Open(const GUID& InterfaceClass, const std::u16string& ReferenceString,
                         std::unique_ptr<ClientHandle>* Handle, PDEVICE_OBJECT Pdo = nullptr);
    // The same with Parameters appended to the name the driver sees (a pin create's pin string
    // and connection record), as a create relative to an open filter carries them.
    static NTSTATUS OpenWithParameters(const GUID& InterfaceClass, const std::u16string& ReferenceString,
                                       const std::u16string& Parameters,
                                       std::unique_ptr<ClientHandle>* Handle, PDEVICE_OBJECT Pdo = nullptr);
    // Closes the handle when it is still open.
    ~ClientHandle();
    ClientHandle(const ClientHandle&) = delete;
    ClientHandle& operator=(const ClientHandle&) = delete;

    // METHOD_BUFFERED semantics for any code: the driver sees one system buffer of
    // max(InputLength, OutputLength) bytes holding the input; with a success or warning status
    // Information bytes come back into Output (none when OutputLength is 0).
    IoResult DeviceControl(ULONG IoControlCode, const void* Input, ULONG InputLength, void* Output,
                           ULONG OutputLength);
    // The code's own method, as the kernel-streaming requests (METHOD_NEITHER) travel: the driver
    // sees the caller's buffers themselves.
    IoResult DeviceControlDirect(ULONG IoControlCode, const void* Input, ULONG InputLength, void* Output,
                                 ULONG OutputLength);
    // Cancels every request still in flight on the handle, as a process's cancel of all its I/O
    // on a handle does: each gets IoCancelIrp, and its sender sees whatever status the driver
    // completes it with. Returns how many requests were in flight.
    size_t CancelPendingRequests();
    // IRP_MJ_CLEANUP (the last user handle closed); Close sends it first when not yet sent.
    NTSTATUS Cleanup();
    // IRP_MJ_CLOSE; the file object goes away afterwards, whatever the driver answered.
    NTSTATUS Close();

    PFILE_OBJECT FileObject() const { return m_pFile; }
    bool IsOpen() const { return m_pFile != nullptr; }

private:
    explicit ClientHandle(PFILE_OBJECT File) : m_pFile(File), m_bCleanedUp(false) {}
    static NTSTATUS SendFileRequest(UCHAR MajorFunction, PFILE_OBJECT File);
    static NTSTATUS RequestDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context);
    void Track(PIRP Irp);

    PFILE_OBJECT m_pFile;
    bool m_bCleanedUp;
    // Requests sent and not yet completed. An IRP leaves the list in its completion, before the
    // I/O manager frees it, so one found here under the lock is still alive. The lock is taken
    // again on the same thread when a cancel completes the request at once.
    std::recursive_mutex m_InFlightLock;
    std::vector<PIRP> m_InFlight;
};

} // namespace sim
