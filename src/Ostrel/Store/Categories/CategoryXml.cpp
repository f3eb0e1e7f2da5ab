#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Ostrel/Store/Categories/CategoryList.h"
#include "Ostrel/Store/StoreText.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Xml/Sax.h"
#include "Util/Log/Log.h"
#include "Util/Text/Guid.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

namespace {

constexpr ULONG kCategoryColors[kCategoryColorCount] = {
    0x7C71EF, 0x6B9EF7, 0x73D8FF, 0x7FFFFF, 0x8CDB9B, 0xBDD784, 0xADD3C6, 0xEFB194, 0xE796AD,
    0xB596CE, 0xDED3CE, 0x8C7163, 0xB5B6B5, 0x636163, 0x211C21, 0x2820BD, 0x105FD6, 0x299ACE,
    0x00A3A5, 0x318639, 0x7B9639, 0x52867B, 0xA55C31, 0xA54563, 0x73458C};
constexpr ULONG kTagColors[10] = {0,        0xD45202, 0x848200, 0x0BA12C, 0xA12B49,
                                  0x1717E5, 0x008284, 0xAE27B0, 0x848284, 0x0278F5};

constexpr wchar_t kNoTime[] = L"1601-01-01T00:00:00.000";
constexpr std::string_view kEmptyList =
    "<?xml version=\"1.0\"?>\r\n"
    "<categories lastSavedSession=\"1\" lastSavedTime=\"1601-01-01T00:00:00.000\" xmlns=\"CategoryList.xsd\">\r\n"
    "</categories>\r\n";
constexpr wchar_t kNamespace[] = L"CategoryList.xsd";

const wchar_t* DefaultOf(std::wstring_view wsName) {
    return wsName.starts_with(L"lastTimeUsed") ? kNoTime : L"0";
}

// Collects the root's attributes and each category element's attributes.
class ListReader : public Platform::ComObject<ISAXContentHandler> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<ISAXContentHandler, IUnknown>(riid, ppv);
    }
    HRESULT startDocument() override { return S_OK; }
    HRESULT endDocument() override { return S_OK; }
    HRESULT startElement(std::wstring_view, std::wstring_view localName, std::wstring_view,
                         ISAXAttributes* pAttributes) override {
        ++m_iDepth;
        if (m_iDepth == 1) {
            if (localName != L"categories")
                return E_FAIL;
            m_bRoot = true;
            m_root = Read(pAttributes);
        } else if (m_iDepth == 2 && localName == L"category") {
            m_elements.push_back(Read(pAttributes));
        }
        return S_OK;
    }
    HRESULT endElement(std::wstring_view, std::wstring_view, std::wstring_view) override {
        --m_iDepth;
        return S_OK;
    }
    HRESULT characters(std::wstring_view) override { return S_OK; }

    bool m_bRoot = false;
    XmlAttributes m_root;
    std::vector<XmlAttributes> m_elements;

private:
    static XmlAttributes Read(ISAXAttributes* pAttributes) {
        XmlAttributes out;
        int n = 0;
        if (!pAttributes || FAILED(pAttributes->getLength(&n)))
            return out;
        for (int i = 0; i < n; ++i) {
            std::wstring_view name, value;
            if (SUCCEEDED(pAttributes->getQName(i, name)) && SUCCEEDED(pAttributes->getValue(i, value)) &&
                !name.starts_with(L"xmlns"))
                out.emplace_back(name, value);
        }
        return out;
    }
    int m_iDepth = 0;
};

bool XmlChar(wchar_t ch) {
    const auto u = static_cast<uint32_t>(ch);
    return u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u <= 0xD7FF) || (u >= 0xE000 && u <= 0xFFFD) ||
           (u >= 0x10000 && u <= 0x10FFFF);
}

