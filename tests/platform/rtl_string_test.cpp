// Counted strings, the bounded copy routines, the runtime's 16-bit string functions, the
// memory helpers and the version answer.
#include <gtest/gtest.h>

#include "ntddk.h"
#include "plat_pool.h"
#include "plat_version.h"

namespace
{

const ULONG kStringTag = MAKE_POOL_TAG('S', 't', 'r', 'g');

UNICODE_STRING Us(PCWSTR s)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}

TEST(RtlString, InitUnicodeStringCountsBytesWithoutTerminator)
{
    UNICODE_STRING u = Us(u"Wave");
    EXPECT_EQ(u.Length, 8);
    EXPECT_EQ(u.MaximumLength, 10);
    UNICODE_STRING empty = Us(nullptr);
    EXPECT_EQ(empty.Length, 0);
    EXPECT_EQ(empty.MaximumLength, 0);
    EXPECT_EQ(empty.Buffer, nullptr);

    ANSI_STRING a;
    RtlInitAnsiString(&a, "QUILLAX");
    EXPECT_EQ(a.Length, 7);
    EXPECT_EQ(a.MaximumLength, 8);
}

TEST(RtlString, CompareFoldsCaseOnlyWhenAskedAndPrefixComparesTheShorterString)
{
    struct Case
    {
        PCWSTR A;
        PCWSTR B;
        bool CaseInsensitive;
        int Sign; // of RtlCompareUnicodeString
    };
    const Case cases[] = {
        {u"QXASIOPrivateInterface", u"qxasioprivateinterface", true, 0},
        {u"QXASIOPrivateInterface", u"qxasioprivateinterface", false, -1},
        {u"abc", u"abd", true, -1},
        {u"ABD", u"abc", true, 1},
        {u"ab", u"abc", true, -1},
        {u"abc", u"ab", false, 1},
        {u"", u"", false, 0},
        {u"\u00c4PFEL", u"\u00e4pfel", true, 0},
        {u"\u0416", u"\u0436", true, 0},
        {u"\u0416", u"\u0436", false, -1},
    };
    for (const Case& c : cases)
    {
        UNICODE_STRING a = Us(c.A);
        UNICODE_STRING b = Us(c.B);
        LONG result = RtlCompareUnicodeString(&a, &b, c.CaseInsensitive);
        int sign = (result > 0) - (result < 0);
        EXPECT_EQ(sign, c.Sign) << "case " << (&c - cases);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.CaseInsensitive), c.Sign == 0) << "case " << (&c - cases);
    }

    UNICODE_STRING prefix = Us(u"\\SYSTEMROOT\\");
    UNICODE_STRING path = Us(u"\\SystemRoot\\KESTRINZ4.INI");
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &path, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &path, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&path, &prefix, TRUE));
}

TEST(RtlString, CopyTruncatesAndAppendRefusesWhatDoesNotFit)
{
    WCHAR buffer[6];
    for (WCHAR& c : buffer)
        c = u'#';
    UNICODE_STRING dst;
    RtlInitEmptyUnicodeString(&dst, buffer, sizeof(buffer));
    UNICODE_STRING src = Us(u"abc");
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 6);
    EXPECT_EQ(buffer[3], 0);

    UNICODE_STRING longer = Us(u"abcdefgh");
    RtlCopyUnicodeString(&dst, &longer);
    EXPECT_EQ(dst.Length, 12);
    EXPECT_EQ(buffer[5], u'f');

    RtlCopyUnicodeString(&dst, nullptr);
    EXPECT_EQ(dst.Length, 0);

    WCHAR room[8] = {};
    RtlInitEmptyUnicodeString(&dst, room, sizeof(room));
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, u"Mic"), STATUS_SUCCESS);
    UNICODE_STRING wave = Us(u"Wave");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dst, &wave), STATUS_SUCCESS);
    EXPECT_EQ(wcscmp(room, u"MicWave"), 0);
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, u"XY"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(dst.Length, 14);
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, u"Z"), STATUS_SUCCESS) << "exactly full, no terminator needed";
    EXPECT_EQ(dst.Length, 16);
}

TEST(RtlString, UnicodeAnsiConversionsAllocateTaggedPoolTruncateOrReportFailure)
{
    plat::PoolSnapshot snapshot = plat::TakePoolSnapshot();
    UNICODE_STRING src = Us(u"Caf\u00e9 \u20ac \u4e2d");
    ANSI_STRING ansi;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(ansi.Length, 8);
    EXPECT_EQ(ansi.MaximumLength, 9);
    EXPECT_STREQ(ansi.Buffer, "Caf\xe9 \x80 ?");
    EXPECT_EQ(plat::PoolLiveBlocks(kStringTag), 1u);

    UNICODE_STRING back;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(back.Length, 16);
    EXPECT_EQ(back.Buffer[3], 0xE9);
    EXPECT_EQ(back.Buffer[5], 0x20AC);
    EXPECT_EQ(back.Buffer[8], 0);

    RtlFreeAnsiString(&ansi);
    RtlFreeUnicodeString(&back);
    EXPECT_EQ(ansi.Buffer, nullptr);
    EXPECT_EQ(plat::PoolLeaksSince(snapshot), "");

    char buffer[4];
    ANSI_STRING fixed = {0, sizeof(buffer), buffer};
    UNICODE_STRING product = Us(u"Product");
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&fixed, &product, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buffer, "Pro");
    EXPECT_EQ(fixed.Length, 3);

    UNICODE_STRING wide;
    WCHAR wideBuffer[3];
    RtlInitEmptyUnicodeString(&wide, wideBuffer, sizeof(wideBuffer));
    ANSI_STRING longer;
    RtlInitAnsiString(&longer, "abc");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &longer, FALSE), STATUS_BUFFER_OVERFLOW);

    plat::FailAllocationsWithTag(kStringTag);
    ANSI_STRING none = {};
    EXPECT_FALSE(NT_SUCCESS(RtlUnicodeStringToAnsiString(&none, &product, TRUE)));
    EXPECT_EQ(none.Buffer, nullptr);
    plat::ClearPoolFailures();
}

