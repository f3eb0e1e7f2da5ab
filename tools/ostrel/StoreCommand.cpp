// `ostrel store folders FILE`, `messages FILE FOLDER`, `props FILE ENTRYID`, `export FILE ENTRYID TAG OUT`,
// `create FILE`, and the dispatch of `import` (StoreImport.cpp) and `mime` (StoreMime.cpp). Folders are
// named by entry id (hex) or by their path below the root ("Top of Personal Folders/Inbox", compared
// without regard to case); the store itself is "store". Output is tab-separated text.
#include "StoreCommand.h"
#include "Args.h"
#include "LocalFiles.h"
#include "StoreAccess.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTagNames.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Store/OsdStore.h"

namespace OstrelCli {

const char* const kStoreSummary =
    "inspect a .osd store (folders, messages, properties, property streams) and move MIME messages in and out";
const char* const kStoreUsage =
    "folders|messages|props|export|create|import|mime FILE [ARGUMENTS] [options]\n"
    "  folders FILE   the folder tree with item, unread and hidden-item counts and entry ids\n"
    "  messages FILE FOLDER\n"
    "                 the messages of a folder (entry id or path below the root)\n"
    "  props FILE ENTRYID|store\n"
    "                 every property of an object; named properties by their set and id or name;\n"
    "                 a message's recipients and attachments follow\n"
    "  export FILE ENTRYID TAG OUT\n"
    "                 write a property's value (TAG in hex, e.g. 0x1000001F) to the file OUT\n"
    "                 ('-': standard output)\n"
    "  create FILE    a new store with the folder tree of a new profile; prints the tree\n"
    "  import FILE FOLDER [MESSAGE.eml ... | -]\n"
    "                 each MIME message (none or '-': standard input) through the converter into a\n"
    "                 new message of FOLDER; one line per message: entry id and class, or why it failed\n"
    "  mime FILE ENTRYID [OUT|-]\n"
    "                 a message as MIME text to OUT (none or '-': standard output)\n"
    "  --associated   with messages: the folder's associated (hidden) messages instead\n"
    "  --attach N     with props or export: the message's attachment number N\n"
    "  --json         with import: one JSON object per message\n"
    "  --keep-partial with import: keep what could be read of a damaged message (exit status still 1)\n"
    "  --own          with mime: the system's own writer instead of the converter\n"
    "  --bcc          with mime: keep the blind copies\n"
    "  --verbose      with import: messages per second at the end";

namespace {

using Platform::ComPtr;

struct Buf {
    void* p = nullptr;
    ~Buf() { MAPIFreeBuffer(p); }
};

// A property tag in hex, with or without "0x": at most eight digits.
std::optional<ULONG> ParseTag(const std::string& text) {
    const std::string_view digits = text.rfind("0x", 0) == 0 ? std::string_view(text).substr(2) : text;
    uint32_t tag = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), tag, 16);
    if (digits.empty() || ec != std::errc() || ptr != digits.data() + digits.size())
        return std::nullopt;
    return tag;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(c));
            out += esc;
        } else
            out += c;
    }
    return out;
}

