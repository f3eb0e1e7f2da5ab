#include "ConvertTestUtil.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConvertTags.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTagNames.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Store/OsdStore.h"

namespace ConvertTest {

namespace {

struct Buf {
    void* p = nullptr;
    ~Buf() { MAPIFreeBuffer(p); }
};

// Values that differ from one store, or one save, to the next.
bool IsVolatile(ULONG ulTag, bool bMessage) {
    switch (PROP_ID(ulTag)) {
        case PROP_ID(PR_ENTRYID):
            return bMessage;
        case PROP_ID(PR_SEARCH_KEY):
            return bMessage;
        case PROP_ID(PR_RECORD_KEY):
        case PROP_ID(PR_INSTANCE_KEY):
        case PROP_ID(PR_PARENT_ENTRYID):
        case PROP_ID(PR_STORE_ENTRYID):
        case PROP_ID(PR_STORE_RECORD_KEY):
        case PROP_ID(PR_MAPPING_SIGNATURE):
        case PROP_ID(PR_CREATION_TIME):
        case PROP_ID(PR_LAST_MODIFICATION_TIME):
        case PROP_ID(PR_ACCESS):
        case PROP_ID(PR_ACCESS_LEVEL):
        case PROP_ID(PR_MESSAGE_SIZE):
        case PROP_ID(PR_ATTACH_SIZE):
        case PROP_ID(PR_CHANGE_KEY):
        case PROP_ID(PR_PREDECESSOR_CHANGE_LIST):
        case PROP_ID(PR_STORE_SUPPORT_MASK):
            return true;
        default:
            return false;
    }
}

uint64_t Hash(const void* pv, size_t cb) {
    uint64_t h = 1469598103934665603ULL;
    const auto* p = static_cast<const unsigned char*>(pv);
    for (size_t i = 0; i < cb; ++i)
        h = (h ^ p[i]) * 1099511628211ULL;
    return h;
}

std::string Hex(const void* pv, size_t cb) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    const auto* p = static_cast<const unsigned char*>(pv);
    for (size_t i = 0; i < cb; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Text(const std::wstring& text) {
    constexpr size_t kShown = 2000;
    if (text.size() <= kShown)
        return "\"" + Escaped(Platform::ToUtf8(text)) + "\"";
    const std::string utf8 = Platform::ToUtf8(text);
    char buf[96];
    std::snprintf(buf, sizeof buf, "<%zu chars, hash %016llX> ", text.size(),
                  static_cast<unsigned long long>(Hash(utf8.data(), utf8.size())));
    return buf + std::string("\"") + Escaped(Platform::ToUtf8(text.substr(0, kShown))) + "\"...";
}

std::string Binary(const SBinary& bin) {
    if (bin.cb <= 64)
        return "<" + std::to_string(bin.cb) + " bytes> " + Hex(bin.lpb, bin.cb);
    char buf[96];
    std::snprintf(buf, sizeof buf, "<%u bytes, hash %016llX> ", bin.cb,
                  static_cast<unsigned long long>(Hash(bin.lpb, bin.cb)));
    return buf + Hex(bin.lpb, 32) + "...";
}

std::string Time(const FILETIME& ft) {
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    if (ticks < 116444736000000000ULL)
        return "1601-01-01T00:00:00Z";
    const std::time_t t = static_cast<std::time_t>((ticks - 116444736000000000ULL) / 10000000ULL);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string Value(const SPropValue& v) {
    char buf[64];
    switch (PROP_TYPE(v.ulPropTag)) {
        case PT_LONG:
            std::snprintf(buf, sizeof buf, "%d (0x%08X)", v.Value.l, v.Value.ul);
            return buf;
        case PT_BOOLEAN:
            return v.Value.b ? "true" : "false";
        case PT_SYSTIME:
            return Time(v.Value.ft);
        case PT_UNICODE:
            return Text(v.Value.lpszW);
        case PT_BINARY:
            return Binary(v.Value.bin);
        case PT_MV_UNICODE: {
            std::string out = "[";
            for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i)
                out += (i ? ", " : "") + Text(v.Value.MVszW.lppszW[i]);
            return out + "]";
        }
        case PT_I8:
            return std::to_string(v.Value.li.QuadPart);
        default:
            return "(type " + std::to_string(PROP_TYPE(v.ulPropTag)) + ")";
    }
}

std::string TagName(ULONG ulTag) {
    switch (ulTag) {
        case Platform::Mapi::Convert::kTagReportDisposition:
            return "PR_REPORT_DISPOSITION_W";
        default:
            break;
    }
    const char* psz = MapiPropName(ulTag);
    return psz ? psz : "";
}

std::string NamedName(IMAPIProp* pProp, ULONG ulTag) {
    SizedSPropTagArray(1, tags) = {1, {ulTag}};
    LPSPropTagArray pTags = reinterpret_cast<LPSPropTagArray>(&tags);
    ULONG cNames = 0;
    LPMAPINAMEID* ppNames = nullptr;
    std::string name = "(unnamed)";
    if (SUCCEEDED(pProp->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames)) && cNames == 1 && ppNames[0]) {
        const MAPINAMEID* p = ppNames[0];
        const GUID& g = *p->lpguid;
        char guid[64];
        std::snprintf(guid, sizeof guid, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                      g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                      g.Data4[7]);
        char id[16];
        std::snprintf(id, sizeof id, "0x%04X", static_cast<unsigned>(p->Kind.lID));
        name = std::string(guid) + " " +
               (p->ulKind == MNID_ID ? std::string(id) : "\"" + Escaped(Platform::ToUtf8(p->Kind.lpwstrName)) + "\"");
    }
    MAPIFreeBuffer(ppNames);
    return name;
}

std::string TypeName(ULONG ulType) {
    const char* psz = MapiTypeName(ulType);
    return psz ? psz : "?";
}

// One line per value, sorted: standard tags by tag, named ones (shown without their store-given id)
// by name.
void DumpValues(std::ostringstream& out, const SPropValue* pValues, ULONG cValues, IMAPIProp* pNamer,
                const std::string& indent, bool bMessage) {
    std::vector<std::pair<std::string, std::string>> lines;
    for (ULONG i = 0; i < cValues; ++i) {
        const SPropValue& v = pValues[i];
        if (PROP_TYPE(v.ulPropTag) == PT_ERROR || IsVolatile(v.ulPropTag, bMessage))
            continue;
        char tag[16];
        std::snprintf(tag, sizeof tag, "0x%08X", v.ulPropTag);
        if (PROP_ID(v.ulPropTag) >= 0x8000) {
            const std::string name = NamedName(pNamer, v.ulPropTag);
            lines.emplace_back("~" + name,
                               "named\t" + name + "\t" + TypeName(PROP_TYPE(v.ulPropTag)) + "\t" + Value(v));
        } else {
            lines.emplace_back(tag, std::string(tag) + "\t" + TagName(v.ulPropTag) + "\t" +
                                        TypeName(PROP_TYPE(v.ulPropTag)) + "\t" + Value(v));
        }
    }
    std::sort(lines.begin(), lines.end());
    for (const auto& [key, line] : lines)
        out << indent << line << "\n";
}

void DumpMessage(std::ostringstream& out, IMessage* pMessage, const std::string& indent, int depth) {
    Buf values;
    ULONG cValues = 0;
    if (FAILED(pMessage->GetProps(nullptr, MAPI_UNICODE, &cValues, reinterpret_cast<LPSPropValue*>(&values.p)))) {
        out << indent << "(properties unreadable)\n";
        return;
    }
    DumpValues(out, static_cast<LPSPropValue>(values.p), cValues, pMessage, indent, true);
    ComPtr<IMAPITable> pTable;
    LPSRowSet pRows = nullptr;
    LPSPropTagArray pCols = nullptr;
    if (SUCCEEDED(pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf())) &&
        SUCCEEDED(pTable->QueryColumns(TBL_ALL_COLUMNS, &pCols)) &&
        SUCCEEDED(HrQueryAllRows(pTable.Get(), pCols, nullptr, nullptr, 0, &pRows))) {
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            out << indent << "# recipient " << i << "\n";
            DumpValues(out, pRows->aRow[i].lpProps, pRows->aRow[i].cValues, pMessage, indent + "  ", false);
        }
    }
    FreeProws(pRows);
    MAPIFreeBuffer(pCols);
    const ULONG cAttach = AttachmentCount(pMessage);
    for (ULONG i = 0; i < cAttach; ++i) {
        out << indent << "# attachment " << i << "\n";
        ComPtr<IAttach> pAttach = OpenAttachment(pMessage, i);
        if (!pAttach)
            continue;
        Buf attachValues;
        ULONG cAttachValues = 0;
        if (SUCCEEDED(pAttach->GetProps(nullptr, MAPI_UNICODE, &cAttachValues,
                                        reinterpret_cast<LPSPropValue*>(&attachValues.p))))
            DumpValues(out, static_cast<LPSPropValue>(attachValues.p), cAttachValues, pMessage, indent + "  ", false);
        if (GetLong(pAttach.Get(), PR_ATTACH_METHOD) == ATTACH_EMBEDDED_MSG && depth < 40) {
            out << indent << "  # embedded message\n";
            if (ComPtr<IMessage> pInner = OpenEmbedded(pAttach.Get()))
                DumpMessage(out, pInner.Get(), indent + "    ", depth + 1);
        }
    }
}

}  // namespace

