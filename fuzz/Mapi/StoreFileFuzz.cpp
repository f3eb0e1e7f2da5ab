// Arbitrary bytes as a store file. Opening must give MAPI_E_CORRUPT_STORE (or work), never crash or
// hang, and must leave a file it refuses byte for byte as it was; a store that opens is walked
// read-only through everything a caller can reach (folders, tables, messages, recipients,
// attachments, embedded messages, streams, named properties, search criteria), which must not
// change the file either. Then it is opened for writing and changed (messages and folders copied,
// deleted and created), which must end too.
//
// An input that starts with the SQLite header is the whole file. Anything else changes a template
// store built at start-up; its first byte chooses how:
// - even: the rest is a list of byte patches: a little-endian 32-bit offset (taken modulo the
//   template's size), a length byte and that many bytes to write there. This mostly tests what
//   SQLite and the open-time checks catch.
// - odd: the rest is a list of row edits made through SQLite, so that the file stays a sound
//   database holding values, tags, parents, names, recipient rows and search criteria that the
//   store never wrote: an operation byte, a row number byte, a length byte and that many bytes.
#include <sqlite3.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "Platform/Mapi/Mapi.h"

namespace {

using Platform::ComPtr;
namespace fs = std::filesystem;

constexpr char kSqliteHeader[] = "SQLite format 3";  // with its terminator: 16 bytes
constexpr int kMaxObjects = 300;                     // bounds the walk of one input

struct MapiFree {
    void* p = nullptr;
    ~MapiFree() { MAPIFreeBuffer(p); }
};

struct Rows {
    LPSRowSet p = nullptr;
    ~Rows() { FreeProws(p); }
};

// ---- The template ------------------------------------------------------------------------------

void SetText(IMAPIProp* p, ULONG ulTag, const wchar_t* pwsz) {
    SPropValue v{ulTag, 0, {}};
    v.Value.lpszW = const_cast<wchar_t*>(pwsz);
    HrSetOneProp(p, &v);
}

void SetLong(IMAPIProp* p, ULONG ulTag, LONG l) {
    SPropValue v{ulTag, 0, {}};
    v.Value.l = l;
    HrSetOneProp(p, &v);
}

void SetBinary(IMAPIProp* p, ULONG ulTag, const std::string& bytes) {
    SPropValue v{ulTag, 0, {}};
    v.Value.bin = {static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(bytes.data()))};
    HrSetOneProp(p, &v);
}

ULONG NamedTag(IMAPIProp* p, const GUID& guid, const wchar_t* pwszName, LONG lId, ULONG ulType) {
    MAPINAMEID name{const_cast<GUID*>(&guid), pwszName ? static_cast<ULONG>(MNID_STRING) : MNID_ID, {}};
    if (pwszName)
        name.Kind.lpwstrName = const_cast<wchar_t*>(pwszName);
    else
        name.Kind.lID = lId;
    LPMAPINAMEID pName = &name;
    MapiFree tags;
    if (FAILED(p->GetIDsFromNames(1, &pName, MAPI_CREATE, reinterpret_cast<LPSPropTagArray*>(&tags.p))))
        return PR_NULL;
    return CHANGE_PROP_TYPE(static_cast<LPSPropTagArray>(tags.p)->aulPropTag[0], ulType);
}

ComPtr<IMAPIFolder> OpenFolder(IMsgStore* pStore, const std::string& eid, ULONG ulFlags) {
    ComPtr<IMAPIFolder> pFolder;
    ULONG ulType = 0;
    pStore->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(eid.data())),
                      &IID_IMAPIFolder, ulFlags, &ulType, reinterpret_cast<IUnknown**>(pFolder.AddressOf()));
    return pFolder;
}

std::string Binary(IMAPIProp* p, ULONG ulTag) {
    MapiFree v;
    if (FAILED(HrGetOneProp(p, ulTag, reinterpret_cast<LPSPropValue*>(&v.p))))
        return {};
    const SBinary& bin = static_cast<LPSPropValue>(v.p)->Value.bin;
    return std::string(reinterpret_cast<const char*>(bin.lpb), bin.cb);
}

