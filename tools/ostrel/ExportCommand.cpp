// `ostrel export --maildir DIR [--profile NAME | --store FILE]`: the mail folders of a store as a
// Maildir++ tree (ExportMaildir.h) that any mail reader opens. Each message goes through the
// store-to-MIME conversion the connector uses when it sends mail; its read, flag, reply, forward
// and draft state, and the server's deleted flag that sync recorded, become the file name's flags.
// Only mail folders are written: contacts, calendars and tasks have no Maildir form. The store is
// only read. A message that cannot be converted is named on stderr and the rest are written; the
// exit status is then 1.
#include "ExportCommand.h"

#include "Args.h"
#include "ExportMaildir.h"
#include "Interrupt.h"
#include "Output.h"
#include "Profile.h"
#include "StoreAccess.h"
#include "StoreMailbox.h"
#include "SyncBaseline.h"

#include <cstdio>
#include <cstring>

#include "Ostrel/Convert/Mail/ConvertMessageToMime.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Time/TimeUtil.h"

namespace OstrelCli {

const char* const kExportSummary = "write the mail folders of a profile's store (or any store) as a Maildir++ tree";
const char* const kExportUsage =
    "--maildir DIR [--profile NAME | --store FILE]\n"
    "  --maildir DIR      the tree to write: the Inbox is DIR itself, other folders DIR/.Parent.Child;\n"
    "                     DIR must be missing, empty or an earlier export, which is brought up to date\n"
    "  --profile NAME     the profile whose store is exported (default: $OSTREL_PROFILE, else \"default\")\n"
    "  --store FILE       a .osd store file instead of a profile's\n"
    "                     (mail folders only: contacts, calendars and tasks are left out)";

namespace {

using Platform::ComPtr;

// Rows asked of a contents table at a time: memory stays the same whatever the folder holds.
constexpr LONG kRowBatch = 200;

struct Rows {
    LPSRowSet p = nullptr;
    ~Rows() { FreeProws(p); }
};

const SPropValue* Find(const SRow& row, ULONG ulTag) {
    for (ULONG i = 0; i < row.cValues; ++i) {
        if (row.lpProps[i].ulPropTag == ulTag)
            return &row.lpProps[i];
    }
    return nullptr;
}

std::string BinaryOf(const SPropValue* p) {
    return p ? std::string(reinterpret_cast<const char*>(p->Value.bin.lpb), p->Value.bin.cb) : std::string();
}

std::string HrText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// Mail folders are exported; contacts, calendars, tasks, notes and journals hold no mail.
bool IsMailFolder(const SPropValue* pClass) {
    if (!pClass || !pClass->Value.lpszW || !*pClass->Value.lpszW)
        return true;
    const std::wstring_view cls(pClass->Value.lpszW);
    return cls.rfind(L"IPF.Note", 0) == 0 || cls.rfind(L"IPF.Imap", 0) == 0;
}

// Read, flagged and draft are the store's: sync keeps them in step and the user may have changed
// them since. Replied and forwarded are set by a reply sent here (the last verb), by the icon the
// conversion gives a message the server had marked so, or by the server's flags sync recorded
// later. Trashed is the server's deleted flag, which only sync records (ulFlagBitsTag, PR_NULL
// when the store has none).
MaildirFlags FlagsOf(const SRow& row, ULONG ulFlagBitsTag) {
    MaildirFlags flags;
    if (const SPropValue* p = Find(row, PR_MESSAGE_FLAGS)) {
        flags.bSeen = (p->Value.ul & MSGFLAG_READ) != 0;
        flags.bDraft = (p->Value.ul & MSGFLAG_UNSENT) != 0;
    }
    if (const SPropValue* p = Find(row, PR_LAST_VERB_EXECUTED)) {
        // Reply to sender, reply to all; forward.
        flags.bReplied = p->Value.l == 102 || p->Value.l == 103;
        flags.bForwarded = p->Value.l == 104;
    }
    if (const SPropValue* p = Find(row, PR_ICON_INDEX)) {
        flags.bReplied |= p->Value.l == 261;
        flags.bForwarded |= p->Value.l == 262;
    }
    const SPropValue* pBits = ulFlagBitsTag == PR_NULL ? nullptr : Find(row, ulFlagBitsTag);
    const int32_t iBits = pBits ? pBits->Value.l : -1;
    flags.bReplied |= HasFlagBit(iBits, 'r');
    flags.bForwarded |= HasFlagBit(iBits, 'w');
    flags.bTrashed = HasFlagBit(iBits, 'x');
    const SPropValue* pStatus = Find(row, PR_FLAG_STATUS);
    const SPropValue* pIcon = Find(row, PR_FOLLOWUP_ICON);
    flags.bFlagged = (pStatus && pStatus->Value.l == 2) || (pIcon && pIcon->Value.l != 0);
    return flags;
}

int64_t UnixSeconds(const SRow& row) {
    const SPropValue* p = Find(row, PR_MESSAGE_DELIVERY_TIME);
    if (!p)
        p = Find(row, PR_CLIENT_SUBMIT_TIME);
    if (!p)
        return 0;
    const uint64_t ull = (static_cast<uint64_t>(p->Value.ft.dwHighDateTime) << 32) | p->Value.ft.dwLowDateTime;
    return ull < Ostrel::Util::kFileTimeUnixEpoch
               ? 0
               : static_cast<int64_t>((ull - Ostrel::Util::kFileTimeUnixEpoch) / 10000000ull);
}

// The node id in the last four bytes of a store object's entry id.
uint32_t NodeId(const std::string& eid) {
    if (eid.size() < 4)
        return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(eid.data() + eid.size() - 4);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct PendingFolder {
    std::string sEntryId;
    std::vector<std::wstring> path;
    bool bMail = true;
};

class Exporter {
public:
    Exporter(Context& context, StoreAccess& access, MaildirTree& tree)
        : m_context(context), m_access(access), m_tree(tree) {}

    int Run() {
        IMsgStore* pStore = m_access.Store();
        LPSPropValue pSubtree = nullptr;
        HRESULT hr = HrGetOneProp(pStore, PR_IPM_SUBTREE_ENTRYID, &pSubtree);
        if (FAILED(hr))
            return m_access.Fail("the store has no top of the mailbox", hr);
        const std::string subtree = BinaryOf(pSubtree);
        MAPIFreeBuffer(pSubtree);
        ULONG cbInbox = 0;
        LPENTRYID pInbox = nullptr;
        if (SUCCEEDED(pStore->GetReceiveFolder(const_cast<wchar_t*>(L"IPM"), 0, &cbInbox, &pInbox, nullptr)) && pInbox)
            m_sInbox.assign(reinterpret_cast<const char*>(pInbox), cbInbox);
        MAPIFreeBuffer(pInbox);
        m_ulFlagBitsTag = SyncBaseline::FindFlagBitsTag(pStore);

        // Depth first with a stack of its own: a deep tree costs memory, never the call stack.
        std::vector<PendingFolder> stack;
        hr = PushChildren(subtree, {}, stack);
        if (FAILED(hr))
            return m_access.Fail("cannot read the folders of the store", hr);
        while (!stack.empty()) {
            PendingFolder folder = std::move(stack.back());
            stack.pop_back();
            if (Interrupted())
                break;
            if (folder.bMail && !ExportFolder(folder))
                return kExitFailure;
            if (FAILED(PushChildren(folder.sEntryId, folder.path, stack)))
                Problem("cannot read the folders below " + PathText(folder.path));
        }
        std::string why;
        if (!m_tree.Finish(why))
            return Failure("export", why, m_context);
        if (Interrupted()) {
            std::fprintf(m_context.err, "ostrel export: interrupted; what was written is whole\n");
            return kExitInterrupted;
        }
        std::fprintf(
            m_context.out, "# %zu messages in %zu folders%s\n", m_cMessages, m_cFolders,
            m_cRemoved ? (", " + std::to_string(m_cRemoved) + " gone since the last export removed").c_str() : "");
        if (m_cProblems)
            return Failure("export", std::to_string(m_cProblems) + " problem(s), named above", m_context);
        return kExitOk;
    }

private:
    static std::string PathText(const std::vector<std::wstring>& path) {
        std::string text;
        for (const std::wstring& part : path)
            text += (text.empty() ? "" : "/") + Platform::ToUtf8(part);
        return text;
    }

    void Problem(const std::string& text) {
        ++m_cProblems;
        std::fprintf(m_context.err, "ostrel export: %s\n", text.c_str());
    }

    HRESULT PushChildren(const std::string& eid, const std::vector<std::wstring>& path,
                         std::vector<PendingFolder>& stack) {
        ComPtr<IMAPIProp> pProp;
        ULONG ulType = 0;
        HRESULT hr = m_access.OpenEntry(eid, pProp, &ulType);
        if (FAILED(hr))
            return hr;
        if (ulType != MAPI_FOLDER)
            return MAPI_E_INVALID_ENTRYID;
        ComPtr<IMAPITable> pTable;
        hr = static_cast<IMAPIFolder*>(pProp.Get())->GetHierarchyTable(0, pTable.AddressOf());
        SizedSPropTagArray(3, cols) = {3, {PR_ENTRYID, PR_DISPLAY_NAME_W, PR_CONTAINER_CLASS_W}};
        Rows rows;
        if (SUCCEEDED(hr))
            hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows.p);
        if (FAILED(hr))
            return hr;
        // Pushed in reverse so that folders come out in the table's order.
        for (ULONG i = rows.p->cRows; i-- > 0;) {
            const SRow& row = rows.p->aRow[i];
            const SPropValue* pEid = Find(row, PR_ENTRYID);
            if (!pEid)
                continue;
            const SPropValue* pName = Find(row, PR_DISPLAY_NAME_W);
            PendingFolder child{BinaryOf(pEid), path, IsMailFolder(Find(row, PR_CONTAINER_CLASS_W))};
            child.path.push_back(pName && pName->Value.lpszW ? pName->Value.lpszW : L"");
            stack.push_back(std::move(child));
        }
        return S_OK;
    }

    // False only when the tree itself cannot be written; a message that fails is a problem.
    bool ExportFolder(const PendingFolder& folder) {
        const bool bInbox = !m_sInbox.empty() && folder.sEntryId == m_sInbox;
        const std::string name = bInbox ? std::string() : MaildirFolderName(folder.path);
        std::string why;
        if (!m_tree.BeginFolder(name, why)) {
            Failure("export", why, m_context);
            return false;
        }
        ComPtr<IMAPIProp> pProp;
        ULONG ulType = 0;
        ComPtr<IMAPITable> pTable;
        HRESULT hr = m_access.OpenEntry(folder.sEntryId, pProp, &ulType);
        if (SUCCEEDED(hr) && ulType != MAPI_FOLDER)
            hr = MAPI_E_INVALID_ENTRYID;
        if (SUCCEEDED(hr))
            hr = static_cast<IMAPIFolder*>(pProp.Get())->GetContentsTable(0, pTable.AddressOf());
        SizedSPropTagArray(9, cols) = {
            9,
            {PR_ENTRYID, PR_MESSAGE_FLAGS, PR_LAST_VERB_EXECUTED, PR_ICON_INDEX, PR_FLAG_STATUS, PR_FOLLOWUP_ICON,
             PR_MESSAGE_DELIVERY_TIME, PR_CLIENT_SUBMIT_TIME, m_ulFlagBitsTag}};
        if (m_ulFlagBitsTag == PR_NULL)
            --cols.cValues;
        if (SUCCEEDED(hr))
            hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0);
        size_t cWritten = 0;
        while (SUCCEEDED(hr) && !Interrupted()) {
            Rows rows;
            hr = pTable->QueryRows(kRowBatch, 0, &rows.p);
            if (FAILED(hr) || rows.p->cRows == 0)
                break;
            for (ULONG i = 0; i < rows.p->cRows && !Interrupted(); ++i) {
                if (ExportMessage(rows.p->aRow[i], folder.path))
                    ++cWritten;
            }
        }
        if (FAILED(hr))
            Problem("cannot read the messages of " + PathText(folder.path) + " (" + HrText(hr) + ")");
        // An interrupted folder keeps what an earlier export had in it.
        if (!Interrupted())
            m_cRemoved += m_tree.EndFolder();
        ++m_cFolders;
        m_cMessages += cWritten;
        std::fprintf(m_context.out, "%s\t%s\t%zu\n", name.empty() ? "." : name.c_str(),
                     TsvField(PathText(folder.path)).c_str(), cWritten);
        return true;
    }

