#include "Util/Log/LogFormat.h"

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "Platform/Base/Utf.h"

namespace Ostrel::Util {

namespace {

// Bounds for widths and precisions taken from arguments, so a stray value cannot ask for gigabytes.
constexpr int kMaxFieldWidth = 1 << 16;

enum class Length { None, Char, Short, Long32, Long64, Size, IntMax, PtrDiff, LongDouble, Wide };

struct Field {
    bool bLeft = false;
    bool bPlus = false;
    bool bSpace = false;
    bool bAlt = false;
    bool bZero = false;
    int nWidth = 0;
    int nPrecision = -1;
    Length length = Length::None;
};

template <typename OutChar>
void AppendAscii(std::basic_string<OutChar>& out, const char* psz, size_t cch) {
    out.append(psz, psz + cch);
}

void AppendText(std::wstring& out, const wchar_t* p, size_t cch) {
    out.append(p, cch);
}
void AppendText(std::wstring& out, const char* p, size_t cch) {
    out += Platform::FromUtf8(std::string_view(p, cch));
}
void AppendText(std::string& out, const char* p, size_t cch) {
    out.append(p, cch);
}
void AppendText(std::string& out, const wchar_t* p, size_t cch) {
    out += Platform::ToUtf8(std::wstring_view(p, cch));
}

template <typename InChar, typename OutChar>
class Formatter {
public:
    Formatter(const InChar* pFormat, va_list args) : m_pFormat(pFormat) { va_copy(m_ap, args); }
    ~Formatter() { va_end(m_ap); }
    Formatter(const Formatter&) = delete;
    Formatter& operator=(const Formatter&) = delete;

    std::basic_string<OutChar> Run() {
        if (!m_pFormat) {
            AppendAscii(m_out, "(null)", 6);
            return std::move(m_out);
        }
        const InChar* p = m_pFormat;
        const InChar* pLiteral = p;
        while (*p) {
            if (*p != '%') {
                ++p;
                continue;
            }
            AppendText(m_out, pLiteral, static_cast<size_t>(p - pLiteral));
            p = Conversion(p);
            pLiteral = p;
        }
        AppendText(m_out, pLiteral, static_cast<size_t>(p - pLiteral));
        return std::move(m_out);
    }

private:
    static constexpr bool kWideFormat = sizeof(InChar) != 1;

    static int ReadNumber(const InChar*& p) {
        long lValue = 0;
        while (*p >= '0' && *p <= '9') {
            if (lValue < kMaxFieldWidth)
                lValue = lValue * 10 + (*p - '0');
            ++p;
        }
        return static_cast<int>(lValue < kMaxFieldWidth ? lValue : kMaxFieldWidth);
    }

    // Handles one conversion starting at '%'; returns the position after it.
    const InChar* Conversion(const InChar* pStart) {
        const InChar* p = pStart + 1;
        Field field;
        for (;; ++p) {
            if (*p == '-')
                field.bLeft = true;
            else if (*p == '+')
                field.bPlus = true;
            else if (*p == ' ')
                field.bSpace = true;
            else if (*p == '#')
                field.bAlt = true;
            else if (*p == '0')
                field.bZero = true;
            else
                break;
        }
        if (*p == '*') {
            int nWidth = va_arg(m_ap, int);
            if (nWidth < 0) {
                field.bLeft = true;
                nWidth = nWidth == INT32_MIN ? kMaxFieldWidth : -nWidth;
            }
            field.nWidth = nWidth < kMaxFieldWidth ? nWidth : kMaxFieldWidth;
            ++p;
        } else {
            field.nWidth = ReadNumber(p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                int nPrecision = va_arg(m_ap, int);
                field.nPrecision = nPrecision < 0 ? -1 : (nPrecision < kMaxFieldWidth ? nPrecision : kMaxFieldWidth);
                ++p;
            } else {
                field.nPrecision = ReadNumber(p);
            }
        }
        p = LengthModifier(p, field.length);

        switch (*p) {
            case 'd':
            case 'i':
                Signed(field, static_cast<char>(*p));
                break;
            case 'u':
            case 'o':
            case 'x':
            case 'X':
                Unsigned(field, static_cast<char>(*p));
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                Double(field, static_cast<char>(*p));
                break;
            case 's':
            case 'S':
                String(field, IsWideArgument(field.length, *p == 's'));
                break;
            case 'c':
            case 'C':
                Character(field, IsWideArgument(field.length, *p == 'c'));
                break;
            case 'p':
                Pointer(field);
                break;
            case 'n':
                // Never written: a format string must not be able to store through an argument.
                (void)va_arg(m_ap, void*);
                break;
            case '%':
                m_out.push_back(static_cast<OutChar>('%'));
                break;
            case 0:
                // A lone '%' at the end of the format is printed as it is.
                AppendText(m_out, pStart, static_cast<size_t>(p - pStart));
                return p;
            default:
                // Unknown conversion: shown verbatim rather than guessing at its argument.
                AppendText(m_out, pStart, static_cast<size_t>(p + 1 - pStart));
                break;
        }
        return p + 1;
    }

