// File stand-in: "\SystemRoot\" names opened from a host folder, reads at explicit offsets and
// at the end of the file, missing names, letter case, names that try to leave the folder,
// refused writes and handle lifetime.
#include <gtest/gtest.h>

#include "ntddk.h"
#include "plat_files.h"
#include "plat_registry.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using Bytes = std::vector<UCHAR>;

// 300 bytes that differ from their neighbours, so a read at the wrong offset shows.
Bytes Pattern()
{
    Bytes bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<UCHAR>((i * 7 + 3) % 251);
    return bytes;
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class ZwFile : public testing::Test
{
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/uacsim-root-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_Folder = folder;
        WriteFile(m_Folder + "/KESTRINZ4.INI", Pattern());
        std::filesystem::create_directory(m_Folder + "/Sub");
        WriteFile(m_Folder + "/Sub/Inner.bin", {1, 2, 3});
        plat::SetSystemRootFolder(m_Folder);
    }
    void TearDown() override
    {
        plat::SetSystemRootFolder("");
        std::filesystem::remove_all(m_Folder);
        EXPECT_EQ(plat::ObLiveObjectCount(plat::HostFileObjectType), 0u) << "a file handle was left open";
    }

    // Opens as the driver's settings reader does.
    NTSTATUS Open(const std::u16string& path, PHANDLE handle, PIO_STATUS_BLOCK ioStatus = nullptr,
                  ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE, ULONG disposition = FILE_OPEN,
                  ULONG options = FILE_SYNCHRONOUS_IO_NONALERT)
    {
        std::u16string text = path;
        UNICODE_STRING name = {static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                               &text[0]};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK local;
        return ZwCreateFile(handle, access, &oa, ioStatus ? ioStatus : &local, nullptr, FILE_ATTRIBUTE_NORMAL,
                            FILE_SHARE_READ, disposition, options, nullptr, 0);
    }

    std::string m_Folder;
};

NTSTATUS ReadAt(HANDLE file, LONGLONG offset, Bytes* bytes, ULONG length, IO_STATUS_BLOCK* ioStatus)
{
    bytes->assign(length, 0xEE);
    LARGE_INTEGER at;
    at.QuadPart = offset;
    return ZwReadFile(file, nullptr, nullptr, nullptr, ioStatus, bytes->data(), length, &at, nullptr);
}

