#include "Util/Text/CodePage.h"

#include "Platform/Base/Utf.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <cstring>
#include <cwchar>
#include <memory>

namespace Ostrel::Util {

namespace {

struct CodePageName {
    UINT uiCodePage;
    const char* pszName;
};

// Windows code page numbers and the ICU converters that implement them. Names that ICU resolves
// through aliases (windows-125x) pick the converter with Microsoft's own tables.
constexpr CodePageName kCodePages[] = {
    // On Linux the ANSI and OEM code pages of the system are UTF-8: the locale, the file system,
    // the wire and every text file are UTF-8, so the "system code page" can hold any text.
    {CP_ACP, "UTF-8"},      {CP_OEMCP, "UTF-8"},    {CP_THREAD_ACP, "UTF-8"}, {CP_UTF7, "UTF-7"},
    {CP_UTF8, "UTF-8"},     {874, "windows-874"},   {932, "windows-932"},     {936, "windows-936"},
    {949, "windows-949"},   {950, "windows-950"},   {1250, "windows-1250"},   {1251, "windows-1251"},
    {1252, "windows-1252"}, {1253, "windows-1253"}, {1254, "windows-1254"},   {1255, "windows-1255"},
    {1256, "windows-1256"}, {1257, "windows-1257"}, {1258, "windows-1258"},   {10000, "macintosh"},
    {20127, "US-ASCII"},    {20866, "KOI8-R"},      {21866, "KOI8-U"},        {28591, "ISO-8859-1"},
    {28592, "ISO-8859-2"},  {28593, "ISO-8859-3"},  {28594, "ISO-8859-4"},    {28595, "ISO-8859-5"},
    {28596, "ISO-8859-6"},  {28597, "ISO-8859-7"},  {28598, "ISO-8859-8"},    {28599, "ISO-8859-9"},
    {28600, "ISO-8859-10"}, {28601, "ISO-8859-11"}, {28603, "ISO-8859-13"},   {28604, "ISO-8859-14"},
    {28605, "ISO-8859-15"}, {50220, "ISO-2022-JP"}, {50225, "ISO-2022-KR"},   {51932, "EUC-JP"},
    {51949, "EUC-KR"},      {52936, "HZ"},          {54936, "GB18030"},
};

bool IsUtf8(UINT uiCodePage) {
    const char* pszName = CodePageConverterName(uiCodePage);
    return pszName && std::strcmp(pszName, "UTF-8") == 0;
}

struct ConverterCloser {
    void operator()(UConverter* p) const { ucnv_close(p); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

// Only real conversion events count; ICU also calls back on reset, close and clone.
bool IsLoss(UConverterCallbackReason reason) {
    return reason <= UCNV_IRREGULAR;
}

// Unmappable or invalid characters become the converter's substitute ('?'), and are noted.
void OnFromUnicodeLoss(const void* pContext, UConverterFromUnicodeArgs* pArgs, const UChar* pUnits, int32_t cUnits,
                       UChar32 cp, UConverterCallbackReason reason, UErrorCode* pErr) {
    if (IsLoss(reason))
        *static_cast<bool*>(const_cast<void*>(pContext)) = true;
    UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, pArgs, pUnits, cUnits, cp, reason, pErr);
}

// Invalid, truncated or unassigned byte sequences become U+FFFD whatever the code page's own
// substitute would be, and are noted.
void OnToUnicodeLoss(const void* pContext, UConverterToUnicodeArgs* pArgs, const char*, int32_t,
                     UConverterCallbackReason reason, UErrorCode* pErr) {
    if (!IsLoss(reason))
        return;
    *static_cast<bool*>(const_cast<void*>(pContext)) = true;
    static const UChar kReplacement = 0xFFFD;
    *pErr = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(pArgs, &kReplacement, 1, 0, pErr);
}

ConverterPtr OpenConverter(UINT uiCodePage) {
    const char* pszName = CodePageConverterName(uiCodePage);
    if (!pszName)
        return nullptr;
    UErrorCode err = U_ZERO_ERROR;
    ConverterPtr conv(ucnv_open(pszName, &err));
    if (U_FAILURE(err))
        return nullptr;
    return conv;
}

bool ConvertFromUnicode(std::wstring_view wsIn, UINT uiCodePage, std::string& sOut, bool& bLossy) {
    sOut.clear();
    if (IsUtf8(uiCodePage)) {
        sOut = Platform::ToUtf8(wsIn, &bLossy);
        return true;
    }
    ConverterPtr conv = OpenConverter(uiCodePage);
    if (!conv)
        return false;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setSubstChars(conv.get(), "?", 1, &err);
    err = U_ZERO_ERROR;  // a converter that rejects '?' keeps its own substitute
    ucnv_setFromUCallBack(conv.get(), OnFromUnicodeLoss, &bLossy, nullptr, nullptr, &err);
    if (U_FAILURE(err))
        return false;

    bool bInvalid = false;
    const std::u16string units = Platform::ToUtf16(wsIn, &bInvalid);
    bLossy = bLossy || bInvalid;
    const auto* pSource = reinterpret_cast<const UChar*>(units.data());
    const int32_t cSource = static_cast<int32_t>(units.size());

    err = U_ZERO_ERROR;
    int32_t cNeeded = ucnv_fromUChars(conv.get(), nullptr, 0, pSource, cSource, &err);
    if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err))
        return false;
    sOut.resize(static_cast<size_t>(cNeeded));
    err = U_ZERO_ERROR;
    ucnv_fromUChars(conv.get(), sOut.data(), cNeeded, pSource, cSource, &err);
    if (U_FAILURE(err)) {
        sOut.clear();
        return false;
    }
    return true;
}

bool ConvertToUnicode(std::string_view sIn, UINT uiCodePage, std::wstring& wsOut, bool& bLossy) {
    wsOut.clear();
    if (IsUtf8(uiCodePage)) {
        wsOut = Platform::FromUtf8(sIn, &bLossy);
        return true;
    }
    ConverterPtr conv = OpenConverter(uiCodePage);
    if (!conv)
        return false;
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setToUCallBack(conv.get(), OnToUnicodeLoss, &bLossy, nullptr, nullptr, &err);
    if (U_FAILURE(err))
        return false;

    const int32_t cSource = static_cast<int32_t>(sIn.size());
    err = U_ZERO_ERROR;
    int32_t cNeeded = ucnv_toUChars(conv.get(), nullptr, 0, sIn.data(), cSource, &err);
    if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err))
        return false;
    std::u16string units(static_cast<size_t>(cNeeded), u'\0');
    err = U_ZERO_ERROR;
    ucnv_toUChars(conv.get(), reinterpret_cast<UChar*>(units.data()), cNeeded, sIn.data(), cSource, &err);
    if (U_FAILURE(err))
        return false;
    // ICU only emits well-formed UTF-16, so this cannot add replacements of its own.
    wsOut = Platform::FromUtf16(units);
    return true;
}

