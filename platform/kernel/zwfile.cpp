// Files under "\SystemRoot\" read from a host folder. Each handle is an object of its own type
// holding a host descriptor; names are matched case-insensitively as on the target's file
// systems, and a name can never reach outside the folder ("." and ".." are not names there).
#include "zwfile.h"

#include "irql.h"
#include "ntstatus.h"
#include "object.h"
#include "plat_fatal.h"
#include "plat_files.h"
#include "plat_registry.h"
#include "rtl.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Not in ntstatus.h: only a failed host read reports it.
constexpr NTSTATUS kStatusUnexpectedIoError = static_cast<NTSTATUS>(0xC00000E9L);

struct FileBody
{
    int Fd = -1;
    ACCESS_MASK Access = 0;
    bool Synchronous = false; // the handle keeps a current position
    std::mutex Lock;          // guards Position
    LONGLONG Position = 0;
};

void DeleteFileBody(PVOID Body)
{
    auto* file = static_cast<FileBody*>(Body);
    if (file->Fd >= 0)
        close(file->Fd);
    file->~FileBody();
}

OBJECT_TYPE g_hostFileType = {"HostFile", DeleteFileBody, nullptr};

struct RootFolder
{
    std::mutex Lock;
    std::string Path;
};

RootFolder& TheRootFolder()
{
    static RootFolder* root = new RootFolder; // never destroyed: late closes stay safe
    return *root;
}

void RequirePassive(const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
        plat::Fatal("%s called at IRQL %d: registry and file routines must run at PASSIVE_LEVEL", routine,
                    irql);
}

std::u16string Upcase(std::u16string text)
{
    for (WCHAR& c : text)
        c = RtlUpcaseUnicodeChar(c);
    return text;
}

// ---- Names ----

bool ValidComponent(const std::u16string& name)
{
    if (name.empty() || name == u"." || name == u"..")
        return false;
    for (char16_t c : name)
        if (c < 0x20 || std::u16string(u"<>:\"/|?*").find(c) != std::u16string::npos)
            return false;
    return true;
}