    bool ExportMessage(const SRow& row, const std::vector<std::wstring>& path) {
        const std::string eid = BinaryOf(Find(row, PR_ENTRYID));
        ComPtr<IMAPIProp> pProp;
        ULONG ulType = 0;
        HRESULT hr = eid.empty() ? MAPI_E_NOT_FOUND : m_access.OpenEntry(eid, pProp, &ulType);
        if (SUCCEEDED(hr) && ulType != MAPI_MESSAGE)
            hr = MAPI_E_INVALID_ENTRYID;
        ComPtr<IStream> pMime;
        unsigned int size = 0;
        if (SUCCEEDED(hr))
            hr = ConvertMessageToMime(static_cast<IMessage*>(pProp.Get()), nullptr, pMime.AddressOf(), size, nullptr);
        std::string why;
        if (FAILED(hr))
            why = "cannot be converted to MIME (" + HrText(hr) + ")";
        else if (m_tree.AddMessage(MaildirUnique(UnixSeconds(row), NodeId(eid)),
                                   MaildirInfo(FlagsOf(row, m_ulFlagBitsTag)), pMime.Get(), why))
            return true;
        Problem("message " + HexBytes(eid) + " in " + PathText(path) + ": " + why);
        return false;
    }

    Context& m_context;
    StoreAccess& m_access;
    MaildirTree& m_tree;
    std::string m_sInbox;
    ULONG m_ulFlagBitsTag = PR_NULL;
    size_t m_cFolders = 0;
    size_t m_cMessages = 0;
    size_t m_cRemoved = 0;
    size_t m_cProblems = 0;
};

}  // namespace

int RunExport(const std::vector<std::string>& args, Context& context) {
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("export", args, {{"--maildir", true}, {"--profile", true}, {"--store", true}}, 0, 0, context, parsed,
                   exitCode))
        return exitCode;
    const std::optional<std::string> dir = parsed.Value("--maildir");
    if (!dir || dir->empty())
        return UsageError("export", "--maildir DIR is required", context);
    if (parsed.Has("--profile") && parsed.Has("--store"))
        return UsageError("export", "give --profile or --store, not both", context);
    std::string storeFile;
    if (auto file = parsed.Value("--store")) {
        storeFile = *file;
    } else {
        const std::string name = parsed.Value("--profile").value_or(DefaultProfileName());
        if (!IsValidProfileName(name))
            return UsageError("export", "'" + name + "' cannot be a profile name", context);
        storeFile = StoreMailbox::StorePath(name).string();
    }

    StoreAccess access(context, "export");
    int rc = access.Open(storeFile, false);
    if (rc != kExitOk)
        return rc;
    MaildirTree tree;
    std::string why;
    if (!tree.Open(*dir, why))
        return Failure("export", why, context);
    InterruptScope interruptScope("export");
    return Exporter(context, access, tree).Run();
}

}  // namespace OstrelCli