void AddRecipients(IMessage* pMsg) {
    void* p = nullptr;
    MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(2)), &p);
    auto* pList = static_cast<ADRLIST*>(p);
    pList->cEntries = 2;
    const wchar_t* names[] = {L"Ann Example", L"Bob Example"};
    const wchar_t* addresses[] = {L"ann@example.com", L"bob@example.com"};
    for (ULONG i = 0; i < 2; ++i) {
        void* pv = nullptr;
        MAPIAllocateBuffer(4 * sizeof(SPropValue), &pv);
        auto* pProps = static_cast<LPSPropValue>(pv);
        pProps[0].ulPropTag = PR_DISPLAY_NAME_W;
        pProps[0].Value.lpszW = const_cast<wchar_t*>(names[i]);
        pProps[1].ulPropTag = PR_EMAIL_ADDRESS_W;
        pProps[1].Value.lpszW = const_cast<wchar_t*>(addresses[i]);
        pProps[2].ulPropTag = PR_ADDRTYPE_W;
        pProps[2].Value.lpszW = const_cast<wchar_t*>(L"SMTP");
        pProps[3].ulPropTag = PR_RECIPIENT_TYPE;
        pProps[3].Value.l = i ? MAPI_CC : MAPI_TO;
        pList->aEntries[i] = {0, 4, pProps};
    }
    pMsg->ModifyRecipients(MODRECIP_ADD, pList);
    FreePadrlist(pList);
}

void AddAttachments(IMessage* pMsg) {
    ULONG ulNum = 0;
    ComPtr<IAttach> pFile;
    if (SUCCEEDED(pMsg->CreateAttach(nullptr, 0, &ulNum, pFile.AddressOf()))) {
        SetLong(pFile.Get(), PR_ATTACH_METHOD, ATTACH_BY_VALUE);
        SetText(pFile.Get(), PR_ATTACH_LONG_FILENAME_W, L"notes.txt");
        SetBinary(pFile.Get(), PR_ATTACH_DATA_BIN, std::string(3000, 'n'));
        pFile->SaveChanges(0);
    }
    ComPtr<IAttach> pEmbedded;
    if (SUCCEEDED(pMsg->CreateAttach(nullptr, 0, &ulNum, pEmbedded.AddressOf()))) {
        SetLong(pEmbedded.Get(), PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG);
        ComPtr<IUnknown> pUnk;
        if (SUCCEEDED(pEmbedded->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                              pUnk.AddressOf()))) {
            auto* pInner = static_cast<IMessage*>(pUnk.Get());
            SetText(pInner, PR_SUBJECT_W, L"Forwarded");
            SetText(pInner, PR_BODY_W, L"inner body");
            pInner->SaveChanges(0);
        }
        pEmbedded->SaveChanges(0);
    }
}

void AddMessage(IMAPIFolder* pFolder, const wchar_t* pwszSubject, ULONG ulFlags, bool bFull) {
    ComPtr<IMessage> pMsg;
    if (FAILED(pFolder->CreateMessage(nullptr, ulFlags, pMsg.AddressOf())))
        return;
    SetText(pMsg.Get(), PR_MESSAGE_CLASS_W, ulFlags & MAPI_ASSOCIATED ? L"IPM.Configuration" : L"IPM.Note");
    SetText(pMsg.Get(), PR_SUBJECT_W, pwszSubject);
    SetText(pMsg.Get(), PR_BODY_W, std::wstring(bFull ? 5000 : 20, L'b').c_str());
    SetLong(pMsg.Get(), PR_IMPORTANCE, 2);
    SetLong(pMsg.Get(), NamedTag(pMsg.Get(), PSETID_Common, nullptr, 0x8503, PT_LONG), 7);
    SetText(pMsg.Get(), NamedTag(pMsg.Get(), PS_PUBLIC_STRINGS, L"Keywords", 0, PT_UNICODE), L"tag");
    SPropValue mv{NamedTag(pMsg.Get(), PS_PUBLIC_STRINGS, L"Categories", 0, PT_MV_UNICODE), 0, {}};
    wchar_t* categories[] = {const_cast<wchar_t*>(L"Red"), const_cast<wchar_t*>(L"Blue")};
    mv.Value.MVszW = {2, categories};
    HrSetOneProp(pMsg.Get(), &mv);
    if (bFull) {
        AddRecipients(pMsg.Get());
        AddAttachments(pMsg.Get());
    }
    pMsg->SaveChanges(0);
}

