#include "Util/Log/DumpProps.h"

#include <cstring>
#include <cwchar>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiTagNames.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Log/Diagnostics.h"
#include "Util/Log/LogFormat.h"
#include "Util/Text/Guid.h"
#include "Util/Text/Strings.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Util {

namespace {

// Enough to recognise a value in a log without flooding it.
constexpr size_t kMaxTextChars = 256;
constexpr ULONG kMaxBinaryBytes = 64;
constexpr ULONG kMaxElements = 16;

// Quoted, with control characters escaped, cut after kMaxTextChars characters.
std::wstring QuotedText(std::wstring_view text) {
    std::wstring out = L"\"";
    for (size_t i = 0; i < text.size() && i < kMaxTextChars; ++i) {
        wchar_t c = text[i];
        if (c == L'"' || c == L'\\')
            out += std::wstring{L'\\', c};
        else if (c == L'\n')
            out += L"\\n";
        else if (c == L'\r')
            out += L"\\r";
        else if (c == L'\t')
            out += L"\\t";
        else if (c < 0x20 || c == 0x7F)
            out += FormatW(L"\\x%02X", static_cast<unsigned>(c));
        else
            out += c;
    }
    out += L'"';
    if (text.size() > kMaxTextChars)
        out += FormatW(L"... (%zu chars)", text.size());
    return out;
}

std::wstring NarrowText(const char* psz) {
    if (!psz)
        return L"(null)";
    return QuotedText(Platform::FromUtf8(std::string_view(psz, std::strlen(psz))));
}

std::wstring WideText(const wchar_t* pwsz) {
    return pwsz ? QuotedText(pwsz) : L"(null)";
}

std::wstring BinaryText(const SBinary& bin) {
    if (bin.cb && !bin.lpb)
        return FormatW(L"cb=%u (null)", bin.cb);
    std::wstring out = FormatW(L"cb=%u", bin.cb);
    if (bin.cb)
        out += L" " + HexEncode(bin.lpb, bin.cb < kMaxBinaryBytes ? bin.cb : kMaxBinaryBytes);
    if (bin.cb > kMaxBinaryBytes)
        out += L"...";
    return out;
}

std::wstring TimeText(const FILETIME& ft) {
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st))
        return FormatW(L"0x%08X%08X", ft.dwHighDateTime, ft.dwLowDateTime);
    return FormatSystemTime(st, L"yyyy-MM-dd HH:mm:ss") + FormatW(L".%03u UTC", st.wMilliseconds);
}

std::wstring AppTimeText(double dDate) {
    SYSTEMTIME st{};
    if (!VariantTimeToSystemTime(dDate, &st))
        return FormatW(L"%g", dDate);
    return FormatW(L"%g (", dDate) + FormatSystemTime(st, L"yyyy-MM-dd HH:mm:ss") + L")";
}

std::wstring CurrencyText(LONGLONG ll) {
    // Units of 1/10000; the sign is written once so that -0.5 keeps it.
    unsigned long long ullAbs =
        ll < 0 ? 0ULL - static_cast<unsigned long long>(ll) : static_cast<unsigned long long>(ll);
    return FormatW(L"%ls%llu.%04llu", ll < 0 ? L"-" : L"", ullAbs / 10000, ullAbs % 10000);
}

std::wstring GuidText(const GUID* pGuid) {
    return pGuid ? GuidToString(*pGuid) : L"(null)";
}