TEST_F(ZwFile, ReadsAtExplicitOffsetsUpToTheEnd)
{
    const Bytes content = Pattern();
    HANDLE file = nullptr;
    IO_STATUS_BLOCK ioStatus;
    ASSERT_EQ(Open(u"\\SystemRoot\\KESTRINZ4.INI", &file, &ioStatus), STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Information, static_cast<ULONG_PTR>(FILE_OPENED));
    struct Row
    {
        LONGLONG Offset;
        ULONG Length;
        NTSTATUS Expected;
        ULONG_PTR Read;
    };
    const Row rows[] = {
        {0, 16, STATUS_SUCCESS, 16}, {100, 50, STATUS_SUCCESS, 50},   {290, 50, STATUS_SUCCESS, 10},
        {299, 1, STATUS_SUCCESS, 1}, {300, 1, STATUS_END_OF_FILE, 0}, {1000, 4, STATUS_END_OF_FILE, 0},
        {0, 0, STATUS_SUCCESS, 0},   {0, 400, STATUS_SUCCESS, 300},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE("offset " + std::to_string(row.Offset) + ", length " + std::to_string(row.Length));
        Bytes bytes;
        ioStatus.Status = 0x12345;
        ioStatus.Information = 0xDEAD;
        EXPECT_EQ(ReadAt(file, row.Offset, &bytes, row.Length, &ioStatus), row.Expected);
        EXPECT_EQ(ioStatus.Status, row.Expected);
        EXPECT_EQ(ioStatus.Information, row.Read);
        for (size_t i = 0; i < row.Read; ++i)
            ASSERT_EQ(bytes[i], content[row.Offset + i]) << "byte " << i;
        for (size_t i = row.Read; i < bytes.size(); ++i)
            ASSERT_EQ(bytes[i], 0xEE) << "byte " << i << " written past what was read";
    }
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

// Names match without regard to letter case; a missing name, or no folder at all, is reported
// as the target reports it.
TEST_F(ZwFile, NamesIgnoreLetterCaseAndMissingOnesAreReportedAsOnTheTarget)
{
    const Bytes content = Pattern();
    const std::pair<std::u16string, Bytes> rows[] = {
        {u"\\systemroot\\kestrinz4.ini", Bytes(content.begin(), content.begin() + 8)},
        {u"\\SYSTEMROOT\\Kestrinz4.Ini", Bytes(content.begin(), content.begin() + 8)},
        {u"\\SystemRoot\\KESTRINZ4.INI", Bytes(content.begin(), content.begin() + 8)},
        {u"\\SystemRoot\\sub\\INNER.BIN", {1, 2, 3}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(plat::Utf8FromWide(row.first));
        HANDLE file = nullptr;
        ASSERT_EQ(Open(row.first, &file), STATUS_SUCCESS);
        Bytes bytes;
        IO_STATUS_BLOCK ioStatus;
        ASSERT_EQ(ReadAt(file, 0, &bytes, 8, &ioStatus), STATUS_SUCCESS);
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + ioStatus.Information), row.second);
        ZwClose(file);
    }
    HANDLE file = reinterpret_cast<HANDLE>(0x1234);
    IO_STATUS_BLOCK ioStatus = {};
    EXPECT_EQ(Open(u"\\SystemRoot\\absent.ini", &file, &ioStatus), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(ioStatus.Status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ioStatus.Information, static_cast<ULONG_PTR>(FILE_DOES_NOT_EXIST));
    plat::SetSystemRootFolder("");
    EXPECT_EQ(Open(u"\\SystemRoot\\KESTRINZ4.INI", &file, &ioStatus), STATUS_OBJECT_PATH_NOT_FOUND)
        << "no folder chosen";
}

TEST_F(ZwFile, NamesCannotLeaveTheFolder)
{
    // A file beside the folder, named after it so that parallel runs do not share it.
    const std::string outside = std::filesystem::path(m_Folder).filename().string() + "-outside.txt";
    WriteFile(m_Folder + "/../" + outside, {9});
    struct Row
    {
        std::u16string Path;
        NTSTATUS Expected;
    };
    const Row rows[] = {
        {u"\\SystemRoot\\..\\" + plat::WideFromUtf8(outside), STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\Sub\\..\\KESTRINZ4.INI", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\.\\KESTRINZ4.INI", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\Sub/Inner.bin", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\\\KESTRINZ4.INI", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRoot\\KESTRINZ4.INI:stream", STATUS_OBJECT_NAME_INVALID},
        {u"\\SystemRootX\\KESTRINZ4.INI", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\C:\\Windows\\KESTRINZ4.INI", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"KESTRINZ4.INI", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\SystemRoot\\Sub", STATUS_FILE_IS_A_DIRECTORY},
        {u"\\SystemRoot\\NoFolder\\x.ini", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\SystemRoot\\KESTRINZ4.INI\\x", STATUS_OBJECT_PATH_NOT_FOUND}, // a file is not a folder
        {u"\\SystemRoot", STATUS_FILE_IS_A_DIRECTORY},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::string(row.Path.begin(), row.Path.end()));
        HANDLE file = nullptr;
        EXPECT_EQ(Open(row.Path, &file), row.Expected);
        EXPECT_EQ(file, nullptr);
    }
    std::filesystem::remove(m_Folder + "/../" + outside);
}

TEST_F(ZwFile, WritingIsRefused)
{
    HANDLE file = nullptr;
    IO_STATUS_BLOCK ioStatus;
    const std::u16string ini = u"\\SystemRoot\\KESTRINZ4.INI";
    EXPECT_EQ(Open(ini, &file, &ioStatus, GENERIC_WRITE | SYNCHRONIZE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(ini, &file, &ioStatus, GENERIC_READ | FILE_WRITE_DATA | SYNCHRONIZE),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(ini, &file, &ioStatus, GENERIC_READ | SYNCHRONIZE, FILE_OVERWRITE_IF),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\SystemRoot\\new.ini", &file, &ioStatus, GENERIC_READ | SYNCHRONIZE, FILE_OPEN_IF),
              STATUS_ACCESS_DENIED);
    EXPECT_FALSE(std::filesystem::exists(m_Folder + "/new.ini"));
    EXPECT_EQ(Open(ini, &file, &ioStatus, GENERIC_READ | SYNCHRONIZE, FILE_CREATE),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(ioStatus.Information, static_cast<ULONG_PTR>(FILE_EXISTS));
    ASSERT_EQ(Open(ini, &file, &ioStatus, GENERIC_READ | SYNCHRONIZE, FILE_OPEN_IF), STATUS_SUCCESS);
    UCHAR byte = 0;
    LARGE_INTEGER at = {};
    EXPECT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &ioStatus, &byte, 1, &at, nullptr),
              STATUS_ACCESS_DENIED);
    ZwClose(file);
    Bytes content(Pattern().size());
    std::ifstream check(m_Folder + "/KESTRINZ4.INI", std::ios::binary);
    check.read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(content.size()));
    EXPECT_EQ(content, Pattern());
}

TEST_F(ZwFile, ReadingNeedsReadAccessAndSizeNeedsNone)
{
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\SystemRoot\\KESTRINZ4.INI", &file, nullptr, FILE_READ_ATTRIBUTES | SYNCHRONIZE),
              STATUS_SUCCESS);
    Bytes bytes;
    IO_STATUS_BLOCK ioStatus;
    EXPECT_EQ(ReadAt(file, 0, &bytes, 4, &ioStatus), STATUS_ACCESS_DENIED);
    FILE_STANDARD_INFORMATION info = {};
    EXPECT_EQ(ZwQueryInformationFile(file, &ioStatus, &info, sizeof(info) - 1, FileStandardInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    ASSERT_EQ(ZwQueryInformationFile(file, &ioStatus, &info, sizeof(info), FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 300);
    EXPECT_EQ(info.Directory, 0);
    EXPECT_EQ(ioStatus.Information, sizeof(info));
    EXPECT_EQ(ZwQueryInformationFile(file, &ioStatus, &info, sizeof(info), FileBasicInformation),
              STATUS_INVALID_INFO_CLASS);
    ZwClose(file);
}

TEST_F(ZwFile, ASynchronousHandleKeepsItsPosition)
{
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\SystemRoot\\KESTRINZ4.INI", &file), STATUS_SUCCESS);
    UCHAR first[10], second[10];
    IO_STATUS_BLOCK ioStatus;
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &ioStatus, first, 10, nullptr, nullptr),
              STATUS_SUCCESS);
    LARGE_INTEGER current;
    current.HighPart = -1;
    current.LowPart = FILE_USE_FILE_POINTER_POSITION;
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &ioStatus, second, 10, &current, nullptr),
              STATUS_SUCCESS);
    const Bytes content = Pattern();
    EXPECT_EQ(Bytes(first, first + 10), Bytes(content.begin(), content.begin() + 10));
    EXPECT_EQ(Bytes(second, second + 10), Bytes(content.begin() + 10, content.begin() + 20));
    FILE_POSITION_INFORMATION position = {};
    ASSERT_EQ(ZwQueryInformationFile(file, &ioStatus, &position, sizeof(position), FilePositionInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, 20);
    ZwClose(file);

    // Without a synchronous option there is no position to read from.
    ASSERT_EQ(Open(u"\\SystemRoot\\KESTRINZ4.INI", &file, nullptr, GENERIC_READ, FILE_OPEN, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &ioStatus, first, 10, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    ZwClose(file);
    EXPECT_EQ(Open(u"\\SystemRoot\\KESTRINZ4.INI", &file, nullptr, FILE_READ_DATA, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_INVALID_PARAMETER)
        << "synchronous I/O needs SYNCHRONIZE access";
}

TEST_F(ZwFile, HandlesAreObjectsOfTheirOwnType)
{
    HANDLE a = nullptr, b = nullptr;
    ASSERT_EQ(Open(u"\\SystemRoot\\KESTRINZ4.INI", &a), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\SystemRoot\\KESTRINZ4.INI", &b), STATUS_SUCCESS);
    EXPECT_EQ(plat::ObLiveObjectCount(plat::HostFileObjectType), 2u);
    EXPECT_EQ(plat::ObLiveObjectCount(IoFileObjectType), 0u);
    UCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(ZwQueryKey(a, KeyBasicInformation, buffer, sizeof(buffer), &length),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    EXPECT_EQ(plat::ObLiveObjectCount(plat::HostFileObjectType), 1u);
    EXPECT_EQ(ZwClose(b), STATUS_SUCCESS);
    EXPECT_EQ(plat::ObLiveObjectCount(plat::HostFileObjectType), 0u);
    IO_STATUS_BLOCK ioStatus;
    EXPECT_EQ(ZwReadFile(b, nullptr, nullptr, nullptr, &ioStatus, buffer, 1, nullptr, nullptr),
              STATUS_INVALID_HANDLE);
}

using ZwFileDeathTest = ZwFile;

TEST_F(ZwFileDeathTest, ReadingAbovePassiveLevelStopsTheProcess)
{
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\SystemRoot\\KESTRINZ4.INI", &file), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            UCHAR byte;
            IO_STATUS_BLOCK ioStatus;
            LARGE_INTEGER at = {};
            ZwReadFile(file, nullptr, nullptr, nullptr, &ioStatus, &byte, 1, &at, nullptr);
        },
        "ZwReadFile called at IRQL 2: registry and file routines must run at PASSIVE_LEVEL");
    ZwClose(file);
}

} // namespace