    static const InChar* LengthModifier(const InChar* p, Length& length) {
        switch (*p) {
            case 'h':
                if (p[1] == 'h') {
                    length = Length::Char;
                    return p + 2;
                }
                length = Length::Short;
                return p + 1;
            case 'l':
                if (p[1] == 'l') {
                    length = Length::Long64;
                    return p + 2;
                }
                length = Length::Long32;
                return p + 1;
            case 'w':
                length = Length::Wide;
                return p + 1;
            case 'L':
                length = Length::LongDouble;
                return p + 1;
            case 'q':
                length = Length::Long64;
                return p + 1;
            case 'z':
                length = Length::Size;
                return p + 1;
            case 'j':
                length = Length::IntMax;
                return p + 1;
            case 't':
                length = Length::PtrDiff;
                return p + 1;
            case 'I':
                if (p[1] == '6' && p[2] == '4') {
                    length = Length::Long64;
                    return p + 3;
                }
                if (p[1] == '3' && p[2] == '2') {
                    length = Length::Long32;
                    return p + 3;
                }
                length = Length::Size;
                return p + 1;
            default:
                return p;
        }
    }

    // %s and %c name the format's own width; %S and %C the other one; h and l/w force it.
    static bool IsWideArgument(Length length, bool bLowerCase) {
        if (length == Length::Short)
            return false;
        if (length == Length::Long32 || length == Length::Wide)
            return true;
        return bLowerCase ? kWideFormat : !kWideFormat;
    }

    long long ReadSigned(Length length) {
        switch (length) {
            case Length::Char:
                return static_cast<signed char>(va_arg(m_ap, int));
            case Length::Short:
                return static_cast<short>(va_arg(m_ap, int));
            case Length::Long64:
                return va_arg(m_ap, long long);
            case Length::Size:
                return va_arg(m_ap, ssize_t);
            case Length::IntMax:
                return va_arg(m_ap, intmax_t);
            case Length::PtrDiff:
                return va_arg(m_ap, std::ptrdiff_t);
            default:
                return va_arg(m_ap, int);
        }
    }

    unsigned long long ReadUnsigned(Length length) {
        switch (length) {
            case Length::Char:
                return static_cast<unsigned char>(va_arg(m_ap, unsigned int));
            case Length::Short:
                return static_cast<unsigned short>(va_arg(m_ap, unsigned int));
            case Length::Long64:
                return va_arg(m_ap, unsigned long long);
            case Length::Size:
                return va_arg(m_ap, size_t);
            case Length::IntMax:
                return static_cast<unsigned long long>(va_arg(m_ap, uintmax_t));
            case Length::PtrDiff:
                return static_cast<unsigned long long>(va_arg(m_ap, std::ptrdiff_t));
            default:
                return va_arg(m_ap, unsigned int);
        }
    }

    // Builds a single-conversion C format from a parsed field; only called with types we read ourselves.
    static std::string CFormat(const Field& field, const char* pszLength, char chConversion) {
        std::string s = "%";
        if (field.bLeft)
            s += '-';
        if (field.bPlus)
            s += '+';
        if (field.bSpace)
            s += ' ';
        if (field.bAlt)
            s += '#';
        if (field.bZero)
            s += '0';
        if (field.nWidth > 0)
            s += std::to_string(field.nWidth);
        if (field.nPrecision >= 0)
            s += '.' + std::to_string(field.nPrecision);
        s += pszLength;
        s += chConversion;
        return s;
    }