// One element of a fixed-size type from a pointer to it.
std::wstring ElementText(ULONG ulBase, const void* p) {
    switch (ulBase) {
        case PT_SHORT:
            return FormatW(L"%d", *static_cast<const SHORT*>(p));
        case PT_LONG: {
            LONG l = *static_cast<const LONG*>(p);
            return FormatW(L"%d (0x%08X)", l, static_cast<unsigned>(l));
        }
        case PT_FLOAT:
            return FormatW(L"%g", static_cast<double>(*static_cast<const float*>(p)));
        case PT_DOUBLE:
            return FormatW(L"%g", *static_cast<const double*>(p));
        case PT_APPTIME:
            return AppTimeText(*static_cast<const double*>(p));
        case PT_CURRENCY:
        case PT_I8: {
            LONGLONG ll;
            std::memcpy(&ll, p, sizeof ll);
            return ulBase == PT_CURRENCY ? CurrencyText(ll) : FormatW(L"%lld", ll);
        }
        case PT_SYSTIME:
            return TimeText(*static_cast<const FILETIME*>(p));
        case PT_CLSID:
            return GuidText(static_cast<const GUID*>(p));
        case PT_STRING8:
            return NarrowText(*static_cast<const LPSTR*>(p));
        case PT_UNICODE:
            return WideText(*static_cast<const LPWSTR*>(p));
        case PT_BINARY:
            return BinaryText(*static_cast<const SBinary*>(p));
        default:
            return L"?";
    }
}

// Every multi-valued member is { ULONG cValues; T* lp; }.
std::wstring MultiText(const SPropValue& value, ULONG ulBase) {
    ULONG cValues = value.Value.MVi.cValues;
    const void* pArray = value.Value.MVi.lpi;
    size_t cbStride = MultiValueElementSize(ulBase);
    if (!cbStride)
        return FormatW(L"(type 0x%04X)", PROP_TYPE(value.ulPropTag));
    if (cValues && !pArray)
        return FormatW(L"%u values (null)", cValues);
    std::wstring out = FormatW(L"%u values {", cValues);
    for (ULONG i = 0; i < cValues && i < kMaxElements; ++i) {
        if (i)
            out += L", ";
        out += ElementText(ulBase, static_cast<const char*>(pArray) + i * cbStride);
    }
    if (cValues > kMaxElements)
        out += L", ...";
    return out + L"}";
}

}  // namespace

std::wstring PropValueToString(const SPropValue& value) {
    ULONG ulType = PROP_TYPE(value.ulPropTag);
    if (ulType & MV_FLAG)
        return MultiText(value, ulType & ~(MV_FLAG | MV_INSTANCE));
    switch (ulType) {
        case PT_ERROR:
            return MapiErrorToString(value.Value.err);
        case PT_BOOLEAN:
            return value.Value.b ? L"true" : L"false";
        case PT_NULL:
            return L"(null)";
        case PT_OBJECT:
            return L"(object)";
        case PT_CLSID:
            return GuidText(value.Value.lpguid);
        case PT_STRING8:
            return NarrowText(value.Value.lpszA);
        case PT_UNICODE:
            return WideText(value.Value.lpszW);
        case PT_BINARY:
            return BinaryText(value.Value.bin);
        default:
            if (MultiValueElementSize(ulType))
                return ElementText(ulType, &value.Value);
            return FormatW(L"(type 0x%04X)", ulType);
    }
}

void DumpPropValues(ULONG cValues, const SPropValue* pValues, const wchar_t* pwszTitle, DWORD dwLevel,
                    DWORD dwCategory) {
    if (!g_logger.WouldLog(dwLevel, dwCategory))
        return;
    TraceVarArgs trace(TRUE, FALSE, dwLevel, dwCategory, __FILE__, "Ostrel::Util::DumpPropValues", __LINE__);
    trace(L"%s: %u properties", pwszTitle ? pwszTitle : L"Properties", pValues ? cValues : 0u);
    for (ULONG i = 0; pValues && i < cValues; ++i) {
        const SPropValue& v = pValues[i];
        const char* pszName = MapiPropName(v.ulPropTag);
        const char* pszType = MapiTypeName(PROP_TYPE(v.ulPropTag));
        std::wstring name = pszName                          ? Platform::FromUtf8(pszName)
                            : PROP_ID(v.ulPropTag) >= 0x8000 ? FormatW(L"named 0x%04X", PROP_ID(v.ulPropTag))
                                                             : std::wstring(L"unknown");
        std::wstring type = pszType ? Platform::FromUtf8(pszType) : FormatW(L"0x%04X", PROP_TYPE(v.ulPropTag));
        trace(L"  [%u] 0x%08X %s %s: %s", i, v.ulPropTag, name.c_str(), type.c_str(), PropValueToString(v).c_str());
    }
}

}  // namespace Ostrel::Util
