#include "MailInTestUtil.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "Ostrel/Convert/Mail/MimeToMapiDeferredSave.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiTagNames.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "ostrel-server/ZipWriter.h"

namespace MailInTest {

namespace {

struct Buf {
    void* p = nullptr;
    ~Buf() { MAPIFreeBuffer(p); }
};

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

std::string Text(const wchar_t* pwsz) {
    std::string utf8 = Platform::ToUtf8(pwsz);
    if (utf8.size() > 400)
        utf8 = utf8.substr(0, 400) + "...(" + std::to_string(utf8.size()) + " bytes)";
    return "\"" + Escaped(utf8) + "\"";
}

std::string Value(const SPropValue& v) {
    char buf[64];
    switch (PROP_TYPE(v.ulPropTag)) {
        case PT_LONG:
            std::snprintf(buf, sizeof buf, "%d (0x%08X)", v.Value.l, v.Value.ul);
            return buf;
        case PT_BOOLEAN:
            return v.Value.b ? "true" : "false";
        case PT_SYSTIME: {
            const uint64_t ticks = (uint64_t(v.Value.ft.dwHighDateTime) << 32) | v.Value.ft.dwLowDateTime;
            const std::time_t t = static_cast<std::time_t>(
                ticks < 116444736000000000ULL ? 0 : (ticks - 116444736000000000ULL) / 10000000ULL);
            std::tm tm{};
            gmtime_r(&t, &tm);
            std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
            return buf;
        }
        case PT_UNICODE:
            return Text(v.Value.lpszW);
        case PT_BINARY:
            return "<" + std::to_string(v.Value.bin.cb) + " bytes>";
        case PT_MV_UNICODE: {
            std::string out = "[";
            for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i)
                out += (i ? ", " : "") + Text(v.Value.MVszW.lppszW[i]);
            return out + "]";
        }
        default:
            return "(type " + std::to_string(PROP_TYPE(v.ulPropTag)) + ")";
    }
}

bool IsVolatile(ULONG ulTag) {
    switch (PROP_ID(ulTag)) {
        case PROP_ID(PR_ENTRYID):
        case PROP_ID(PR_SEARCH_KEY):
        case PROP_ID(PR_RECORD_KEY):
        case PROP_ID(PR_INSTANCE_KEY):
        case PROP_ID(PR_PARENT_ENTRYID):
        case PROP_ID(PR_STORE_ENTRYID):
        case PROP_ID(PR_STORE_RECORD_KEY):
        case PROP_ID(PR_MAPPING_SIGNATURE):
        case PROP_ID(PR_CREATION_TIME):
        case PROP_ID(PR_ACCESS):
        case PROP_ID(PR_ACCESS_LEVEL):
        case PROP_ID(PR_MESSAGE_SIZE):
        case PROP_ID(PR_CHANGE_KEY):
        case PROP_ID(PR_PREDECESSOR_CHANGE_LIST):
        case PROP_ID(PR_STORE_SUPPORT_MASK):
            return true;
        default:
            return false;
    }
}

// "PR_SUBJECT_W" for a standard tag; the property set and id or name for a named one.
std::string Name(IMAPIProp* pProp, ULONG ulTag) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", ulTag);
    if (PROP_ID(ulTag) < 0x8000) {
        const char* psz = MapiPropName(ulTag);
        return std::string(hex) + " " + (psz ? psz : "?");
    }
    SizedSPropTagArray(1, tags) = {1, {ulTag}};
    LPSPropTagArray pTags = reinterpret_cast<LPSPropTagArray>(&tags);
    ULONG cNames = 0;
    LPMAPINAMEID* ppNames = nullptr;
    std::string name = "named (unnamed)";
    if (SUCCEEDED(pProp->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames)) && cNames == 1 && ppNames[0]) {
        const MAPINAMEID* p = ppNames[0];
        const GUID& g = *p->lpguid;
        char guid[64];
        std::snprintf(guid, sizeof guid, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                      g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                      g.Data4[7]);
        char id[16];
        std::snprintf(id, sizeof id, "0x%04X", static_cast<unsigned>(p->Kind.lID));
        name = "named " + std::string(guid) + " " +
               (p->ulKind == MNID_ID ? std::string(id) : "\"" + Platform::ToUtf8(p->Kind.lpwstrName) + "\"");
    }
    MAPIFreeBuffer(ppNames);
    const char* pszType = MapiTypeName(PROP_TYPE(ulTag));
    return name + " " + (pszType ? pszType : "?");
}

std::map<std::string, std::string> Lines(IMessage* pMessage) {
    std::map<std::string, std::string> lines;
    Buf values;
    ULONG cValues = 0;
    if (FAILED(pMessage->GetProps(nullptr, MAPI_UNICODE, &cValues, reinterpret_cast<LPSPropValue*>(&values.p))))
        return lines;
    for (ULONG i = 0; i < cValues; ++i) {
        const SPropValue& v = static_cast<LPSPropValue>(values.p)[i];
        if (PROP_TYPE(v.ulPropTag) == PT_ERROR || IsVolatile(v.ulPropTag))
            continue;
        lines[Name(pMessage, v.ulPropTag)] = Value(v);
    }
    return lines;
}