std::string Time(const FILETIME& ft) {
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    if (ticks < 116444736000000000ULL)
        return "1601-01-01T00:00:00Z";
    std::time_t t = static_cast<std::time_t>((ticks - 116444736000000000ULL) / 10000000ULL);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string Guid(const GUID& g) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// One value as text; binary values longer than 64 bytes are cut unless bFull.
std::string ValueText(const SPropValue& v, bool bFull) {
    char buf[64];
    ULONG ulType = PROP_TYPE(v.ulPropTag);
    auto bin = [&](const SBinary& b) {
        std::string hex = HexBytes(b.lpb, bFull ? b.cb : std::min<ULONG>(b.cb, 64));
        return "<" + std::to_string(b.cb) + " bytes> " + hex + (!bFull && b.cb > 64 ? "..." : "");
    };
    auto list = [&](ULONG c, auto item) {
        std::string out = "[";
        for (ULONG i = 0; i < c; ++i)
            out += (i ? ", " : "") + item(i);
        return out + "]";
    };
    switch (ulType) {
        case PT_SHORT:
            return std::to_string(v.Value.i);
        case PT_LONG:
            std::snprintf(buf, sizeof buf, "%d (0x%08X)", v.Value.l, v.Value.ul);
            return buf;
        case PT_ERROR:
            std::snprintf(buf, sizeof buf, "error 0x%08X", static_cast<unsigned>(v.Value.err));
            return buf;
        case PT_BOOLEAN:
            return v.Value.b ? "true" : "false";
        case PT_FLOAT:
            return std::to_string(v.Value.flt);
        case PT_DOUBLE:
            return std::to_string(v.Value.dbl);
        case PT_APPTIME:
            return std::to_string(v.Value.at);
        case PT_CURRENCY:
        case PT_I8:
            return std::to_string(v.Value.li.QuadPart);
        case PT_SYSTIME:
            return Time(v.Value.ft);
        case PT_CLSID:
            return Guid(*v.Value.lpguid);
        case PT_STRING8:
            return "\"" + Escaped(v.Value.lpszA) + "\"";
        case PT_UNICODE:
            return "\"" + Escaped(Platform::ToUtf8(v.Value.lpszW)) + "\"";
        case PT_BINARY:
            return bin(v.Value.bin);
        case PT_MV_LONG:
            return list(v.Value.MVl.cValues, [&](ULONG i) { return std::to_string(v.Value.MVl.lpl[i]); });
        case PT_MV_SHORT:
            return list(v.Value.MVi.cValues, [&](ULONG i) { return std::to_string(v.Value.MVi.lpi[i]); });
        case PT_MV_I8:
            return list(v.Value.MVli.cValues, [&](ULONG i) { return std::to_string(v.Value.MVli.lpli[i].QuadPart); });
        case PT_MV_SYSTIME:
            return list(v.Value.MVft.cValues, [&](ULONG i) { return Time(v.Value.MVft.lpft[i]); });
        case PT_MV_UNICODE:
            return list(v.Value.MVszW.cValues,
                        [&](ULONG i) { return "\"" + Escaped(Platform::ToUtf8(v.Value.MVszW.lppszW[i])) + "\""; });
        case PT_MV_STRING8:
            return list(v.Value.MVszA.cValues, [&](ULONG i) { return "\"" + Escaped(v.Value.MVszA.lppszA[i]) + "\""; });
        case PT_MV_BINARY:
            return list(v.Value.MVbin.cValues, [&](ULONG i) { return bin(v.Value.MVbin.lpbin[i]); });
        case PT_MV_CLSID:
            return list(v.Value.MVguid.cValues, [&](ULONG i) { return Guid(v.Value.MVguid.lpguid[i]); });
        case PT_MV_DOUBLE:
            return list(v.Value.MVdbl.cValues, [&](ULONG i) { return std::to_string(v.Value.MVdbl.lpdbl[i]); });
        default:
            return "(unprintable)";
    }
}

class Inspector {
public:
    explicit Inspector(Context& context) : m_context(context), m_access(context) {}

    StoreAccess& Access() { return m_access; }

    int Fail(const std::string& what, HRESULT hr) { return m_access.Fail(what, hr); }

    int Folders() {
        ComPtr<IMAPIFolder> pRoot;
        HRESULT hr = m_access.FindFolder("", pRoot);
        if (FAILED(hr))
            return Fail("cannot open the root folder", hr);
        ComPtr<IMAPITable> pTable;
        hr = pRoot->GetHierarchyTable(CONVENIENT_DEPTH, pTable.AddressOf());
        SizedSPropTagArray(6, cols) = {
            6, {PR_DEPTH, PR_DISPLAY_NAME_W, PR_CONTENT_COUNT, PR_CONTENT_UNREAD, PR_ASSOC_CONTENT_COUNT, PR_ENTRYID}};
        LPSRowSet pRows = nullptr;
        if (SUCCEEDED(hr))
            hr = HrQueryAllRows(pTable.Get(), (LPSPropTagArray)&cols, nullptr, nullptr, 0, &pRows);
        if (FAILED(hr))
            return Fail("cannot read the folder tree", hr);
        std::fprintf(m_context.out, "# folder\titems\tunread\thidden\tentry id\n");
        std::fprintf(m_context.out, "(root)\t-\t-\t-\t%s\n", HexBytes(EntryIdOf(pRoot.Get()).data(), 24).c_str());
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            const SPropValue* p = pRows->aRow[i].lpProps;
            std::string indent(2 * static_cast<size_t>(std::max<LONG>(p[0].Value.l, 0)), ' ');
            std::string name = PROP_TYPE(p[1].ulPropTag) == PT_UNICODE ? Platform::ToUtf8(p[1].Value.lpszW) : "";
            std::fprintf(m_context.out, "%s%s\t%d\t%d\t%d\t%s\n", indent.c_str(), Escaped(name).c_str(), p[2].Value.l,
                         p[3].Value.l, p[4].Value.l, HexBytes(p[5].Value.bin.lpb, p[5].Value.bin.cb).c_str());
        }
        FreeProws(pRows);
        return kExitOk;
    }

    int Messages(const std::string& target, bool bAssociated) {
        ComPtr<IMAPIFolder> pFolder;
        HRESULT hr = m_access.FindFolder(target, pFolder);
        if (FAILED(hr))
            return Fail("no such folder: " + target, hr);
        ComPtr<IMAPITable> pTable;
        hr = pFolder->GetContentsTable(bAssociated ? MAPI_ASSOCIATED : 0, pTable.AddressOf());
        SizedSPropTagArray(6, cols) = {6,
                                       {PR_ENTRYID, PR_MESSAGE_CLASS_W, PR_SUBJECT_W, PR_MESSAGE_FLAGS, PR_MESSAGE_SIZE,
                                        PR_LAST_MODIFICATION_TIME}};
        SizedSSortOrderSet(1, sort) = {1, 0, 0, {{PR_LAST_MODIFICATION_TIME, TABLE_SORT_ASCEND}}};
        LPSRowSet pRows = nullptr;
        if (SUCCEEDED(hr))
            hr = HrQueryAllRows(pTable.Get(), (LPSPropTagArray)&cols, nullptr, (LPSSortOrderSet)&sort, 0, &pRows);
        if (FAILED(hr))
            return Fail("cannot read the folder's messages", hr);
        std::fprintf(m_context.out, "# entry id\tclass\tsubject\tflags\tsize\tmodified\n");
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            const SPropValue* p = pRows->aRow[i].lpProps;
            auto text = [&](int j) {
                return PROP_TYPE(p[j].ulPropTag) == PT_UNICODE ? Escaped(Platform::ToUtf8(p[j].Value.lpszW)) : "";
            };
            std::fprintf(m_context.out, "%s\t%s\t%s\t0x%08X\t%d\t%s\n",
                         HexBytes(p[0].Value.bin.lpb, p[0].Value.bin.cb).c_str(), text(1).c_str(), text(2).c_str(),
                         p[3].Value.ul, p[4].Value.l,
                         PROP_TYPE(p[5].ulPropTag) == PT_SYSTIME ? Time(p[5].Value.ft).c_str() : "");
        }
        std::fprintf(m_context.out, "# %u message(s)\n", pRows->cRows);
        FreeProws(pRows);
        return kExitOk;
    }

    // The object named by entry id ("store" for the store), or an attachment of a message.
    HRESULT Object(const std::string& target, std::optional<ULONG> attach, ComPtr<IMAPIProp>& pProp) {
        if (target == "store") {
            if (attach)
                return MAPI_E_INVALID_PARAMETER;
            pProp.Attach(m_access.Store());
            m_access.Store()->AddRef();
            return S_OK;
        }
        std::string eid;
        if (!BytesFromHex(target, &eid))
            return MAPI_E_INVALID_ENTRYID;
        ULONG ulType = 0;
        HRESULT hr = m_access.OpenEntry(eid, pProp, &ulType);
        if (FAILED(hr) || !attach)
            return hr;
        if (ulType != MAPI_MESSAGE)
            return MAPI_E_INVALID_PARAMETER;
        ComPtr<IAttach> pAttach;
        hr = static_cast<IMessage*>(pProp.Get())->OpenAttach(*attach, nullptr, 0, pAttach.AddressOf());
        if (SUCCEEDED(hr))
            pProp.Attach(pAttach.Detach());
        return hr;
    }

    int Props(const std::string& target, std::optional<ULONG> attach) {
        ComPtr<IMAPIProp> pProp;
        HRESULT hr = Object(target, attach, pProp);
        if (FAILED(hr))
            return Fail("cannot open " + target, hr);
        ULONG cValues = 0;
        Buf values;
        hr = pProp->GetProps(nullptr, MAPI_UNICODE, &cValues, reinterpret_cast<LPSPropValue*>(&values.p));
        if (FAILED(hr))
            return Fail("cannot read the properties", hr);
        PrintProps(static_cast<LPSPropValue>(values.p), cValues, pProp.Get(), "");
        ComPtr<IMessage> pMsg;
        if (SUCCEEDED(pProp->QueryInterface(IID_IMessage, reinterpret_cast<void**>(pMsg.AddressOf())))) {
            PrintTable(pMsg.Get(), true);
            PrintTable(pMsg.Get(), false);
        }
        return kExitOk;
    }

    // Writes the property's value to `out` ("-": standard output) through a temporary file, so that
    // a failed export leaves `out` as it was; the store file itself is refused as `out`.
    int Export(const std::string& storeFile, const std::string& target, const std::string& tagText,
               const std::string& out, std::optional<ULONG> attach) {
        const std::optional<ULONG> tag = ParseTag(tagText);
        if (!tag)
            return Fail("not a property tag: " + tagText, MAPI_E_INVALID_PARAMETER);
        const bool bStdout = out == "-";
        if (!bStdout && IsSameFile(storeFile, out))
            return Fail(out + " is the store file itself", MAPI_E_INVALID_PARAMETER);
        ComPtr<IMAPIProp> pProp;
        HRESULT hr = Object(target, attach, pProp);
        if (FAILED(hr))
            return Fail("cannot open " + target, hr);
        const ULONG ulType = PROP_TYPE(*tag);
        // Wide text is written as UTF-8; everything else byte for byte.
        const ULONG ulReadTag = ulType == PT_UNICODE ? CHANGE_PROP_TYPE(*tag, PT_STRING8) : *tag;
        ComPtr<IUnknown> pUnk;
        hr = pProp->OpenProperty(ulReadTag, &IID_IStream, 0, 0, pUnk.AddressOf());
        if (FAILED(hr))
            return Fail("cannot open the property as a stream", hr);
        auto* pStream = static_cast<IStream*>(pUnk.Get());
        AtomicFileWriter file;
        std::string why;
        if (!bStdout && !file.Open(out, why))
            return Fail(why, MAPI_E_NO_ACCESS);
        std::vector<char> buf(65536);
        uint64_t total = 0;
        for (;;) {
            ULONG cbRead = 0;
            hr = pStream->Read(buf.data(), static_cast<ULONG>(buf.size()), &cbRead);
            if (FAILED(hr))
                return Fail("cannot read the property", hr);
            if (cbRead == 0)
                break;
            if (bStdout) {
                if (std::fwrite(buf.data(), 1, cbRead, m_context.out) != cbRead)
                    return Failure("store", std::string("cannot write to standard output: ") + std::strerror(errno),
                                   m_context);
            } else if (!file.Write(std::string_view(buf.data(), cbRead), why)) {
                return Fail(why, MAPI_E_DISK_ERROR);
            }
            total += cbRead;
        }
        if (!bStdout && !file.Commit(why))
            return Fail(why, MAPI_E_DISK_ERROR);
        std::fprintf(bStdout ? m_context.err : m_context.out, "%" PRIu64 " bytes written to %s\n", total,
                     bStdout ? "standard output" : out.c_str());
        return kExitOk;
    }