    template <typename T>
    void AppendC(const std::string& sFormat, T value) {
        char szBuffer[128];
        int cch = std::snprintf(szBuffer, sizeof szBuffer, sFormat.c_str(), value);
        if (cch < 0)
            return;
        if (static_cast<size_t>(cch) < sizeof szBuffer) {
            AppendAscii(m_out, szBuffer, static_cast<size_t>(cch));
            return;
        }
        std::string sLarge(static_cast<size_t>(cch) + 1, '\0');
        std::snprintf(sLarge.data(), sLarge.size(), sFormat.c_str(), value);
        AppendAscii(m_out, sLarge.data(), static_cast<size_t>(cch));
    }

    void Signed(const Field& field, char chConversion) {
        AppendC(CFormat(field, "ll", chConversion), ReadSigned(field.length));
    }

    void Unsigned(const Field& field, char chConversion) {
        AppendC(CFormat(field, "ll", chConversion), ReadUnsigned(field.length));
    }

    void Double(const Field& field, char chConversion) {
        // Windows' long double is a double, so %Lf takes a double as well.
        AppendC(CFormat(field, "", chConversion), va_arg(m_ap, double));
    }

    void Pointer(const Field& field) {
        char szBuffer[32];
        int cch = std::snprintf(szBuffer, sizeof szBuffer, "%016llX",
                                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(m_ap, void*))));
        Pad(
            field, [&] { AppendAscii(m_out, szBuffer, static_cast<size_t>(cch)); }, static_cast<size_t>(cch));
    }

    template <typename Emit>
    void Pad(const Field& field, Emit emit, size_t cchContent) {
        size_t cchPad = field.nWidth > 0 && cchContent < static_cast<size_t>(field.nWidth)
                            ? static_cast<size_t>(field.nWidth) - cchContent
                            : 0;
        if (!field.bLeft)
            m_out.append(cchPad, static_cast<OutChar>(' '));
        emit();
        if (field.bLeft)
            m_out.append(cchPad, static_cast<OutChar>(' '));
    }

    void String(const Field& field, bool bWide) {
        std::basic_string<OutChar> sText;
        if (bWide) {
            const wchar_t* pwsz = va_arg(m_ap, const wchar_t*);
            if (!pwsz)
                AppendAscii(sText, "(null)", 6);
            else
                AppendText(sText, pwsz,
                           field.nPrecision >= 0 ? wcsnlen(pwsz, static_cast<size_t>(field.nPrecision)) : wcslen(pwsz));
        } else {
            const char* psz = va_arg(m_ap, const char*);
            if (!psz)
                AppendAscii(sText, "(null)", 6);
            else
                AppendText(sText, psz,
                           field.nPrecision >= 0 ? strnlen(psz, static_cast<size_t>(field.nPrecision)) : strlen(psz));
        }
        // Precision counts characters of the text as printed.
        if (field.nPrecision >= 0 && sText.size() > static_cast<size_t>(field.nPrecision))
            sText.resize(static_cast<size_t>(field.nPrecision));
        Pad(
            field, [&] { m_out += sText; }, sText.size());
    }

    void Character(const Field& field, bool bWide) {
        int nValue = va_arg(m_ap, int);
        std::basic_string<OutChar> sText;
        if (bWide) {
            wchar_t wch = static_cast<wchar_t>(nValue);
            if (wch)
                AppendText(sText, &wch, 1);
        } else {
            char ch = static_cast<char>(nValue);
            if (ch)
                AppendText(sText, &ch, 1);
        }
        Pad(
            field, [&] { m_out += sText; }, sText.empty() ? 1 : sText.size());
    }

    const InChar* m_pFormat;
    va_list m_ap;
    std::basic_string<OutChar> m_out;
};

}  // namespace

std::wstring VFormatW(const wchar_t* pwszFormat, va_list args) {
    return Formatter<wchar_t, wchar_t>(pwszFormat, args).Run();
}

std::wstring FormatW(const wchar_t* pwszFormat, ...) {
    va_list args;
    va_start(args, pwszFormat);
    std::wstring ws = VFormatW(pwszFormat, args);
    va_end(args);
    return ws;
}

std::wstring VFormatW(const char* pszFormat, va_list args) {
    return Formatter<char, wchar_t>(pszFormat, args).Run();
}

std::string VFormatA(const char* pszFormat, va_list args) {
    return Formatter<char, char>(pszFormat, args).Run();
}

std::string FormatA(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::string s = VFormatA(pszFormat, args);
    va_end(args);
    return s;
}

}  // namespace Ostrel::Util