// An attribute value quoted so that a reader gets it back unchanged, line breaks and tabs included.
bool AppendAttribute(std::wstring& out, const std::wstring& wsName, const std::wstring& wsValue) {
    out += L' ';
    out += wsName;
    out += L"=\"";
    for (wchar_t ch : wsValue) {
        if (!XmlChar(ch))
            return false;
        switch (ch) {
            case L'&':
                out += L"&amp;";
                break;
            case L'<':
                out += L"&lt;";
                break;
            case L'>':
                out += L"&gt;";
                break;
            case L'"':
                out += L"&quot;";
                break;
            case L'\t':
                out += L"&#x9;";
                break;
            case L'\n':
                out += L"&#xA;";
                break;
            case L'\r':
                out += L"&#xD;";
                break;
            default:
                out += ch;
        }
    }
    out += L'"';
    return true;
}

}  // namespace

ULONG CategoryColorRGB(int iIndex) {
    return iIndex >= 0 && iIndex < kCategoryColorCount ? kCategoryColors[iIndex] : 0;
}

int NearestCategoryColor(ULONG rgb) {
    auto part = [](ULONG c, int shift) { return static_cast<double>((c >> shift) & 0xFF); };
    double best = std::sqrt(195075.0) + 1;
    int iBest = 0;
    for (int i = 0; i < kCategoryColorCount; ++i) {
        const double dr = part(rgb, 0) - part(kCategoryColors[i], 0);
        const double dg = part(rgb, 8) - part(kCategoryColors[i], 8);
        const double db = part(rgb, 16) - part(kCategoryColors[i], 16);
        const double d = std::sqrt(dr * dr + dg * dg + db * db);
        if (d < best) {
            best = d;
            iBest = i;
        }
    }
    return iBest;
}

ULONG OstrelTagColorIDToRGB(unsigned id) {
    return id >= 1 && id <= 9 ? kTagColors[id] : 0xFFFFFFFF;
}

void OutlookCategory::SetName(const std::wstring& wsName) {
    m_wsName = wsName;
    m_bDirty = true;
}

void OutlookCategory::SetGuid(const std::wstring& wsGuid) {
    m_wsGuid = wsGuid;
    m_bDirty = true;
}

void OutlookCategory::SetGuid(const MAPIUID* pUid) {
    static_assert(sizeof(MAPIUID) == sizeof(GUID));
    GUID guid{};
    if (pUid)
        std::memcpy(&guid, pUid, sizeof(guid));
    SetGuid(Util::GuidToString(guid));
}

void OutlookCategory::SetColor(unsigned uColor) {
    m_iColor = uColor < kCategoryColorCount ? static_cast<int>(uColor) : kNoColor;
    m_bDirty = true;
}

ULONG OutlookCategory::GetCatColorRGB() const {
    return CategoryColorRGB(m_iColor);
}

void OutlookCategory::SetColorFromTagColorRGB(ULONG rgb) {
    m_iColor = NearestCategoryColor(rgb);
}

bool OutlookCategory::operator==(const OutlookCategory& other) const {
    return EqualsNoCase(m_wsName, other.m_wsName) && EqualsNoCase(m_wsGuid, other.m_wsGuid) &&
           m_iColor == other.m_iColor;
}

bool OutlookCategory::Load(const XmlAttributes& attributes) {
    for (const auto& [wsName, wsValue] : attributes) {
        if (wsName == L"color") {
            // Written unsigned, so "no colour" reads 4294967295; "-1" is taken too.
            wchar_t* pEnd = nullptr;
            const long long ll = std::wcstoll(wsValue.c_str(), &pEnd, 10);
            m_iColor = (pEnd && *pEnd == 0 && ll >= 0 && ll < kCategoryColorCount) ? static_cast<int>(ll) : kNoColor;
        } else if (wsName == L"name") {
            m_wsName = wsValue;
        } else if (wsName == L"guid") {
            m_wsGuid = wsValue;
        } else {
            size_t i = 0;
            while (i < kOtherAttributes.size() && wsName != kOtherAttributes[i])
                ++i;
            if (i < kOtherAttributes.size())
                m_other[i] = wsValue;
            else
                m_extra.emplace_back(wsName, wsValue);
        }
    }
    m_bDirty = false;
    if (m_wsName.empty() || m_wsGuid.empty()) {
        OSTLOG_ERROR(L"category without name or guid skipped");
        return false;
    }
    OSTLOG_INFO(16, L"Loaded Category: '%s', color:%d", m_wsName.c_str(), m_iColor);
    return true;
}