// A store with messages of every kind, a subfolder and a search folder with criteria.
bool BuildTemplate(const fs::path& path, std::string* pImage) {
    {
        ComPtr<IMsgStore> pStore;
        if (FAILED(Platform::OpenOsdStore(path, true, L"Fuzz", true, pStore.AddressOf())))
            return false;
        MapiFree inboxEid;
        ULONG cb = 0;
        if (FAILED(pStore->GetReceiveFolder(reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(L"IPM.Note")), MAPI_UNICODE,
                                            &cb, reinterpret_cast<LPENTRYID*>(&inboxEid.p), nullptr)))
            return false;
        std::string inbox(static_cast<const char*>(inboxEid.p), cb);
        ComPtr<IMAPIFolder> pInbox = OpenFolder(pStore.Get(), inbox, MAPI_MODIFY);
        if (!pInbox)
            return false;
        AddMessage(pInbox.Get(), L"Full message", 0, true);
        AddMessage(pInbox.Get(), L"Short one", 0, false);
        AddMessage(pInbox.Get(), L"Hidden settings", MAPI_ASSOCIATED, false);
        ComPtr<IMAPIFolder> pSub;
        if (SUCCEEDED(pInbox->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(L"Projects")),
                                           nullptr, nullptr, MAPI_UNICODE, pSub.AddressOf())))
            AddMessage(pSub.Get(), L"In a subfolder", 0, false);

        ComPtr<IMAPIFolder> pFinder = OpenFolder(pStore.Get(), Binary(pStore.Get(), PR_FINDER_ENTRYID), MAPI_MODIFY);
        ComPtr<IMAPIFolder> pSearch;
        if (pFinder &&
            SUCCEEDED(pFinder->CreateFolder(FOLDER_SEARCH, reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(L"Finder")),
                                            nullptr, nullptr, MAPI_UNICODE, pSearch.AddressOf()))) {
            SPropValue value{PR_SUBJECT_W, 0, {}};
            value.Value.lpszW = const_cast<wchar_t*>(L"one");
            SRestriction leaves[2] = {};
            leaves[0].rt = RES_CONTENT;
            leaves[0].res.resContent = {FL_SUBSTRING | FL_IGNORECASE, PR_SUBJECT_W, &value};
            leaves[1].rt = RES_BITMASK;
            leaves[1].res.resBitMask = {BMR_EQZ, PR_MESSAGE_FLAGS, MSGFLAG_READ};
            SRestriction top{RES_OR, {}};
            top.res.resOr = {2, leaves};
            SBinary scope{static_cast<ULONG>(inbox.size()), reinterpret_cast<LPBYTE>(inbox.data())};
            ENTRYLIST scopeList{1, &scope};
            pSearch->SetSearchCriteria(&top, &scopeList, RECURSIVE_SEARCH | RESTART_SEARCH);
        }
    }
    std::ifstream in(path, std::ios::binary);
    pImage->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::error_code ec;
    return pImage->size() > 4096 && !fs::exists(path.string() + "-wal", ec);
}

// ---- The walk ----------------------------------------------------------------------------------

class Walker {
public:
    explicit Walker(IMsgStore* pStore) : m_pStore(pStore) {}

