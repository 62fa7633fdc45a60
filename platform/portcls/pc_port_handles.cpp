// Handles on subdevices: a create whose file name starts with a registered subdevice's name
// ("\GlobalTopo") opens that subdevice's filter, and every later request on the handle goes to
// the same port, which the handle keeps referenced until its close, even when the subdevice is
// unregistered in between.
#include "pc_port_internal.h"

#include <map>
#include <mutex>

namespace
{

std::mutex g_lock;
std::map<PFILE_OBJECT, plat::pc::PPCSUBDEVICEPORT> g_handles; // each referenced

// "\name" or "\name\rest" into name and rest; false for a name without the leading separator.
bool SplitFileName(const UNICODE_STRING& FileName, std::u16string* Name, std::u16string* Rest)
{
    std::u16string text(FileName.Buffer ? FileName.Buffer : u"", FileName.Length / sizeof(WCHAR));
    if (text.size() < 2 || text[0] != u'\\')
        return false;
    size_t end = text.find(u'\\', 1);
    *Name = text.substr(1, end == std::u16string::npos ? std::u16string::npos : end - 1);
    *Rest = end == std::u16string::npos ? std::u16string() : text.substr(end);
    return true;
}

plat::pc::PPCSUBDEVICEPORT ReferenceHandle(PFILE_OBJECT FileObject, bool Forget)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_handles.find(FileObject);
    if (it == g_handles.end())
        return nullptr;
    plat::pc::PPCSUBDEVICEPORT port = it->second;
    if (Forget)
        g_handles.erase(it);
    else
        port->AddRef();
    return port;
}

bool Create(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject, NTSTATUS* Status)
{
    std::u16string name, rest;
    if (!SplitFileName(FileObject->FileName, &name, &rest))
        return false;
    plat::pc::PPCSUBDEVICEPORT port = plat::pc::ReferenceSubdevice(DeviceObject, name);
    if (port == nullptr)
        return false;
    *Status = port->OpenHandle(FileObject, rest);
    if (!NT_SUCCESS(*Status))
    {
        port->Release();
        return true;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_handles[FileObject] = port;
    return true;
}

} // namespace

namespace plat
{
namespace pc
{

bool DispatchSubdeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS* Status)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT file = stack->FileObject;
    if (file == nullptr)
        return false;
    Irp->IoStatus.Information = 0;
    *Status = STATUS_SUCCESS;
    PPCSUBDEVICEPORT port = nullptr;
    switch (stack->MajorFunction)
    {
    case IRP_MJ_CREATE:
        return Create(DeviceObject, file, Status);
    case IRP_MJ_CLEANUP:
        port = ReferenceHandle(file, false);
        break;
    case IRP_MJ_CLOSE:
        port = ReferenceHandle(file, true);
        if (port)
            port->CloseHandle(file);
        break;
    case IRP_MJ_DEVICE_CONTROL:
        port = ReferenceHandle(file, false);
        if (port)
            *Status = port->DeviceControl(file, Irp);
        break;
    default:
        return false;
    }
    if (port == nullptr)
        return false;
    port->Release();
    return true;
}

PPCSUBDEVICEPORT ReferenceHandlePort(PFILE_OBJECT FileObject)
{
    return ReferenceHandle(FileObject, false);
}

size_t OpenSubdeviceHandleCount()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_handles.size();
}

} // namespace pc
} // namespace plat

NTSTATUS plat::PcQueryPin(PFILE_OBJECT PinFile, PcPinView* View)
{
    if (View == nullptr)
        return STATUS_INVALID_PARAMETER;
    pc::PPCSUBDEVICEPORT port = pc::ReferenceHandlePort(PinFile);
    if (port == nullptr)
        return STATUS_INVALID_HANDLE;
    pc::PPCPINPORT pins = nullptr;
    NTSTATUS status = port->QueryInterface(pc::IID_IPcPinPort, reinterpret_cast<PVOID*>(&pins));
    if (NT_SUCCESS(status))
    {
        status = pins->DescribePin(PinFile, View);
        pins->Release();
    }
    else
        status = STATUS_INVALID_HANDLE;
    port->Release();
    return status;
}