private:
    static std::string EntryIdOf(IMAPIProp* p) {
        SPropValue* pv = nullptr;
        if (FAILED(HrGetOneProp(p, PR_ENTRYID, &pv)))
            return std::string(24, '\0');
        std::string eid((char*)pv->Value.bin.lpb, pv->Value.bin.cb);
        MAPIFreeBuffer(pv);
        return eid;
    }

    std::string NameOf(ULONG ulTag, IMAPIProp* pProp) {
        if (PROP_ID(ulTag) < 0x8000) {
            const char* psz = MapiPropName(ulTag);
            return psz ? psz : "";
        }
        SizedSPropTagArray(1, tags) = {1, {ulTag}};
        LPSPropTagArray pTags = (LPSPropTagArray)&tags;
        ULONG cNames = 0;
        LPMAPINAMEID* ppNames = nullptr;
        std::string name = "(unnamed)";
        if (SUCCEEDED(pProp->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, &ppNames)) && cNames == 1 && ppNames[0]) {
            const MAPINAMEID* p = ppNames[0];
            char id[16];
            std::snprintf(id, sizeof id, "0x%04X", static_cast<unsigned>(p->Kind.lID));
            name =
                Guid(*p->lpguid) + " " +
                (p->ulKind == MNID_ID ? std::string(id) : "\"" + Escaped(Platform::ToUtf8(p->Kind.lpwstrName)) + "\"");
        }
        MAPIFreeBuffer(ppNames);
        return name;
    }

    void PrintProps(const SPropValue* pValues, ULONG cValues, IMAPIProp* pNamer, const char* pszIndent,
                    bool bSkipMissing = false) {
        for (ULONG i = 0; i < cValues; ++i) {
            const SPropValue& v = pValues[i];
            if (bSkipMissing && PROP_TYPE(v.ulPropTag) == PT_ERROR)
                continue;
            const char* pszType = MapiTypeName(PROP_TYPE(v.ulPropTag));
            std::fprintf(m_context.out, "%s0x%08X\t%s\t%s\t%s\n", pszIndent, v.ulPropTag,
                         NameOf(v.ulPropTag, pNamer).c_str(), pszType ? pszType : "?", ValueText(v, false).c_str());
        }
    }

    void PrintTable(IMessage* pMsg, bool bRecipients) {
        ComPtr<IMAPITable> pTable;
        HRESULT hr = bRecipients ? pMsg->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf())
                                 : pMsg->GetAttachmentTable(MAPI_UNICODE, pTable.AddressOf());
        LPSPropTagArray pCols = nullptr;
        if (SUCCEEDED(hr))
            hr = pTable->QueryColumns(TBL_ALL_COLUMNS, &pCols);
        LPSRowSet pRows = nullptr;
        if (SUCCEEDED(hr))
            hr = HrQueryAllRows(pTable.Get(), pCols, nullptr, nullptr, 0, &pRows);
        MAPIFreeBuffer(pCols);
        if (FAILED(hr)) {
            std::fprintf(m_context.err, "ostrel store: cannot read the %s (0x%08X)\n",
                         bRecipients ? "recipients" : "attachments", static_cast<unsigned>(hr));
            return;
        }
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            std::fprintf(m_context.out, "# %s %u\n", bRecipients ? "recipient" : "attachment", i);
            PrintProps(pRows->aRow[i].lpProps, pRows->aRow[i].cValues, pMsg, "  ", true);
        }
        FreeProws(pRows);
    }

    Context& m_context;
    StoreAccess m_access;
};

}  // namespace