TEST(RtlString, BoundedLengthNeedsATerminatorAndBoundedCopyTruncatesAndTerminates)
{
    size_t length = 99;
    EXPECT_EQ(RtlStringCbLengthW(u"Speaker", 16, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 14u);
    EXPECT_EQ(RtlStringCbLengthW(u"Speaker", 14, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCbLengthW(nullptr, 14, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(u"Speaker", 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(RtlStringCchLengthW(u"Speaker", 7, nullptr), STATUS_INVALID_PARAMETER);

    WCHAR buffer[4];
    EXPECT_EQ(RtlStringCbCopyW(buffer, sizeof(buffer), u"abc"), STATUS_SUCCESS);
    EXPECT_EQ(wcscmp(buffer, u"abc"), 0);
    EXPECT_EQ(RtlStringCbCopyW(buffer, sizeof(buffer), u"abcd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(wcscmp(buffer, u"abc"), 0);
    EXPECT_EQ(RtlStringCbCopyW(buffer, 0, u"a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbCatW(buffer, sizeof(buffer), u"d"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlStringCchCopyW(buffer, 2, u"xy"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlStringCchCatW(buffer, 4, u"yz"), STATUS_SUCCESS);
    EXPECT_EQ(wcscmp(buffer, u"xyz"), 0);
}

TEST(RtlString, RuntimeStringFunctionsWorkOnSixteenBitCharactersAndFoldAsciiOnly)
{
    WCHAR key[] = u"usb\\vid_1234&pid_abcd\u00e4";
    _wcsupr(key);
    EXPECT_EQ(wcscmp(key, u"USB\\VID_1234&PID_ABCD\u00e4"), 0);
    EXPECT_EQ(_wcsicmp(u"Settings", u"SETTINGS"), 0);
    EXPECT_LT(_wcsicmp(u"abc", u"ABD"), 0);
    EXPECT_GT(_wcsicmp(u"abcd", u"ABC"), 0);
    EXPECT_LT(_wcsicmp(u"a_", u"AB"), 0) << "compares lower-cased, so '_' sorts before letters";
    EXPECT_EQ(_wcsnicmp(u"DeviceKeyXX", u"devicekeyYY", 9), 0);
    EXPECT_NE(_wcsnicmp(u"DeviceKeyXX", u"devicekeyYY", 10), 0);
    EXPECT_EQ(_strnicmp("USB\\VID_0D8C&PID_0014", "usb\\vid_0d8c", 12), 0);
    EXPECT_NE(_strnicmp("USB\\VID_0D8C", "usb\\vid_0d8d", 12), 0);
    EXPECT_EQ(_stricmp("Quillax", "QUILLAX"), 0);

    const WCHAR* s = u"\\Callback\\AudioHalAddr";
    EXPECT_EQ(wcslen(s), 22u);
    EXPECT_EQ(wcsnlen(s, 5), 5u);
    EXPECT_EQ(wcschr(s, u'A'), s + 10);
    EXPECT_EQ(wcsrchr(s, u'\\'), s + 9);
    EXPECT_EQ(wcsstr(s, u"Hal"), s + 15);
    EXPECT_EQ(wcsstr(s, u"hal"), nullptr);
    EXPECT_LT(wcscmp(u"abc", u"abd"), 0);
    EXPECT_EQ(wcsncmp(u"abc", u"abd", 2), 0);
    WCHAR buffer[16];
    wcscpy(buffer, u"Mic");
    wcscat(buffer, u"In01");
    EXPECT_EQ(wcscmp(buffer, u"MicIn01"), 0);
}

TEST(RtlString, CompareMemoryCountsEqualLeadingBytes)
{
    const UCHAR a[] = {1, 2, 3, 4, 5};
    const UCHAR b[] = {1, 2, 3, 9, 5};
    EXPECT_EQ(RtlCompareMemory(a, b, 5), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 5), 5u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
    EXPECT_TRUE(RtlEqualMemory(a, b, 3));
    EXPECT_FALSE(RtlEqualMemory(a, b, 4));

    UCHAR ring[8];
    RtlFillMemory(ring, sizeof(ring), 0x69);
    EXPECT_EQ(ring[7], 0x69);
    RtlZeroMemory(ring, 4);
    EXPECT_EQ(ring[3], 0);
    EXPECT_EQ(ring[4], 0x69);
    RtlMoveMemory(ring + 1, ring, 4); // overlapping
    EXPECT_EQ(ring[4], 0);
}

TEST(RtlString, NtDdiVersionAnswersAsWindows10UnlessLowered)
{
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10));
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10 + 1));
    plat::SetNtDdiVersion(NTDDI_WINXP);
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
    plat::SetNtDdiVersion(plat::kDefaultNtDdiVersion);
}

} // namespace