class FailingMessageImpl final : public ForwardingMessage {
public:
    FailingMessageImpl(IMessage* pInner, ULONG ulFailSave, HRESULT hrFail)
        : ForwardingMessage(pInner), m_ulFailSave(ulFailSave), m_hrFail(hrFail) {}
    HRESULT SaveChanges(ULONG ulFlags) override {
        return ++m_cSaves == m_ulFailSave ? m_hrFail : ForwardingMessage::SaveChanges(ulFlags);
    }

private:
    ULONG m_ulFailSave;
    HRESULT m_hrFail;
    ULONG m_cSaves = 0;
};

}  // namespace

std::string BuildArchive(const std::vector<ArchiveItem>& items) {
    std::string zip;
    OstrelServer::ZipWriter writer([&zip](const char* data, size_t size) {
        zip.append(data, size);
        return true;
    });
    for (const ArchiveItem& item : items) {
        const std::string id = std::to_string(item.lId);
        if (item.bError) {
            writer.AddStored(id + ".err", item.sMime);
            continue;
        }
        writer.AddStored(id + ".meta", item.sMeta);
        if (item.bDeflate)
            writer.AddDeflated(id + ".eml", item.sMime, 4);
        else
            writer.AddStored(id + ".eml", item.sMime);
    }
    writer.Finish();
    return zip;
}

std::string MetaXml(LONG lId, const std::string& sFlags, const std::string& sTagIds, const std::string& sTagNames,
                    const std::string& sReceived, const std::string& sConvId) {
    std::string xml = "<m id=\"" + std::to_string(lId) + "\" l=\"2\"";
    if (!sFlags.empty())
        xml += " f=\"" + sFlags + "\"";
    if (!sTagIds.empty())
        xml += " t=\"" + sTagIds + "\"";
    if (!sTagNames.empty())
        xml += " tn=\"" + sTagNames + "\"";
    return xml + " d=\"" + sReceived + "\" cid=\"" + sConvId + "\" s=\"0\" md=\"1\" ms=\"1\"/>";
}

std::vector<ComPtr<IMessage>> StoreFixture::InboxMessages() {
    std::vector<ComPtr<IMessage>> messages;
    ComPtr<IMAPITable> pTable;
    if (FAILED(m_inbox->GetContentsTable(0, pTable.AddressOf())))
        return messages;
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    LPSRowSet pRows = nullptr;
    if (FAILED(HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows)))
        return messages;
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        const SBinary& bin = pRows->aRow[i].lpProps[0].Value.bin;
        ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        if (FAILED(m_inbox->OpenEntry(bin.cb, reinterpret_cast<LPENTRYID>(bin.lpb), &IID_IMessage, MAPI_MODIFY, &ulType,
                                      pUnk.AddressOf())))
            continue;
        messages.emplace_back();
        messages.back().Attach(static_cast<IMessage*>(pUnk.Detach()));
    }
    FreeProws(pRows);
    return messages;
}

ULONG StoreFixture::InboxCount() {
    ComPtr<IMAPITable> pTable;
    ULONG count = 0;
    if (SUCCEEDED(m_inbox->GetContentsTable(0, pTable.AddressOf())))
        pTable->GetRowCount(0, &count);
    return count;
}

ComPtr<IMessage> FailingMessage(IMessage* pInner, ULONG ulFailSave, HRESULT hrFail) {
    ComPtr<IMessage> p;
    p.Attach(new FailingMessageImpl(pInner, ulFailSave, hrFail));
    return p;
}

std::string DiffDump(IMessage* pMessage, IMessage* pBase) {
    const auto mine = Lines(pMessage);
    const auto base = Lines(pBase);
    std::ostringstream out;
    for (const auto& [name, value] : mine) {
        auto it = base.find(name);
        if (it == base.end() || it->second != value)
            out << "+ " << name << "\t" << value << "\n";
    }
    for (const auto& [name, value] : base)
        if (!mine.count(name))
            out << "- " << name << "\n";
    return out.str();
}

LONG GetLong(IMAPIProp* p, ULONG ulTag, LONG lDefault) {
    Buf v;
    if (FAILED(HrGetOneProp(p, ulTag, reinterpret_cast<LPSPropValue*>(&v.p))))
        return lDefault;
    return static_cast<LPSPropValue>(v.p)->Value.l;
}

std::wstring GetString(IMAPIProp* p, ULONG ulTag) {
    Buf v;
    if (FAILED(HrGetOneProp(p, ulTag, reinterpret_cast<LPSPropValue*>(&v.p))))
        return L"<missing>";
    return static_cast<LPSPropValue>(v.p)->Value.lpszW;
}

bool HasProp(IMAPIProp* p, ULONG ulTag) {
    Buf v;
    return SUCCEEDED(HrGetOneProp(p, ulTag, reinterpret_cast<LPSPropValue*>(&v.p)));
}

}  // namespace MailInTest