    void Run() {
        Props(m_pStore);
        ComPtr<IMAPITable> pTable;
        if (SUCCEEDED(m_pStore->GetReceiveFolderTable(MAPI_UNICODE, pTable.AddressOf())))
            AllRows(pTable.Get());
        pTable.Reset();
        if (SUCCEEDED(m_pStore->GetOutgoingQueue(0, pTable.AddressOf())))
            AllRows(pTable.Get());
        MapiFree eid;
        ULONG cb = 0;
        if (SUCCEEDED(m_pStore->GetReceiveFolder(reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(L"IPM.Note.Fuzz")),
                                                 MAPI_UNICODE, &cb, reinterpret_cast<LPENTRYID*>(&eid.p), nullptr)))
            Entry(std::string(static_cast<const char*>(eid.p), cb), 0);
        Entry(std::string(), 0);
        for (ULONG ulTag : {PR_IPM_SUBTREE_ENTRYID, PR_FINDER_ENTRYID})
            Entry(Binary(m_pStore, ulTag), 0);
    }

private:
    bool Budget() { return ++m_cObjects <= kMaxObjects; }

    // Every property, the names of named ones, and the streams of the large kinds.
    void Props(IMAPIProp* pProp) {
        MapiFree list;
        if (SUCCEEDED(pProp->GetPropList(MAPI_UNICODE, reinterpret_cast<LPSPropTagArray*>(&list.p)))) {
            auto* pTags = static_cast<LPSPropTagArray>(list.p);
            MapiFree names;
            ULONG cNames = 0;
            pProp->GetNamesFromIDs(&pTags, nullptr, 0, &cNames, reinterpret_cast<LPMAPINAMEID**>(&names.p));
        }
        MapiFree values;
        ULONG cValues = 0;
        if (FAILED(pProp->GetProps(nullptr, MAPI_UNICODE, &cValues, reinterpret_cast<LPSPropValue*>(&values.p))))
            return;
        auto* pValues = static_cast<LPSPropValue>(values.p);
        for (ULONG i = 0; i < cValues && i < 64; ++i) {
            ULONG ulType = PROP_TYPE(pValues[i].ulPropTag);
            if (ulType != PT_BINARY && ulType != PT_UNICODE && ulType != PT_STRING8)
                continue;
            ComPtr<IUnknown> pUnk;
            if (FAILED(pProp->OpenProperty(pValues[i].ulPropTag, &IID_IStream, 0, 0, pUnk.AddressOf())))
                continue;
            auto* pStream = static_cast<IStream*>(pUnk.Get());
            char buf[4096];
            ULONG cbRead = 0;
            for (int n = 0; n < 64 && SUCCEEDED(pStream->Read(buf, sizeof buf, &cbRead)) && cbRead; ++n) {
            }
        }
    }

    void AllRows(IMAPITable* pTable, std::vector<std::string>* pEntryIds = nullptr, ULONG ulIdTag = PR_ENTRYID) {
        ULONG cRows = 0;
        pTable->GetRowCount(0, &cRows);
        MapiFree cols;
        if (SUCCEEDED(pTable->QueryColumns(TBL_ALL_COLUMNS, reinterpret_cast<LPSPropTagArray*>(&cols.p))))
            pTable->SetColumns(static_cast<LPSPropTagArray>(cols.p), 0);
        Rows rows;
        if (FAILED(pTable->QueryRows(200, 0, &rows.p)))
            return;
        for (ULONG i = 0; pEntryIds && i < rows.p->cRows; ++i) {
            const SRow& row = rows.p->aRow[i];
            const SPropValue* p = PpropFindProp(row.lpProps, row.cValues, ulIdTag);
            if (!p)
                continue;
            if (PROP_TYPE(ulIdTag) == PT_BINARY)
                pEntryIds->emplace_back(reinterpret_cast<const char*>(p->Value.bin.lpb), p->Value.bin.cb);
            else
                pEntryIds->emplace_back(reinterpret_cast<const char*>(&p->Value.l), sizeof p->Value.l);
        }
    }

    // Sorting and restricting a table on the values it holds.
    void Shuffle(IMAPITable* pTable) {
        SizedSSortOrderSet(2, sort) = {
            2, 0, 0, {{PR_SUBJECT_W, TABLE_SORT_DESCEND}, {PR_MESSAGE_SIZE, TABLE_SORT_ASCEND}}};
        pTable->SortTable(reinterpret_cast<LPSSortOrderSet>(&sort), 0);
        SPropValue value{PR_SUBJECT_W, 0, {}};
        value.Value.lpszW = const_cast<wchar_t*>(L"e");
        SRestriction res{RES_CONTENT, {}};
        res.res.resContent = {FL_SUBSTRING | FL_IGNORECASE, PR_SUBJECT_W, &value};
        pTable->Restrict(&res, 0);
        pTable->SeekRow(BOOKMARK_BEGINNING, 1, nullptr);
        pTable->FindRow(&res, BOOKMARK_BEGINNING, 0);
        Rows rows;
        pTable->QueryRows(50, 0, &rows.p);
    }

    void Entry(const std::string& eid, int depth) {
        if (depth > 8 || !m_seen.insert(eid).second || !Budget())
            return;
        ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        if (FAILED(m_pStore->OpenEntry(static_cast<ULONG>(eid.size()),
                                       reinterpret_cast<LPENTRYID>(const_cast<char*>(eid.data())), nullptr, 0, &ulType,
                                       pUnk.AddressOf())))
            return;
        if (ulType == MAPI_FOLDER)
            Folder(static_cast<IMAPIFolder*>(pUnk.Get()), depth);
        else if (ulType == MAPI_MESSAGE)
            Message(static_cast<IMessage*>(pUnk.Get()), depth);
        else
            Props(static_cast<IMAPIProp*>(pUnk.Get()));
    }

    void Folder(IMAPIFolder* pFolder, int depth) {
        Props(pFolder);
        MapiFree criteria, scope;
        ULONG ulState = 0;
        pFolder->GetSearchCriteria(MAPI_UNICODE, reinterpret_cast<LPSRestriction*>(&criteria.p),
                                   reinterpret_cast<LPENTRYLIST*>(&scope.p), &ulState);
        std::vector<std::string> children;
        for (ULONG ulFlags : {0UL, static_cast<unsigned long>(CONVENIENT_DEPTH)}) {
            ComPtr<IMAPITable> pTable;
            if (SUCCEEDED(pFolder->GetHierarchyTable(ulFlags | MAPI_UNICODE, pTable.AddressOf())))
                AllRows(pTable.Get(), ulFlags ? nullptr : &children);
        }
        std::vector<std::string> messages;
        for (ULONG ulFlags : {0UL, static_cast<unsigned long>(MAPI_ASSOCIATED)}) {
            ComPtr<IMAPITable> pTable;
            if (SUCCEEDED(pFolder->GetContentsTable(ulFlags | MAPI_UNICODE, pTable.AddressOf()))) {
                AllRows(pTable.Get(), &messages);
                Shuffle(pTable.Get());
            }
        }
        for (const std::string& eid : messages)
            Entry(eid, depth + 1);
        for (const std::string& eid : children)
            Entry(eid, depth + 1);
    }

    void Message(IMessage* pMsg, int depth) {
        Props(pMsg);
        ComPtr<IMAPITable> pTable;
        if (SUCCEEDED(pMsg->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf())))
            AllRows(pTable.Get());
        pTable.Reset();
        std::vector<std::string> numbers;
        if (SUCCEEDED(pMsg->GetAttachmentTable(MAPI_UNICODE, pTable.AddressOf())))
            AllRows(pTable.Get(), &numbers, PR_ATTACH_NUM);
        for (const std::string& number : numbers) {
            if (depth > 8 || !Budget())
                return;
            ULONG ulNum = 0;
            std::memcpy(&ulNum, number.data(), sizeof ulNum);
            ComPtr<IAttach> pAttach;
            if (FAILED(pMsg->OpenAttach(ulNum, nullptr, 0, pAttach.AddressOf())))
                continue;
            Props(pAttach.Get());
            ComPtr<IUnknown> pUnk;
            if (SUCCEEDED(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, pUnk.AddressOf())))
                Message(static_cast<IMessage*>(pUnk.Get()), depth + 1);
        }
    }

    IMsgStore* m_pStore;
    std::set<std::string> m_seen;
    int m_cObjects = 0;
};

