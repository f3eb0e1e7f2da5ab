#include "Platform/Mapi/Convert/Charset.h"

#include <unicode/ucnv.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "Platform/Base/Utf.h"

namespace Platform::Mapi::Convert {

namespace {

struct Entry {
    const char* pszName;
    ULONG ulCodePage;
};

// The first name of each code page is the one written; the others are accepted aliases.
constexpr Entry kCharsets[] = {
    {"us-ascii", 20127},    {"ascii", 20127},        {"ansi_x3.4-1968", 20127},
    {"utf-8", 65001},       {"utf8", 65001},         {"utf-7", 65000},
    {"iso-8859-1", 28591},  {"latin1", 28591},       {"iso8859-1", 28591},
    {"iso-8859-2", 28592},  {"iso-8859-3", 28593},   {"iso-8859-4", 28594},
    {"iso-8859-5", 28595},  {"iso-8859-6", 28596},   {"iso-8859-7", 28597},
    {"iso-8859-8", 28598},  {"iso-8859-8-i", 38598}, {"iso-8859-9", 28599},
    {"iso-8859-13", 28603}, {"iso-8859-15", 28605},  {"windows-1250", 1250},
    {"cp1250", 1250},       {"windows-1251", 1251},  {"cp1251", 1251},
    {"windows-1252", 1252}, {"cp1252", 1252},        {"windows-1253", 1253},
    {"windows-1254", 1254}, {"windows-1255", 1255},  {"windows-1256", 1256},
    {"windows-1257", 1257}, {"windows-1258", 1258},  {"windows-874", 874},
    {"tis-620", 874},       {"koi8-r", 20866},       {"koi8-u", 21866},
    {"shift_jis", 932},     {"shift-jis", 932},      {"sjis", 932},
    {"x-sjis", 932},        {"cp932", 932},          {"euc-jp", 51932},
    {"iso-2022-jp", 50220}, {"gb2312", 936},         {"gbk", 936},
    {"cp936", 936},         {"gb18030", 54936},      {"big5", 950},
    {"cp950", 950},         {"ks_c_5601-1987", 949}, {"cp949", 949},
    {"euc-kr", 51949},      {"iso-2022-kr", 50225},  {"utf-16", 1200},
    {"utf-16le", 1200},     {"utf-16be", 1201},      {"ibm866", 866},
    {"cp866", 866},         {"ibm850", 850},         {"ibm437", 437},
};

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string Trimmed(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\"'");
    size_t e = s.find_last_not_of(" \t\"'");
    return b == std::string_view::npos ? std::string() : Lower(s.substr(b, e - b + 1));
}

struct ConverterCloser {
    void operator()(UConverter* p) const { ucnv_close(p); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

ConverterPtr Open(const std::string& charset) {
    UErrorCode status = U_ZERO_ERROR;
    ConverterPtr conv(ucnv_open(charset.c_str(), &status));
    if (U_FAILURE(status))
        return nullptr;
    return conv;
}

// Strict decoding: false at the first byte sequence the charset does not define.
bool IcuDecode(std::string_view bytes, const std::string& charset, std::wstring& out) {
    ConverterPtr conv = Open(charset);
    if (!conv)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setToUCallBack(conv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    if (U_FAILURE(status))
        return false;
    std::vector<UChar> buf(bytes.size() * 2 + 16);
    const char* src = bytes.data();
    const char* srcEnd = bytes.data() + bytes.size();
    std::u16string acc;
    for (;;) {
        UChar* target = buf.data();
        status = U_ZERO_ERROR;
        ucnv_toUnicode(conv.get(), &target, buf.data() + buf.size(), &src, srcEnd, nullptr, TRUE, &status);
        acc.append(reinterpret_cast<const char16_t*>(buf.data()), static_cast<size_t>(target - buf.data()));
        if (status == U_BUFFER_OVERFLOW_ERROR)
            continue;
        if (U_FAILURE(status))
            return false;
        break;
    }
    out = Platform::FromUtf16(acc);
    return true;
}

bool IsAscii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// ISO-8859-1 maps every byte to the character of the same number.
std::wstring Latin1(std::string_view bytes) {
    std::wstring out(bytes.size(), L'\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        out[i] = static_cast<unsigned char>(bytes[i]);
    return out;
}

}  // namespace

ULONG CodePageOfCharset(std::string_view charset) {
    const std::string name = Trimmed(charset);
    for (const Entry& e : kCharsets)
        if (name == e.pszName)
            return e.ulCodePage;
    if (name.rfind("windows-", 0) == 0 || name.rfind("x-cp", 0) == 0) {
        const size_t start = name[0] == 'w' ? 8 : 4;
        ULONG cp = 0;
        for (size_t i = start; i < name.size(); ++i) {
            if (name[i] < '0' || name[i] > '9' || cp > 100000)
                return 0;
            cp = cp * 10 + static_cast<ULONG>(name[i] - '0');
        }
        return cp;
    }
    return 0;
}

std::string CharsetOfCodePage(ULONG ulCodePage) {
    for (const Entry& e : kCharsets)
        if (e.ulCodePage == ulCodePage)
            return e.pszName;
    return std::string();
}

DecodedText DecodeText(std::string_view bytes, std::string_view charset) {
    DecodedText result;
    std::string name = Trimmed(charset);
    if (name.empty())
        name = "us-ascii";
    if (name == "us-ascii" || name == "ascii" || name == "ansi_x3.4-1968") {
        if (IsAscii(bytes)) {
            result.wsText = Latin1(bytes);
            result.sCharset = "us-ascii";
            return result;
        }
    } else if (name == "utf-8" || name == "utf8") {
        bool bInvalid = false;
        std::wstring text = Platform::FromUtf8(bytes, &bInvalid);
        if (!bInvalid) {
            result.wsText = std::move(text);
            result.sCharset = "utf-8";
            return result;
        }
    } else if (name == "iso-8859-1" || name == "latin1") {
        result.wsText = Latin1(bytes);
        result.sCharset = "iso-8859-1";
        return result;
    } else if (IcuDecode(bytes, name, result.wsText)) {
        result.sCharset = name;
        return result;
    }
    result.bFellBack = true;
    bool bInvalid = false;
    std::wstring text = Platform::FromUtf8(bytes, &bInvalid);
    if (!bInvalid) {
        result.wsText = std::move(text);
        result.sCharset = "utf-8";
    } else if (IcuDecode(bytes, "windows-1252", result.wsText)) {
        result.sCharset = "windows-1252";
    } else {
        result.wsText = Latin1(bytes);
        result.sCharset = "iso-8859-1";
    }
    return result;
}

bool EncodeText(std::wstring_view text, std::string_view charset, std::string& out) {
    const std::string name = Trimmed(charset);
    if (name == "utf-8" || name == "utf8") {
        bool bInvalid = false;
        out = Platform::ToUtf8(text, &bInvalid);
        return !bInvalid;
    }
    ConverterPtr conv = Open(name);
    if (!conv)
        return false;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setFromUCallBack(conv.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    if (U_FAILURE(status))
        return false;
    const std::u16string utf16 = Platform::ToUtf16(text);
    const UChar* src = reinterpret_cast<const UChar*>(utf16.data());
    const UChar* srcEnd = src + utf16.size();
    std::vector<char> buf(utf16.size() * 4 + 16);
    out.clear();
    for (;;) {
        char* target = buf.data();
        status = U_ZERO_ERROR;
        ucnv_fromUnicode(conv.get(), &target, buf.data() + buf.size(), &src, srcEnd, nullptr, TRUE, &status);
        out.append(buf.data(), static_cast<size_t>(target - buf.data()));
        if (status == U_BUFFER_OVERFLOW_ERROR)
            continue;
        return U_SUCCESS(status);
    }
}

}  // namespace Platform::Mapi::Convert