XmlAttributes OutlookCategory::Attributes() const {
    XmlAttributes out;
    out.emplace_back(L"color", std::to_wstring(static_cast<ULONG>(m_iColor)));
    out.emplace_back(L"name", m_wsName);
    out.emplace_back(L"guid", m_wsGuid);
    for (size_t i = 0; i < kOtherAttributes.size(); ++i)
        out.emplace_back(kOtherAttributes[i], m_other[i].empty() ? DefaultOf(kOtherAttributes[i]) : m_other[i]);
    out.insert(out.end(), m_extra.begin(), m_extra.end());
    return out;
}

std::string_view EmptyCategoryListXml() {
    return kEmptyList;
}

HRESULT ParseCategoryList(std::string_view bytes, CategoryListDocument& doc) {
    Platform::ComPtr<ISAXXMLReader> pReader;
    if (FAILED(Platform::Xml::CreateSaxReader(pReader.AddressOf())))
        return E_OUTOFMEMORY;
    Platform::ComPtr<ListReader> pHandler;
    pHandler.Attach(new ListReader);
    pReader->putContentHandler(pHandler.Get());
    if (pReader->parse(bytes) != S_OK || !pHandler->m_bRoot) {
        XmlParseError error;
        pReader->getParseError(error);
        OSTLOG_ERROR(L"category list is damaged: %s (line %ld)", error.reason.c_str(), error.line);
        return MAPI_E_CORRUPT_DATA;
    }
    doc.rootAttributes = std::move(pHandler->m_root);
    doc.categories.clear();
    doc.unreadable.clear();
    for (XmlAttributes& attributes : pHandler->m_elements) {
        OutlookCategory category;
        if (category.Load(attributes))
            doc.categories.push_back(std::move(category));
        else
            doc.unreadable.push_back(std::move(attributes));
    }
    return S_OK;
}

HRESULT WriteCategoryList(const CategoryListDocument& doc, std::string& out) {
    std::wstring text = L"<?xml version=\"1.0\"?>\r\n<categories";
    for (const auto& [wsName, wsValue] : doc.rootAttributes)
        if (!AppendAttribute(text, wsName, wsValue))
            return E_INVALIDARG;
    AppendAttribute(text, L"xmlns", kNamespace);
    text += L">\r\n";
    for (const OutlookCategory& category : doc.categories) {
        text += L"<category";
        for (const auto& [wsName, wsValue] : category.Attributes())
            if (!AppendAttribute(text, wsName, wsValue)) {
                OSTLOG_ERROR(L"category name holds characters a list cannot carry");
                return E_INVALIDARG;
            }
        text += L"/>\r\n";
    }
    for (const XmlAttributes& attributes : doc.unreadable) {
        text += L"<category";
        for (const auto& [wsName, wsValue] : attributes)
            if (!AppendAttribute(text, wsName, wsValue))
                return E_INVALIDARG;
        text += L"/>\r\n";
    }
    text += L"</categories>\r\n";
    bool bInvalid = false;
    out = Platform::ToUtf8(text, &bInvalid);
    return bInvalid ? E_INVALIDARG : S_OK;
}

std::wstring CategoryTimeNow() {
    const int64_t llMs = Util::CurrentClock().GetUnixTimeMs();
    const time_t t = static_cast<time_t>(llMs / 1000);
    struct tm tmUtc {};
    gmtime_r(&t, &tmUtc);
    wchar_t buf[32];
    swprintf(buf, 32, L"%04d-%02d-%02dT%02d:%02d:%02d.%03d", tmUtc.tm_year + 1900, tmUtc.tm_mon + 1, tmUtc.tm_mday,
             tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec, static_cast<int>(llMs % 1000));
    return buf;
}

}  // namespace Ostrel::Mapi