// ---- The changes -------------------------------------------------------------------------------

// A store that opens is then changed as a user would change it: messages copied, deleted and
// created, folders copied and deleted. Each call must end, whatever the file holds.
class Changer {
public:
    explicit Changer(IMsgStore* pStore) : m_pStore(pStore) {}

    void Run() {
        ComPtr<IMAPIFolder> pRoot = OpenFolder(m_pStore, std::string(), MAPI_MODIFY);
        if (!pRoot)
            return;
        std::vector<std::string> folders;
        for (ULONG ulFlags : {0UL, static_cast<unsigned long>(CONVENIENT_DEPTH)}) {
            ComPtr<IMAPITable> pTable;
            if (SUCCEEDED(pRoot->GetHierarchyTable(ulFlags, pTable.AddressOf())))
                EntryIds(pTable.Get(), folders);
        }
        ComPtr<IMAPITable> pReceive;
        if (SUCCEEDED(m_pStore->GetReceiveFolderTable(0, pReceive.AddressOf())))
            EntryIds(pReceive.Get(), folders);
        for (ULONG ulTag : {PR_IPM_SUBTREE_ENTRYID, PR_FINDER_ENTRYID})
            folders.push_back(Binary(m_pStore, ulTag));
        std::set<std::string> done;
        for (const std::string& eid : folders)
            if (done.size() < kMaxFolders && done.insert(eid).second)
                Change(pRoot.Get(), eid);
    }

private:
    static constexpr size_t kMaxFolders = 8;