ComPtr<IMessage> StoreFixture::FromMime(const std::string& text, ULONG ulFlags, HRESULT* phr) {
    ComPtr<IConverterSession> pSession;
    EXPECT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    ComPtr<IMessage> pMessage = NewMessage();
    ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(text);
    const HRESULT hr = pSession->MIMEToMAPI(pStream.Get(), pMessage.Get(), nullptr, ulFlags);
    if (phr) {
        *phr = hr;
    } else {
        EXPECT_EQ(hr, S_OK);
    }
    return pMessage;
}

std::string StoreFixture::ToMime(IMessage* pMessage, ULONG ulFlags, HRESULT* phr, IConverterSession* pGiven) {
    ComPtr<IConverterSession> pSession(pGiven);
    if (!pSession) {
        EXPECT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
    }
    ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create();
    const HRESULT hr = pSession->MAPIToMIMEStm(pMessage, pStream.Get(), ulFlags);
    if (phr) {
        *phr = hr;
    } else {
        EXPECT_EQ(hr, S_OK);
    }
    return pStream->CopyContent();
}

std::string Dump(IMessage* pMessage) {
    std::ostringstream out;
    DumpMessage(out, pMessage, "", 0);
    return out.str();
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::filesystem::path CorpusDir() {
    return TestSupport::DataDir() / "convert";
}

std::wstring GetString(IMAPIProp* p, ULONG ulTag) {
    Buf v;
    if (FAILED(HrGetOneProp(p, CHANGE_PROP_TYPE(ulTag, PT_UNICODE), reinterpret_cast<LPSPropValue*>(&v.p))))
        return L"<missing>";
    return static_cast<LPSPropValue>(v.p)->Value.lpszW;
}

LONG GetLong(IMAPIProp* p, ULONG ulTag, LONG lDefault) {
    Buf v;
    if (FAILED(HrGetOneProp(p, ulTag, reinterpret_cast<LPSPropValue*>(&v.p))))
        return lDefault;
    return static_cast<LPSPropValue>(v.p)->Value.l;
}

std::string GetBinary(IMAPIProp* p, ULONG ulTag) {
    Buf v;
    if (FAILED(HrGetOneProp(p, ulTag, reinterpret_cast<LPSPropValue*>(&v.p))))
        return "<missing>";
    const SBinary& bin = static_cast<LPSPropValue>(v.p)->Value.bin;
    return std::string(reinterpret_cast<const char*>(bin.lpb), bin.cb);
}

HRESULT SetString(IMAPIProp* p, ULONG ulTag, const std::wstring& value) {
    SPropValue v{ulTag, 0, {}};
    v.Value.lpszW = const_cast<wchar_t*>(value.c_str());
    return HrSetOneProp(p, &v);
}

HRESULT SetLong(IMAPIProp* p, ULONG ulTag, LONG value) {
    SPropValue v{ulTag, 0, {}};
    v.Value.l = value;
    return HrSetOneProp(p, &v);
}

HRESULT SetBinary(IMAPIProp* p, ULONG ulTag, const std::string& value) {
    SPropValue v{ulTag, 0, {}};
    v.Value.bin = {static_cast<ULONG>(value.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(value.data()))};
    return HrSetOneProp(p, &v);
}

ComPtr<IAttach> OpenAttachment(IMessage* pMessage, ULONG ulNum) {
    ComPtr<IAttach> pAttach;
    pMessage->OpenAttach(ulNum, nullptr, 0, pAttach.AddressOf());
    return pAttach;
}

ComPtr<IMessage> OpenEmbedded(IAttach* pAttach) {
    ComPtr<IUnknown> pUnk;
    ComPtr<IMessage> pMessage;
    if (SUCCEEDED(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, pUnk.AddressOf())))
        pMessage.Attach(static_cast<IMessage*>(pUnk.Detach()));
    return pMessage;
}

ULONG AttachmentCount(IMessage* pMessage) {
    ComPtr<IMAPITable> pTable;
    ULONG count = 0;
    if (SUCCEEDED(pMessage->GetAttachmentTable(0, pTable.AddressOf())))
        pTable->GetRowCount(0, &count);
    return count;
}

ULONG RecipientCount(IMessage* pMessage) {
    ComPtr<IMAPITable> pTable;
    ULONG count = 0;
    if (SUCCEEDED(pMessage->GetRecipientTable(0, pTable.AddressOf())))
        pTable->GetRowCount(0, &count);
    return count;
}

}  // namespace ConvertTest
