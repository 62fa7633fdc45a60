// The kernel runtime's printf engine, written once for narrow and wide output. It follows the
// Windows conventions rather than the host's: %s takes a string of the format's own width and
// %S of the other, l is 32 bits (LLP64), I64/ll 64 bits, %p is 16 upper-case hex digits, and
// %Z/%wZ print counted strings. The entry points differ only in how they report truncation.
#include "rtl.h"

#include "ntstatus.h"
#include "plat_fatal.h"

#include <cstdio>

namespace
{

enum class ArgSize
{
    Default,
    Char,   // hh
    Short,  // h
    Long32, // l, I32
    Long64, // ll, I64
    Ptr,    // I, z, t, j
};

struct FormatSpec
{
    bool Left = false;
    bool Plus = false;
    bool Space = false;
    bool Alternate = false;
    bool Zero = false;
    int Width = 0;
    int Precision = -1; // -1: none given
    ArgSize Size = ArgSize::Default;
    bool Wide = false;   // w or l before s, c or Z
    bool Narrow = false; // h before s, c
    char Conversion = 0;
};

// va_list is an array type on x86-64: carry it in a struct so helpers share one position.
struct Arguments
{
    va_list List;
};

template <typename CharT> class Output
{
public:
    Output(CharT* buffer, size_t capacity) : m_pBuffer(buffer), m_nCapacity(capacity) {}

    void Put(UINT c)
    {
        if (m_nLength < m_nCapacity)
        {
            m_pBuffer[m_nLength] = static_cast<CharT>(c);
        }
        m_nLength++;
    }

    void Repeat(UINT c, int count)
    {
        for (int i = 0; i < count; i++)
        {
            Put(c);
        }
    }

    size_t Length() const { return m_nLength; }

private:
    CharT* m_pBuffer;
    size_t m_nCapacity;
    size_t m_nLength = 0;
};

// A character of the other width in the C locale: narrow bytes widen unchanged, wide
// characters beyond one byte cannot be represented and print as '?'.
template <typename CharT> UINT ConvertChar(UINT c, bool sourceWide)
{
    if (sizeof(CharT) == 1 && sourceWide)
    {
        return c <= 0xFF ? c : '?';
    }
    return sourceWide ? (c & 0xFFFF) : (c & 0xFF);
}

template <typename CharT> bool ParseNumber(const CharT*& p, int& value)
{
    if (*p < '0' || *p > '9')
    {
        return false;
    }
    value = 0;
    while (*p >= '0' && *p <= '9')
    {
        value = value * 10 + (*p++ - '0');
    }
    return true;
}

template <typename CharT> void ParseFlags(const CharT*& p, FormatSpec& spec)
{
    for (;; p++)
    {
        switch (*p)
        {
        case '-':
            spec.Left = true;
            break;
        case '+':
            spec.Plus = true;
            break;
        case ' ':
            spec.Space = true;
            break;
        case '#':
            spec.Alternate = true;
            break;
        case '0':
            spec.Zero = true;
            break;
        default:
            return;
        }
    }
}

template <typename CharT> void ParseWidthAndPrecision(const CharT*& p, FormatSpec& spec, Arguments& args)
{
    if (*p == '*')
    {
        p++;
        spec.Width = va_arg(args.List, int);
        if (spec.Width < 0)
        {
            spec.Left = true;
            spec.Width = -spec.Width;
        }
    }
    else
    {
        ParseNumber(p, spec.Width);
    }
    if (*p != '.')
    {
        return;
    }
    p++;
    spec.Precision = 0;
    if (*p == '*')
    {
        p++;
        spec.Precision = va_arg(args.List, int);
        if (spec.Precision < 0)
        {
            spec.Precision = -1;
        }
    }
    else
    {
        ParseNumber(p, spec.Precision);
    }
}

template <typename CharT> void ParseSize(const CharT*& p, FormatSpec& spec)
{
    switch (*p)
    {
    case 'h':
        p++;
        spec.Narrow = true;
        spec.Size = ArgSize::Short;
        if (*p == 'h')
        {
            p++;
            spec.Size = ArgSize::Char;
        }
        break;
    case 'l':
        p++;
        spec.Wide = true;
        spec.Size = ArgSize::Long32;
        if (*p == 'l')
        {
            p++;
            spec.Size = ArgSize::Long64;
        }
        break;
    case 'w':
        p++;
        spec.Wide = true;
        break;
    case 'I':
        p++;
        spec.Size = ArgSize::Ptr;
        if (p[0] == '6' && p[1] == '4')
        {
            p += 2;
            spec.Size = ArgSize::Long64;
        }
        else if (p[0] == '3' && p[1] == '2')
        {
            p += 2;
            spec.Size = ArgSize::Long32;
        }
        break;
    case 'z':
    case 't':
    case 'j':
        p++;
        spec.Size = ArgSize::Ptr;
        break;
    case 'L':
        p++;
        break;
    }
}

ULONGLONG ReadUnsigned(Arguments& args, ArgSize size)
{
    switch (size)
    {
    case ArgSize::Long64:
    case ArgSize::Ptr:
        return va_arg(args.List, unsigned long long);
    case ArgSize::Short:
        return static_cast<USHORT>(va_arg(args.List, unsigned int));
    case ArgSize::Char:
        return static_cast<UCHAR>(va_arg(args.List, unsigned int));
    default:
        return va_arg(args.List, unsigned int);
    }
}

LONGLONG ReadSigned(Arguments& args, ArgSize size)
{
    switch (size)
    {
    case ArgSize::Long64:
    case ArgSize::Ptr:
        return va_arg(args.List, long long);
    case ArgSize::Short:
        return static_cast<SHORT>(va_arg(args.List, int));
    case ArgSize::Char:
        return static_cast<signed char>(va_arg(args.List, int));
    default:
        return va_arg(args.List, int);
    }
}

// Pads `body` (already in narrow characters) to the width; zero padding goes between the
// prefix (sign, 0x) and the digits.
template <typename CharT>
void EmitPadded(Output<CharT>& out, const FormatSpec& spec, const char* prefix, const char* body,
                int bodyLength, bool zeroPad)
{
    int prefixLength = static_cast<int>(std::strlen(prefix));
    int pad = spec.Width - prefixLength - bodyLength;
    if (pad < 0)
    {
        pad = 0;
    }
    if (!spec.Left && !zeroPad)
    {
        out.Repeat(' ', pad);
    }
    for (const char* c = prefix; *c; c++)
    {
        out.Put(static_cast<UCHAR>(*c));
    }
    if (!spec.Left && zeroPad)
    {
        out.Repeat('0', pad);
    }
    for (int i = 0; i < bodyLength; i++)
    {
        out.Put(static_cast<UCHAR>(body[i]));
    }
    if (spec.Left)
    {
        out.Repeat(' ', pad);
    }
}

template <typename CharT> void EmitInteger(Output<CharT>& out, const FormatSpec& spec, Arguments& args)
{
    bool isSigned = spec.Conversion == 'd' || spec.Conversion == 'i';
    bool negative = false;
    ULONGLONG value;
    if (isSigned)
    {
        LONGLONG v = ReadSigned(args, spec.Size);
        negative = v < 0;
        value = negative ? 0 - static_cast<ULONGLONG>(v) : static_cast<ULONGLONG>(v);
    }
    else
    {
        value = ReadUnsigned(args, spec.Size);
    }
    UINT base = (spec.Conversion == 'x' || spec.Conversion == 'X') ? 16 : spec.Conversion == 'o' ? 8 : 10;
    const char* digitSet = spec.Conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";

    char digits[72];
    int n = 0;
    for (ULONGLONG v = value; v != 0; v /= base)
    {
        digits[n++] = digitSet[v % base];
    }
    int minDigits = spec.Precision >= 0 ? spec.Precision : 1;
    if (minDigits > 64)
    {
        minDigits = 64;
    }
    if (spec.Alternate && base == 8 && minDigits <= n)
    {
        minDigits = n + 1; // %#o always shows a leading zero
    }
    while (n < minDigits)
    {
        digits[n++] = '0';
    }
    char body[72];
    for (int i = 0; i < n; i++)
    {
        body[i] = digits[n - 1 - i];
    }

    const char* prefix = "";
    if (negative)
    {
        prefix = "-";
    }
    else if (isSigned && spec.Plus)
    {
        prefix = "+";
    }
    else if (isSigned && spec.Space)
    {
        prefix = " ";
    }
    else if (spec.Alternate && base == 16 && value != 0)
    {
        prefix = spec.Conversion == 'X' ? "0X" : "0x";
    }
    EmitPadded(out, spec, prefix, body, n, spec.Zero && !spec.Left && spec.Precision < 0);
}

// x86-64 Windows prints a pointer as all 16 of its hex digits, upper case.
template <typename CharT> void EmitPointer(Output<CharT>& out, FormatSpec spec, Arguments& args)
{
    spec.Size = ArgSize::Ptr;
    spec.Conversion = 'X';
    spec.Precision = 16;
    spec.Alternate = false;
    EmitInteger(out, spec, args);
}

// Emits `count` characters of a string of either width, padded to the field width.
template <typename CharT>
void EmitChars(Output<CharT>& out, const FormatSpec& spec, const void* chars, size_t count, bool sourceWide)
{
    if (spec.Precision >= 0 && count > static_cast<size_t>(spec.Precision))
    {
        count = spec.Precision;
    }
    int pad = spec.Width > static_cast<int>(count) ? spec.Width - static_cast<int>(count) : 0;
    if (!spec.Left)
    {
        out.Repeat(spec.Zero ? '0' : ' ', pad);
    }
    for (size_t i = 0; i < count; i++)
    {
        UINT c = sourceWide ? static_cast<const WCHAR*>(chars)[i] : static_cast<const UCHAR*>(chars)[i];
        out.Put(ConvertChar<CharT>(c, sourceWide));
    }
    if (spec.Left)
    {
        out.Repeat(' ', pad);
    }
}

template <typename CharT> void EmitNull(Output<CharT>& out, const FormatSpec& spec)
{
    EmitChars(out, spec, "(null)", 6, false);
}

// Whether a %s, %c or %Z argument is wide: the format's own width unless a size prefix or the
// upper-case conversion says otherwise.
template <typename CharT> bool ArgumentIsWide(const FormatSpec& spec, bool upperCase)
{
    if (spec.Wide)
    {
        return true;
    }
    if (spec.Narrow)
    {
        return false;
    }
    bool formatWide = sizeof(CharT) == 2;
    return upperCase ? !formatWide : formatWide;
}

template <typename CharT>
void EmitString(Output<CharT>& out, const FormatSpec& spec, Arguments& args, bool upperCase)
{
    bool wide = ArgumentIsWide<CharT>(spec, upperCase);
    const void* s = va_arg(args.List, const void*);
    if (!s)
    {
        EmitNull(out, spec);
        return;
    }
    size_t limit = spec.Precision >= 0 ? static_cast<size_t>(spec.Precision) : SIZE_MAX;
    size_t count = 0;
    if (wide)
    {
        while (count < limit && static_cast<const WCHAR*>(s)[count])
        {
            count++;
        }
    }
    else
    {
        while (count < limit && static_cast<const char*>(s)[count])
        {
            count++;
        }
    }
    EmitChars(out, spec, s, count, wide);
}

template <typename CharT>
void EmitCharacter(Output<CharT>& out, FormatSpec spec, Arguments& args, bool upperCase)
{
    spec.Precision = -1; // a precision does not apply to a character
    bool wide = ArgumentIsWide<CharT>(spec, upperCase);
    UINT c = va_arg(args.List, unsigned int);
    if (wide)
    {
        WCHAR w = static_cast<WCHAR>(c);
        EmitChars(out, spec, &w, 1, true);
    }
    else
    {
        char n = static_cast<char>(c);
        EmitChars(out, spec, &n, 1, false);
    }
}

// %Z: an ANSI_STRING*; %wZ (or %lZ): a UNICODE_STRING*.
template <typename CharT> void EmitCountedString(Output<CharT>& out, const FormatSpec& spec, Arguments& args)
{
    if (spec.Wide)
    {
        PCUNICODE_STRING s = va_arg(args.List, PCUNICODE_STRING);
        if (!s || !s->Buffer)
        {
            EmitNull(out, spec);
            return;
        }
        EmitChars(out, spec, s->Buffer, s->Length / sizeof(WCHAR), true);
        return;
    }
    PCANSI_STRING s = va_arg(args.List, PCANSI_STRING);
    if (!s || !s->Buffer)
    {
        EmitNull(out, spec);
        return;
    }
    EmitChars(out, spec, s->Buffer, s->Length, false);
}

// Floating point is rare in drivers; the host's printf does the digits.
template <typename CharT> void EmitFloat(Output<CharT>& out, const FormatSpec& spec, Arguments& args)
{
    double value = va_arg(args.List, double);
    char format[32];
    std::snprintf(format, sizeof(format), "%%%s%s%s%s%s*.*%c", spec.Left ? "-" : "", spec.Plus ? "+" : "",
                  spec.Space ? " " : "", spec.Alternate ? "#" : "", spec.Zero ? "0" : "", spec.Conversion);
    char text[512];
    int n = std::snprintf(text, sizeof(text), format, spec.Width, spec.Precision, value);
    for (int i = 0; i < n && i < static_cast<int>(sizeof(text)) - 1; i++)
    {
        out.Put(static_cast<UCHAR>(text[i]));
    }
}

template <typename CharT> void EmitConversion(Output<CharT>& out, const FormatSpec& spec, Arguments& args)
{
    switch (spec.Conversion)
    {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        EmitInteger(out, spec, args);
        break;
    case 'p':
        EmitPointer(out, spec, args);
        break;
    case 's':
        EmitString(out, spec, args, false);
        break;
    case 'S':
        EmitString(out, spec, args, true);
        break;
    case 'c':
        EmitCharacter(out, spec, args, false);
        break;
    case 'C':
        EmitCharacter(out, spec, args, true);
        break;
    case 'Z':
        EmitCountedString(out, spec, args);
        break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        EmitFloat(out, spec, args);
        break;
    case '%':
        out.Put('%');
        break;
    case 'n':
        plat::Fatal("format string uses %%n: the kernel runtime refuses it");
    default:
        out.Put(static_cast<UCHAR>(spec.Conversion));
        break; // unknown: printed as itself
    }
}

// Formats into `buffer`, writing at most `capacity` characters and no terminator; returns the
// length the whole result has.
template <typename CharT>
size_t FormatInto(CharT* buffer, size_t capacity, const CharT* format, va_list argList)
{
    Output<CharT> out(buffer, capacity);
    Arguments args;
    va_copy(args.List, argList);
    for (const CharT* p = format; *p;)
    {
        if (*p != '%')
        {
            out.Put(*p++);
            continue;
        }
        p++;
        FormatSpec spec;
        ParseFlags(p, spec);
        ParseWidthAndPrecision(p, spec, args);
        ParseSize(p, spec);
        if (*p == 0)
        {
            break;
        }
        UINT c = *p++;
        spec.Conversion = c < 0x80 ? static_cast<char>(c) : '?';
        EmitConversion(out, spec, args);
    }
    va_end(args.List);
    return out.Length();
}

// The runtime's _vsn*printf contract: terminated when there is room, the count without a
// terminator when the result fills the buffer exactly, -1 when it does not fit.
template <typename CharT> int VsnPrintf(CharT* buffer, size_t count, const CharT* format, va_list argList)
{
    size_t length = FormatInto(buffer, count, format, argList);
    if (length < count)
    {
        buffer[length] = 0;
    }
    if (length > count || length > static_cast<size_t>(INT32_MAX))
    {
        return -1;
    }
    return static_cast<int>(length);
}

// ntstrsafe's contract: always terminated, STATUS_BUFFER_OVERFLOW when cut short.
template <typename CharT>
NTSTATUS CchVPrintf(CharT* dest, size_t cchDest, const CharT* format, va_list argList)
{
    if (!dest || cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (!format)
    {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t length = FormatInto(dest, cchDest - 1, format, argList);
    dest[length < cchDest - 1 ? length : cchDest - 1] = 0;
    return length > cchDest - 1 ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

} // namespace

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list argptr)
{
    return VsnPrintf(buffer, count, format, argptr);
}

int _vsnprintf(char* buffer, size_t count, const char* format, va_list argptr)
{
    return VsnPrintf(buffer, count, format, argptr);
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = VsnPrintf(buffer, count, format, args);
    va_end(args);
    return result;
}

int _snprintf(char* buffer, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = VsnPrintf(buffer, count, format, args);
    va_end(args);
    return result;
}

NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList)
{
    return CchVPrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList)
{
    return CchVPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList)
{
    return CchVPrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList)
{
    return CchVPrintf(pszDest, cbDest, pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = CchVPrintf(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = CchVPrintf(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = CchVPrintf(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = CchVPrintf(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}