    static void EntryIds(IMAPITable* pTable, std::vector<std::string>& eids) {
        SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
        Rows rows;
        if (FAILED(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0)) ||
            FAILED(pTable->QueryRows(16, 0, &rows.p)))
            return;
        for (ULONG i = 0; i < rows.p->cRows; ++i) {
            const SPropValue& v = rows.p->aRow[i].lpProps[0];
            if (v.ulPropTag == PR_ENTRYID)
                eids.emplace_back(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
        }
    }

    void Change(IMAPIFolder* pRoot, const std::string& eid) {
        ComPtr<IMAPIFolder> pFolder = OpenFolder(m_pStore, eid, MAPI_MODIFY);
        if (!pFolder)
            return;
        std::vector<std::string> messages;
        ComPtr<IMAPITable> pContents;
        if (SUCCEEDED(pFolder->GetContentsTable(0, pContents.AddressOf())))
            EntryIds(pContents.Get(), messages);
        if (!messages.empty()) {
            std::vector<SBinary> bins;
            for (std::string& message : messages)
                bins.push_back({static_cast<ULONG>(message.size()), reinterpret_cast<LPBYTE>(message.data())});
            ENTRYLIST list{static_cast<ULONG>(bins.size()), bins.data()};
            pFolder->CopyMessages(&list, nullptr, pRoot, 0, nullptr, 0);
            pFolder->DeleteMessages(&list, 0, nullptr, 0);
        }
        ComPtr<IMessage> pMsg;
        if (SUCCEEDED(pFolder->CreateMessage(nullptr, 0, pMsg.AddressOf()))) {
            SetText(pMsg.Get(), PR_SUBJECT_W, L"new");
            AddAttachments(pMsg.Get());
            pMsg->SaveChanges(0);
        }
        ComPtr<IMAPIFolder> pParent = OpenFolder(m_pStore, Binary(pFolder.Get(), PR_PARENT_ENTRYID), MAPI_MODIFY);
        if (!pParent)
            return;
        auto* pEid = reinterpret_cast<LPENTRYID>(const_cast<char*>(eid.data()));
        pParent->CopyFolder(static_cast<ULONG>(eid.size()), pEid, nullptr, pRoot,
                            reinterpret_cast<LPTSTR>(const_cast<wchar_t*>(L"Copied")), 0, nullptr,
                            MAPI_UNICODE | COPY_SUBFOLDERS);
        pParent->DeleteFolder(static_cast<ULONG>(eid.size()), pEid, 0, nullptr, DEL_FOLDERS | DEL_MESSAGES);
    }