void SetFlag(bool* pbLossy, bool bValue) {
    if (pbLossy)
        *pbLossy = bValue;
}

}  // namespace

const char* CodePageConverterName(UINT uiCodePage) {
    for (const CodePageName& entry : kCodePages) {
        if (entry.uiCodePage == uiCodePage)
            return entry.pszName;
    }
    return nullptr;
}

bool IsSupportedCodePage(UINT uiCodePage) {
    return OpenConverter(uiCodePage) != nullptr;
}

bool UnicodeToAnsii(std::wstring_view wsIn, UINT uiCodePage, std::string& sOut, bool* pbLossy) {
    bool bLossy = false;
    bool bOk = ConvertFromUnicode(wsIn, uiCodePage, sOut, bLossy);
    SetFlag(pbLossy, bOk && bLossy);
    return bOk;
}

bool AnsiiToUnicode(std::string_view sIn, UINT uiCodePage, std::wstring& wsOut, bool* pbLossy) {
    bool bLossy = false;
    bool bOk = ConvertToUnicode(sIn, uiCodePage, wsOut, bLossy);
    SetFlag(pbLossy, bOk && bLossy);
    return bOk;
}

char* UnicodeToAnsii(const wchar_t* pwsz, UINT uiCodePage, bool* pbLossy) {
    SetFlag(pbLossy, false);
    if (!pwsz)
        return nullptr;
    std::string sOut;
    if (!UnicodeToAnsii(std::wstring_view(pwsz), uiCodePage, sOut, pbLossy))
        return nullptr;
    char* psz = new char[sOut.size() + 1];
    std::memcpy(psz, sOut.c_str(), sOut.size() + 1);
    return psz;
}

wchar_t* AnsiiToUnicode(const char* psz, UINT uiCodePage, bool* pbLossy) {
    SetFlag(pbLossy, false);
    if (!psz)
        return nullptr;
    std::wstring wsOut;
    if (!AnsiiToUnicode(std::string_view(psz), uiCodePage, wsOut, pbLossy))
        return nullptr;
    wchar_t* pwsz = new wchar_t[wsOut.size() + 1];
    std::wmemcpy(pwsz, wsOut.c_str(), wsOut.size() + 1);
    return pwsz;
}

void FreeConvertedString(char* psz) {
    delete[] psz;
}

void FreeConvertedString(wchar_t* pwsz) {
    delete[] pwsz;
}

}  // namespace Ostrel::Util