namespace {

// A new store with the folder tree of a new profile, named after the file; an existing file (or a
// link, even a dangling one) is never touched.
int Create(const std::string& file, Context& context) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0)
        return Failure("store", file + " already exists", context);
    ComPtr<IMsgStore> pStore;
    const HRESULT hr = Platform::OpenOsdStore(file, true, L"", true, pStore.AddressOf());
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        return Failure("store", "cannot create " + file + " (" + code + ")", context);
    }
    pStore.Reset();
    Inspector inspector(context);
    const int rc = inspector.Access().Open(file, false);
    return rc == kExitOk ? inspector.Folders() : rc;
}

struct Subcommand {
    const char* pszName;
    size_t cMinOperands;  // the subcommand's name and the store file included
    size_t cMaxOperands;
    std::vector<std::string> options;
};

}  // namespace

int RunStore(const std::vector<std::string>& args, Context& context) {
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("store", args,
                   {{"--associated"}, {"--attach", true}, {"--json"}, {"--keep-partial"}, {"--own"}, {"--bcc"}}, 1,
                   SIZE_MAX, context, parsed, exitCode))
        return exitCode;
    static const std::vector<Subcommand> kSubcommands = {
        {"folders", 2, 2, {}},
        {"messages", 3, 3, {"--associated"}},
        {"props", 3, 3, {"--attach"}},
        {"export", 5, 5, {"--attach"}},
        {"create", 2, 2, {}},
        {"import", 3, SIZE_MAX, {"--json", "--keep-partial"}},
        {"mime", 3, 4, {"--own", "--bcc"}},
    };
    const std::vector<std::string>& operands = parsed.operands;
    auto it = std::find_if(kSubcommands.begin(), kSubcommands.end(),
                           [&](const Subcommand& sub) { return operands[0] == sub.pszName; });
    if (it == kSubcommands.end())
        return UsageError("store", "unknown subcommand " + operands[0], context);
    if (operands.size() < it->cMinOperands || operands.size() > it->cMaxOperands)
        return UsageError("store", "wrong number of arguments for " + std::string(it->pszName), context);
    for (const char* pszOption : {"--associated", "--attach", "--json", "--keep-partial", "--own", "--bcc"}) {
        if (parsed.Has(pszOption) && std::find(it->options.begin(), it->options.end(), pszOption) == it->options.end())
            return UsageError("store", std::string(pszOption) + " is not an option of " + it->pszName, context);
    }
    std::optional<ULONG> attach;
    if (auto text = parsed.Value("--attach")) {
        const std::optional<int64_t> number = ParseInteger(*text, 0, UINT32_MAX);
        if (!number)
            return UsageError("store", "--attach takes an attachment number, 0 to 4294967295", context);
        attach = static_cast<ULONG>(*number);
    }
    const std::string sub = it->pszName;
    if (sub == "create")
        return Create(operands[1], context);
    if (sub == "import")
        return RunStoreImport(parsed, context);
    if (sub == "mime")
        return RunStoreMime(parsed, context);

    Inspector inspector(context);
    int rc = inspector.Access().Open(operands[1], false);
    if (rc != kExitOk)
        return rc;
    if (sub == "folders")
        return inspector.Folders();
    if (sub == "messages")
        return inspector.Messages(operands[2], parsed.Has("--associated"));
    if (sub == "props")
        return inspector.Props(operands[2], attach);
    return inspector.Export(operands[1], operands[2], operands[3], operands[4], attach);
}

}  // namespace OstrelCli