    IMsgStore* m_pStore;
};

// ---- The target --------------------------------------------------------------------------------

fs::path g_dir;
std::string g_template;

// The statements of the row edits: ?1 is the bytes, ?2 the row number, ?3 the first four bytes as a
// 32-bit number.
const char* const kEdits[] = {
    "UPDATE props SET value=?1 WHERE (nid, tag)=(SELECT nid, tag FROM props ORDER BY nid, tag LIMIT 1 OFFSET ?2)",
    "UPDATE props SET tag=?3 WHERE (nid, tag)=(SELECT nid, tag FROM props ORDER BY nid, tag LIMIT 1 OFFSET ?2)",
    "UPDATE props SET tag=(tag & ~65535) | (?3 & 65535) WHERE (nid, tag)=(SELECT nid, tag FROM props"
    " ORDER BY nid, tag LIMIT 1 OFFSET ?2)",
    "DELETE FROM props WHERE (nid, tag)=(SELECT nid, tag FROM props ORDER BY nid, tag LIMIT 1 OFFSET ?2)",
    "INSERT OR REPLACE INTO props(nid, tag, value) SELECT nid, ?3, ?1 FROM objects ORDER BY nid LIMIT 1 OFFSET ?2",
    "UPDATE objects SET parent=?3 WHERE nid=(SELECT nid FROM objects ORDER BY nid LIMIT 1 OFFSET ?2)",
    "UPDATE objects SET parent=(SELECT nid FROM objects ORDER BY nid LIMIT 1 OFFSET ?3 % 64)"
    " WHERE nid=(SELECT nid FROM objects ORDER BY nid LIMIT 1 OFFSET ?2)",
    "UPDATE objects SET nid=?3 WHERE nid=(SELECT nid FROM objects ORDER BY nid LIMIT 1 OFFSET ?2)",
    "DELETE FROM objects WHERE nid=(SELECT nid FROM objects ORDER BY nid LIMIT 1 OFFSET ?2)",
    "UPDATE recipients SET data=?1 WHERE rowid=(SELECT rowid FROM recipients ORDER BY rowid LIMIT 1 OFFSET ?2)",
    "UPDATE searches SET restriction=?1",
    "UPDATE searches SET scope=?1",
    "UPDATE searches SET flags=?3",
    "UPDATE names SET guid=?1 WHERE id=(SELECT id FROM names ORDER BY id LIMIT 1 OFFSET ?2)",
    "UPDATE names SET name=CAST(?1 AS TEXT), kind=?3 % 3, lid=?3 WHERE id=(SELECT id FROM names ORDER BY id"
    " LIMIT 1 OFFSET ?2)",
    "UPDATE names SET id=?3 WHERE id=(SELECT id FROM names ORDER BY id LIMIT 1 OFFSET ?2)",
    "UPDATE receive_folders SET nid=?3 WHERE rowid=(SELECT rowid FROM receive_folders ORDER BY rowid LIMIT 1"
    " OFFSET ?2)",
    "UPDATE meta SET value=?1 WHERE key=(SELECT key FROM meta ORDER BY key LIMIT 1 OFFSET ?2)",
};

