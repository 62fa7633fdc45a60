// The kernel runtime's printf engine: every conversion the driver formats, the Windows meaning
// of %s/%S and l, and the truncation contracts of _vsn*printf and RtlStringCb*Printf.
#include <gtest/gtest.h>

#include "ntddk.h"

#include <string>

namespace
{

// Wide results shown as ASCII, with anything else escaped, so tables compare plain strings.
std::string Show(const WCHAR* s, size_t n)
{
    std::string text;
    for (size_t i = 0; i < n; i++)
    {
        if (s[i] >= 0x20 && s[i] < 0x7F)
            text += static_cast<char>(s[i]);
        else
        {
            char escaped[12];
            snprintf(escaped, sizeof(escaped), "\\x%X", static_cast<unsigned>(s[i]));
            text += escaped;
        }
    }
    return text;
}

std::string W(const WCHAR* format, ...)
{
    WCHAR buffer[256];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(buffer, 255, format, args);
    va_end(args);
    return n < 0 ? "<overflow>" : Show(buffer, n);
}

std::string A(const char* format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(buffer, 255, format, args);
    va_end(args);
    return n < 0 ? "<overflow>" : std::string(buffer, n);
}

struct Row
{
    int Line;
    std::string Got;
    const char* Want;
};

// Every conversion the driver formats, the Windows meaning of %s/%S, and LLP64 sizes: l is 32
// bits, ll and I64 are 64, and a wrong width would misread the next argument.
TEST(RtlFormat, ConversionsFollowTheWindowsRuntime)
{
    UNICODE_STRING us = RTL_CONSTANT_STRING(u"Speakers");
    char ansiText[] = "Headset";
    ANSI_STRING as = {7, 8, ansiText};
    const Row rows[] = {
        {__LINE__, W(u"%sOut%02d|%02d", u"SPK", 1, 123), "SPKOut01|123"},
        {__LINE__, W(u"Addr%p", reinterpret_cast<void*>(0xFFFFA0012345BEEFull)), "AddrFFFFA0012345BEEF"},
        {__LINE__, W(u"%ws_%S|%hs|%ls", u"HP", "narrow", "n", u"w"), "HP_narrow|n|w"},
        {__LINE__, W(u"%c%C%wc", u'W', 'n', u'x'), "Wnx"},
        {__LINE__, W(u"%wZ/%Z", &us, &as), "Speakers/Headset"},
        {__LINE__, W(u"%s|%S", u"\u00c4\u4e2d", "\xc4"), "\\xC4\\x4E2D|\\xC4"},
        {__LINE__, A("%S|%ws|%s|%hs", u"wide", u"ws", "narrow", "hs"), "wide|ws|narrow|hs"},
        {__LINE__, A("%wZ %Z", &us, &as), "Speakers Headset"},
        {__LINE__, A("%c%C%lc", 'a', u'B', u'c'), "aBc"},
        {__LINE__, A("%S", u"\u00e9\u4e2d"), "\xe9?"},
        {__LINE__, A("%p|%p", nullptr, reinterpret_cast<void*>(0xabcdef)),
         "0000000000000000|0000000000ABCDEF"},
        {__LINE__,
         A("%s|%S|%wZ|%Z", static_cast<char*>(nullptr), static_cast<WCHAR*>(nullptr),
           static_cast<UNICODE_STRING*>(nullptr), static_cast<ANSI_STRING*>(nullptr)),
         "(null)|(null)|(null)|(null)"},
        {__LINE__, A("%ld %d|%lu", static_cast<LONG>(-1), 7, static_cast<ULONG>(0xFFFFFFFF)),
         "-1 7|4294967295"},
        {__LINE__, A("%lx|%lX", static_cast<ULONG>(0xDEADBEEF), static_cast<ULONG>(0xBEEF)), "deadbeef|BEEF"},
        {__LINE__, A("%lld %d", static_cast<LONGLONG>(-1099511627776LL), 5), "-1099511627776 5"},
        {__LINE__,
         A("%I64d %d|%I64X", static_cast<LONGLONG>(1) << 40, 6,
           static_cast<ULONGLONG>(0x0123456789ABCDEFull)),
         "1099511627776 6|123456789ABCDEF"},
        {__LINE__, A("%I64u", static_cast<ULONGLONG>(18446744073709551615ull)), "18446744073709551615"},
        {__LINE__, A("%Ix %I32x", static_cast<ULONG_PTR>(0x1122334455ull), 0x10u), "1122334455 10"},
        {__LINE__, A("%lld|%d", static_cast<LONGLONG>(INT64_MIN), INT32_MIN),
         "-9223372036854775808|-2147483648"},
        {__LINE__, A("%hd|%hu|%hhu|%hhd", 65535, 70000, 257, 255), "-1|4464|1|-1"},
        {__LINE__, A("%i|%u|%o", -12, 3000000000u, 8), "-12|3000000000|10"},
        {__LINE__, A("[%5d][%-5d][%05d]", 42, 42, -42), "[   42][42   ][-0042]"},
        {__LINE__, A("[%+d][% d][%+d]", 42, 42, -42), "[+42][ 42][-42]"},
        {__LINE__, A("[%.3d][%8.3d][%-8.3d]", 42, 42, 42), "[042][     042][042     ]"},
        {__LINE__, A("[%08.3d][%.0d][%.0x]", 42, 0, 0), "[     042][][]"},
        {__LINE__, A("[%#x][%#X][%#o][%#x][%#010x]", 42, 42, 8, 0, 255), "[0x2a][0X2A][010][0][0x000000ff]"},
        {__LINE__, A("[%*d][%-*d][%*d]", 4, 7, 4, 7, -4, 7), "[   7][7   ][7   ]"},
        {__LINE__, A("[%5s][%-5s][%.2s][%5.1s]", "ab", "ab", "abcdef", "xyz"), "[   ab][ab   ][ab][    x]"},
        {__LINE__, A("[%.*s][%3c][%-3c]", 3, "abcdef", 'x', 'y'), "[abc][  x][y  ]"},
        {__LINE__, A("[%20p]", reinterpret_cast<void*>(1)), "[    0000000000000001]"},
        {__LINE__, A("100%% %d%%|%.2f|%5.1f", 5, 3.14159, 2.25), "100% 5%|3.14|  2.2"},
        {__LINE__, W(u"[%-6ws][%3S]", u"ab", "c"), "[ab    ][  c]"},
        // An unknown conversion prints as itself and takes no argument.
        {__LINE__, A("%y %d", 4), "y 4"},
        {__LINE__, A("abc%"), "abc"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.Got, row.Want) << "row at line " << row.Line;
}

// _vsn*printf: terminated when there is room, the count without a terminator when the output
// exactly fills the buffer, -1 with a full unterminated buffer when it does not fit.
TEST(RtlFormat, SnprintfTruncationFollowsTheRuntime)
{
    struct Case
    {
        size_t Count;
        int Result;
        const char* Buffer; // the first Count + 1 bytes afterwards ('#' = untouched)
    };
    const Case cases[] = {
        {8, 3, "abc\0#####"}, {4, 3, "abc\0#"}, {3, 3, "abc#"}, {2, -1, "ab#"}, {0, -1, "#"},
    };
    for (const Case& c : cases)
    {
        char buffer[16];
        memset(buffer, '#', sizeof(buffer));
        int result = _snprintf(buffer, c.Count, "%s", "abc");
        EXPECT_EQ(result, c.Result) << "count " << c.Count;
        EXPECT_EQ(std::string(buffer, c.Count + 1), std::string(c.Buffer, c.Count + 1))
            << "count " << c.Count;

        WCHAR wide[16];
        for (WCHAR& w : wide)
            w = u'#';
        EXPECT_EQ(_snwprintf(wide, c.Count, u"%s", u"abc"), c.Result) << "count " << c.Count;
        for (size_t i = 0; i <= c.Count; i++)
            EXPECT_EQ(wide[i], static_cast<WCHAR>(static_cast<UCHAR>(c.Buffer[i]))) << "count " << c.Count;
    }
    EXPECT_EQ(_snprintf(nullptr, 0, ""), 0);
}

// RtlStringCb/CchPrintf: always terminated, STATUS_BUFFER_OVERFLOW when cut short.
TEST(RtlFormat, BoundedPrintfAlwaysTerminates)
{
    WCHAR w[8];
    EXPECT_EQ(RtlStringCbPrintfW(w, 8, u"%s", u"abc"), STATUS_SUCCESS);
    EXPECT_EQ(Show(w, wcslen(w)), "abc");
    EXPECT_EQ(RtlStringCbPrintfW(w, 8, u"%s", u"abcd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Show(w, wcslen(w)), "abc");
    EXPECT_EQ(RtlStringCbPrintfW(w, 7, u"%sOut%02d", u"SPK", 1), STATUS_BUFFER_OVERFLOW) << "odd byte count";
    EXPECT_EQ(Show(w, wcslen(w)), "SP");
    EXPECT_EQ(RtlStringCchPrintfW(w, RTL_NUMBER_OF(w), u"%sIn%02d", u"Mic", 1), STATUS_SUCCESS);
    EXPECT_EQ(Show(w, wcslen(w)), "MicIn01");
    EXPECT_EQ(RtlStringCchPrintfW(w, RTL_NUMBER_OF(w), u"%sIn%02d", u"Mic", 100), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Show(w, wcslen(w)), "MicIn10");

    w[0] = u'#';
    EXPECT_EQ(RtlStringCbPrintfW(w, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(w, 1, u"x"), STATUS_INVALID_PARAMETER) << "no room for one WCHAR";
    EXPECT_EQ(w[0], u'#');
    EXPECT_EQ(RtlStringCchPrintfW(w, 1, u"x"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(w[0], 0);

    char a[6];
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof(a), "%s%d", "ab", 12), STATUS_SUCCESS);
    EXPECT_STREQ(a, "ab12");
    EXPECT_EQ(RtlStringCbPrintfA(a, sizeof(a), "%s%d", "ab", 1234), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(a, "ab123");
    EXPECT_EQ(RtlStringCchPrintfA(a, sizeof(a), "%S", u"wide!"), STATUS_SUCCESS);
    EXPECT_STREQ(a, "wide!");
}

} // namespace