// The components below "\SystemRoot"; STATUS_OBJECT_PATH_NOT_FOUND for any other namespace.
NTSTATUS SplitSystemRootName(const std::u16string& name, std::vector<std::u16string>* parts)
{
    const std::u16string prefix = u"\\SYSTEMROOT";
    if (name.size() < prefix.size() || Upcase(name.substr(0, prefix.size())) != prefix)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    std::u16string rest = name.substr(prefix.size());
    if (!rest.empty() && rest[0] != u'\\')
        return STATUS_OBJECT_PATH_NOT_FOUND; // "\SystemRootX" is another name
    parts->clear();
    for (size_t start = 1; start <= rest.size() && !rest.empty();)
    {
        size_t end = std::min(rest.find(u'\\', start), rest.size());
        parts->push_back(rest.substr(start, end - start));
        if (!ValidComponent(parts->back()))
            return STATUS_OBJECT_NAME_INVALID;
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

// The entry of `folder` that `component` names: the exact spelling if it exists, else the first
// (in byte order, so the choice is stable) that differs only in letter case.
bool FindEntry(const std::string& folder, const std::u16string& component, std::string* entry)
{
    std::string exact = plat::Utf8FromWide(component);
    struct stat info;
    if (stat((folder + "/" + exact).c_str(), &info) == 0)
    {
        *entry = exact;
        return true;
    }
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    std::u16string wanted = Upcase(component);
    std::vector<std::string> matches;
    while (dirent* item = readdir(dir))
        if (Upcase(plat::WideFromUtf8(item->d_name)) == wanted)
            matches.push_back(item->d_name);
    closedir(dir);
    if (matches.empty())
        return false;
    *entry = *std::min_element(matches.begin(), matches.end());
    return true;
}

bool IsDirectory(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Maps an NT name to the host path it names.
NTSTATUS ResolveName(const std::u16string& name, std::string* hostPath)
{
    std::vector<std::u16string> parts;
    NTSTATUS status = SplitSystemRootName(name, &parts);
    if (!NT_SUCCESS(status))
        return status;
    std::string path = plat::GetSystemRootFolder();
    if (path.empty() || !IsDirectory(path))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    for (size_t i = 0; i < parts.size(); ++i)
    {
        bool last = i + 1 == parts.size();
        std::string entry;
        if (!FindEntry(path, parts[i], &entry))
            return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        path += "/" + entry;
        if (!last && !IsDirectory(path))
            return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *hostPath = path;
    return STATUS_SUCCESS;
}

// ---- Opening ----

ACCESS_MASK MapFileAccess(ACCESS_MASK desired)
{
    const ACCESS_MASK generic = static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                                                         GENERIC_ALL | MAXIMUM_ALLOWED);
    ACCESS_MASK granted = desired & ~generic;
    if (desired & static_cast<ACCESS_MASK>(GENERIC_READ | MAXIMUM_ALLOWED))
        granted |= FILE_GENERIC_READ;
    if (desired & static_cast<ACCESS_MASK>(GENERIC_WRITE))
        granted |= FILE_GENERIC_WRITE;
    if (desired & static_cast<ACCESS_MASK>(GENERIC_EXECUTE))
        granted |= FILE_GENERIC_EXECUTE;
    if (desired & static_cast<ACCESS_MASK>(GENERIC_ALL))
        granted |= FILE_ALL_ACCESS;
    return granted;
}

constexpr ACCESS_MASK kWriteDac = 0x00040000;
constexpr ACCESS_MASK kWriteOwner = 0x00080000;
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                     FILE_WRITE_ATTRIBUTES | DELETE | kWriteDac | kWriteOwner;

// Checks the arguments that do not depend on the name; STATUS_SUCCESS when the open may go on.
NTSTATUS CheckCreateArguments(ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG disposition,
                              ULONG options, PVOID eaBuffer)
{
    const ULONG synchronous = FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT;
    if (attributes == nullptr || attributes->ObjectName == nullptr ||
        attributes->ObjectName->Length % sizeof(WCHAR) != 0 || disposition > FILE_MAXIMUM_DISPOSITION ||
        (options & synchronous) == synchronous ||
        ((options & synchronous) && !(access & static_cast<ACCESS_MASK>(SYNCHRONIZE))) ||
        (options & (FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE)) ==
            (FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE))
        return STATUS_INVALID_PARAMETER;
    // Relative opens, EAs and directory handles have no use here; refusing beats ignoring them.
    if (attributes->RootDirectory != nullptr || eaBuffer != nullptr || (options & FILE_DIRECTORY_FILE))
        return STATUS_NOT_SUPPORTED;
    if ((access & kWriteRights) || (options & FILE_DELETE_ON_CLOSE))
        return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

// Opens the host file for a resolved name, or says why the disposition refuses it.
NTSTATUS OpenHostFile(const std::u16string& name, ULONG disposition, int* fd, ULONG_PTR* information)
{
    std::string hostPath;
    NTSTATUS status = ResolveName(name, &hostPath);
    bool exists = NT_SUCCESS(status);
    *information = 0;
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        *information = FILE_DOES_NOT_EXIST;
    if (!exists)
        // Creating would need write access to the folder, which drivers do not get here.
        return status == STATUS_OBJECT_NAME_NOT_FOUND && disposition != FILE_OPEN ? STATUS_ACCESS_DENIED
                                                                                  : status;
    if (disposition == FILE_CREATE)
    {
        *information = FILE_EXISTS;
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
        return STATUS_ACCESS_DENIED; // supersede and overwrite write the file
    if (IsDirectory(hostPath))
        return STATUS_FILE_IS_A_DIRECTORY;
    *fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (*fd < 0)
        return errno == EACCES ? STATUS_ACCESS_DENIED : STATUS_OBJECT_NAME_NOT_FOUND;
    *information = FILE_OPENED;
    return STATUS_SUCCESS;
}

// A referenced file handle; the reference goes when this leaves scope.
class FileRef
{
public:
    FileRef() = default;
    FileRef(const FileRef&) = delete;
    FileRef& operator=(const FileRef&) = delete;
    ~FileRef()
    {
        if (m_pBody)
            ObDereferenceObject(m_pBody);
    }
    NTSTATUS Reference(HANDLE handle)
    {
        PVOID body = nullptr;
        NTSTATUS status =
            ObReferenceObjectByHandle(handle, 0, plat::HostFileObjectType, KernelMode, &body, nullptr);
        m_pBody = static_cast<FileBody*>(body);
        return status;
    }
    FileBody* Body() const { return m_pBody; }

private:
    FileBody* m_pBody = nullptr;
};

void SetIoStatus(PIO_STATUS_BLOCK ioStatus, NTSTATUS status, ULONG_PTR information)
{
    ioStatus->Status = status;
    ioStatus->Information = information;
}

} // namespace

namespace plat
{

POBJECT_TYPE HostFileObjectType = &g_hostFileType;

void SetSystemRootFolder(const std::string& folder)
{
    std::lock_guard<std::mutex> lock(TheRootFolder().Lock);
    TheRootFolder().Path = folder;
}

std::string GetSystemRootFolder()
{
    std::lock_guard<std::mutex> lock(TheRootFolder().Lock);
    return TheRootFolder().Path;
}

} // namespace plat

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength)
{
    RequirePassive("ZwCreateFile");
    if (FileHandle == nullptr || IoStatusBlock == nullptr)
        return STATUS_INVALID_PARAMETER;
    *FileHandle = nullptr;
    ACCESS_MASK access = MapFileAccess(DesiredAccess);
    NTSTATUS status =
        CheckCreateArguments(access, ObjectAttributes, CreateDisposition, CreateOptions, EaBuffer);
    if (!NT_SUCCESS(status))
        return status;
    const UNICODE_STRING* name = ObjectAttributes->ObjectName;
    int fd = -1;
    ULONG_PTR information = 0;
    status = OpenHostFile(std::u16string(name->Buffer, name->Length / sizeof(WCHAR)), CreateDisposition, &fd,
                          &information);
    if (!NT_SUCCESS(status))
    {
        SetIoStatus(IoStatusBlock, status, information);
        return status;
    }
    PVOID object = plat::ObCreateObject(plat::HostFileObjectType, sizeof(FileBody));
    if (object == nullptr)
    {
        close(fd);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* body = new (object) FileBody;
    body->Fd = fd;
    body->Access = access;
    body->Synchronous = (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    status = plat::ObInsertHandle(body, access, KernelMode, FileHandle);
    ObDereferenceObject(body); // on success the handle is the only owner
    SetIoStatus(IoStatusBlock, status, NT_SUCCESS(status) ? information : 0);
    return status;
}

namespace
{

// Where a read starts: the explicit offset, or the handle's own position.
NTSTATUS ReadOffset(FileBody* file, const LARGE_INTEGER* byteOffset, LONGLONG* offset)
{
    bool usePosition = byteOffset == nullptr ||
                       (byteOffset->HighPart == -1 && byteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION);
    if (usePosition)
    {
        if (!file->Synchronous)
            return STATUS_INVALID_PARAMETER; // only synchronous handles keep a position
        std::lock_guard<std::mutex> lock(file->Lock);
        *offset = file->Position;
        return STATUS_SUCCESS;
    }
    if (byteOffset->QuadPart < 0)
        return STATUS_INVALID_PARAMETER;
    *offset = byteOffset->QuadPart;
    return STATUS_SUCCESS;
}

NTSTATUS ReadAt(FileBody* file, LONGLONG offset, PVOID buffer, ULONG length, ULONG_PTR* bytesRead)
{
    struct stat info;
    if (fstat(file->Fd, &info) != 0)
        return kStatusUnexpectedIoError;
    if (offset >= info.st_size)
        return STATUS_END_OF_FILE;
    size_t done = 0;
    while (done < length)
    {
        ssize_t n = pread(file->Fd, static_cast<char*>(buffer) + done, length - done, offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return kStatusUnexpectedIoError;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    *bytesRead = done;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                    PULONG Key)
{
    RequirePassive("ZwReadFile");
    if (IoStatusBlock == nullptr || (Buffer == nullptr && Length != 0))
        return STATUS_INVALID_PARAMETER;
    // Reads complete before returning; an event or APC the caller then waited for would never come.
    if (Event != nullptr || ApcRoutine != nullptr)
        return STATUS_NOT_SUPPORTED;
    FileRef ref;
    NTSTATUS status = ref.Reference(FileHandle);
    if (!NT_SUCCESS(status))
        return status;
    FileBody* file = ref.Body();
    if (!(file->Access & FILE_READ_DATA))
        return STATUS_ACCESS_DENIED;
    LONGLONG offset = 0;
    status = ReadOffset(file, ByteOffset, &offset);
    if (!NT_SUCCESS(status))
        return status;
    ULONG_PTR bytesRead = 0;
    status = ReadAt(file, offset, Buffer, Length, &bytesRead);
    if (status == STATUS_SUCCESS && file->Synchronous)
    {
        std::lock_guard<std::mutex> lock(file->Lock);
        file->Position = offset + static_cast<LONGLONG>(bytesRead);
    }
    SetIoStatus(IoStatusBlock, status, bytesRead);
    return status;
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                     PULONG Key)
{
    RequirePassive("ZwWriteFile");
    if (IoStatusBlock == nullptr)
        return STATUS_INVALID_PARAMETER;
    FileRef ref;
    NTSTATUS status = ref.Reference(FileHandle);
    if (!NT_SUCCESS(status))
        return status;
    if (!(ref.Body()->Access & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
        return STATUS_ACCESS_DENIED;
    return STATUS_NOT_SUPPORTED; // no handle is ever opened for writing
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    RequirePassive("ZwQueryInformationFile");
    if (IoStatusBlock == nullptr || FileInformation == nullptr)
        return STATUS_INVALID_PARAMETER;
    FileRef ref;
    NTSTATUS status = ref.Reference(FileHandle);
    if (!NT_SUCCESS(status))
        return status;
    FileBody* file = ref.Body();
    if (FileInformationClass == FileStandardInformation)
    {
        if (Length < sizeof(FILE_STANDARD_INFORMATION))
            return STATUS_INFO_LENGTH_MISMATCH;
        struct stat hostInfo;
        if (fstat(file->Fd, &hostInfo) != 0)
            return kStatusUnexpectedIoError;
        FILE_STANDARD_INFORMATION info = {};
        info.AllocationSize.QuadPart = static_cast<LONGLONG>(hostInfo.st_blocks) * 512;
        info.EndOfFile.QuadPart = hostInfo.st_size;
        info.NumberOfLinks = static_cast<ULONG>(hostInfo.st_nlink);
        std::memcpy(FileInformation, &info, sizeof(info));
        SetIoStatus(IoStatusBlock, STATUS_SUCCESS, sizeof(info));
        return STATUS_SUCCESS;
    }
    if (FileInformationClass == FilePositionInformation)
    {
        if (Length < sizeof(FILE_POSITION_INFORMATION))
            return STATUS_INFO_LENGTH_MISMATCH;
        FILE_POSITION_INFORMATION info;
        {
            std::lock_guard<std::mutex> lock(file->Lock);
            info.CurrentByteOffset.QuadPart = file->Position;
        }
        std::memcpy(FileInformation, &info, sizeof(info));
        SetIoStatus(IoStatusBlock, STATUS_SUCCESS, sizeof(info));
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_INFO_CLASS;
}