// Applies the row edits to a copy of the template and returns the resulting file.
std::string ApplyEdits(const uint8_t* data, size_t size) {
    const fs::path path = g_dir / "edited.osd";
    std::error_code ec;
    for (const char* pszSuffix : {"", "-wal", "-shm"})
        fs::remove(path.string() + pszSuffix, ec);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(g_template.data(), static_cast<std::streamsize>(g_template.size()));
    }
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(path.c_str(), &pDb, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        size_t pos = 0;
        while (size - pos >= 3) {
            const char* pszSql = kEdits[data[pos] % std::size(kEdits)];
            int row = data[pos + 1];
            size_t cb = std::min<size_t>(data[pos + 2], size - pos - 3);
            sqlite3_stmt* pStmt = nullptr;
            if (sqlite3_prepare_v2(pDb, pszSql, -1, &pStmt, nullptr) == SQLITE_OK) {
                sqlite3_bind_blob(pStmt, 1, data + pos + 3, static_cast<int>(cb), SQLITE_TRANSIENT);
                sqlite3_bind_int(pStmt, 2, row);
                uint32_t number = 0;
                std::memcpy(&number, data + pos + 3, std::min<size_t>(cb, 4));
                sqlite3_bind_int64(pStmt, 3, number);
                sqlite3_step(pStmt);
            }
            sqlite3_finalize(pStmt);
            pos += 3 + cb;
        }
    }
    sqlite3_close(pDb);
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ApplyPatches(const uint8_t* data, size_t size) {
    std::string image = g_template;
    size_t pos = 0;
    while (size - pos >= 5) {
        uint32_t offset;
        std::memcpy(&offset, data + pos, 4);
        size_t cb = data[pos + 4];
        pos += 5;
        cb = std::min(cb, size - pos);
        size_t at = offset % image.size();
        for (size_t i = 0; i < cb && at + i < image.size(); ++i)
            image[at + i] = static_cast<char>(data[pos + i]);
        pos += cb;
    }
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/mapi_store_fuzz.XXXXXX";
    if (!mkdtemp(pattern))
        std::abort();
    g_dir = pattern;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_dir, ec);
    });
    if (!BuildTemplate(g_dir / "template.osd", &g_template))
        std::abort();
    // Writes the template for use as a seed of the whole-file form.
    if (const char* pszOut = std::getenv("MAPI_STORE_FUZZ_TEMPLATE")) {
        std::ofstream out(pszOut, std::ios::binary | std::ios::trunc);
        out.write(g_template.data(), static_cast<std::streamsize>(g_template.size()));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool bWholeFile = size >= sizeof kSqliteHeader && std::memcmp(data, kSqliteHeader, sizeof kSqliteHeader) == 0;
    std::string image;
    if (bWholeFile)
        image.assign(reinterpret_cast<const char*>(data), size);
    else if (size && (data[0] & 1))
        image = ApplyEdits(data + 1, size - 1);
    else
        image = ApplyPatches(data + (size ? 1 : 0), size ? size - 1 : 0);

    const fs::path path = g_dir / "input.osd";
    std::error_code ec;
    for (const char* pszSuffix : {"", "-wal", "-shm", "-journal"})
        fs::remove(path.string() + pszSuffix, ec);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(image.data(), static_cast<std::streamsize>(image.size()));
    }

    {
        ComPtr<IMsgStore> pStore;
        HRESULT hr = Platform::OpenOsdStore(path, false, L"", false, pStore.AddressOf());
        if (SUCCEEDED(hr))
            Walker(pStore.Get()).Run();
        else if (hr != MAPI_E_CORRUPT_STORE)
            __builtin_trap();
    }

    {
        std::ifstream in(path, std::ios::binary);
        std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (after != image)
            __builtin_trap();
    }

    ComPtr<IMsgStore> pStore;
    if (SUCCEEDED(Platform::OpenOsdStore(path, false, L"", true, pStore.AddressOf())))
        Changer(pStore.Get()).Run();
    return 0;
}
