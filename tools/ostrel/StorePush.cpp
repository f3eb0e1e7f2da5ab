#include "StorePush.h"

#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Store/Categories/TagCache.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/NamedProps.h"
#include "Ostrel/Store/StoreText.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

#include <charconv>
#include <cstdio>
#include <stdexcept>
#include <string_view>

namespace OstrelCli {

using Platform::ComPtr;

namespace {

std::vector<std::vector<BYTE>> EntryIds(IMAPITable* pTable) {
    std::vector<std::vector<BYTE>> ids;
    SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
    if (SUCCEEDED(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0)))
        ForEachRow(pTable, [&ids](const SRow& row) {
            const SPropValue& v = row.lpProps[0];
            if (PROP_TYPE(v.ulPropTag) == PT_BINARY)
                ids.emplace_back(v.Value.bin.lpb, v.Value.bin.lpb + v.Value.bin.cb);
        });
    return ids;
}

}  // namespace

std::string PushSummary(const PushReport& report) {
    if (!report.Total() && !report.cFailed && !report.cConflicts)
        return std::string();
    std::string parts;
    auto part = [&](size_t c, const char* pszWhat) {
        if (c)
            parts += (parts.empty() ? "" : ", ") + std::to_string(c) + " " + pszWhat;
    };
    part(report.cSent, "sent");
    part(report.cDrafts, "drafts");
    part(report.cFolders, "folders");
    part(report.cChanged, "changed");
    part(report.cMoved, "moved");
    part(report.cDeleted, "deleted");
    part(report.cContacts, "contacts");
    part(report.cCalendar, "appointments and tasks");
    std::string text = "; sent " + std::to_string(report.Total()) + " local changes";
    if (!parts.empty())
        text += " (" + parts + ")";
    if (report.cConflicts)
        text += ", " + std::to_string(report.cConflicts) + " held back as changed on the server too (the next sync " +
                "settles them)";
    if (report.cFailed)
        text += ", " + std::to_string(report.cFailed) + " not sent yet (see the log)";
    return text;
}

std::string PushJson(const PushReport& report) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "{\"sent\":%zu,\"drafts\":%zu,\"folders\":%zu,\"changed\":%zu,\"moved\":%zu,\"deleted\":%zu,"
                  "\"contacts\":%zu,\"calendar\":%zu,\"failed\":%zu,\"conflicts\":%zu}",
                  report.cSent, report.cDrafts, report.cFolders, report.cChanged, report.cMoved, report.cDeleted,
                  report.cContacts, report.cCalendar, report.cFailed, report.cConflicts);
    return text;
}

StorePush::StorePush(StoreMailbox& mailbox, IAddrBook* pAddrBook, Ostrel::Rpc::OstrelConnection& oc,
                     std::wstring wsOwnerName, std::wstring wsOwnerEmail)
    : m_mailbox(mailbox),
      m_pStore(mailbox.Store()),
      m_pAddrBook(pAddrBook),
      m_items(mailbox.Items()),
      m_oc(oc),
      m_wsOwnerName(std::move(wsOwnerName)),
      m_wsOwnerEmail(std::move(wsOwnerEmail)) {}

StorePush::~StorePush() = default;

PushReport StorePush::Run() {
    PushReport report;
    ComPtr<IMAPIFolder> pSubtree = SpecialFolder(PR_IPM_SUBTREE_ENTRYID);
    if (!pSubtree)
        throw std::runtime_error("the store has no folder tree to push");
    m_pTags = std::make_unique<Ostrel::Mapi::TagCache>(m_pStore);
    m_pTags->Initialize();
    // Before the first pull the store's folders (Inbox...) are not new ones, and nothing in it
    // came from the server: there is nothing to compare yet.
    if (!m_mailbox.State().Token()) {
        m_mailbox.ForgetFolders();
        return report;
    }
    const std::map<int32_t, Ostrel::Mail::MailItemType> known = ReadPushedList();
    // Folders first, so that what was filed into a new folder has somewhere to go.
    PushFolders(pSubtree.Get(), 1, report);
    PushOutbox(report);
    PushDrafts(report);
    PushContent(report);
    // After everything that gives items server ids, so the list of held ids has them all.
    std::map<int32_t, Ostrel::Mail::MailItemType> held;
    const bool bListedAll = PushItemChanges(held, report);
    if (bListedAll) {
        PushDeletions(known, held, report);
    } else {
        // What could not be seen is not taken for deleted: the list keeps it for the next run.
        held.insert(known.begin(), known.end());
    }
    WritePushedList(held);
    m_mailbox.Flush();
    // The next run lists the tree again: the store may change in between.
    m_mailbox.ForgetFolders();
    OSTLOG_INFO(1, L"Pushed %d changes, %d failed, %d held back", static_cast<int>(report.Total()),
                static_cast<int>(report.cFailed), static_cast<int>(report.cConflicts));
    return report;
}

void StorePush::PushContent(PushReport& report) {
    const std::map<std::vector<BYTE>, int32_t> special = SpecialFolderIds();
    m_mailbox.ForEachFolder([&](IMAPIFolder* pFolder, int32_t iFolderId) {
        if (auto it = special.find(EntryIdOf(pFolder)); !iFolderId && it != special.end())
            iFolderId = it->second;
        if (!iFolderId)
            return;
        const std::wstring wsClass = ContainerClassOf(pFolder);
        if (Ostrel::Mapi::EqualsNoCase(wsClass, L"IPF.Contact"))
            PushContactFolder(pFolder, iFolderId, report);
        else if (Ostrel::Mapi::EqualsNoCase(wsClass, L"IPF.Appointment") ||
                 Ostrel::Mapi::EqualsNoCase(wsClass, L"IPF.Task"))
            PushCalendarFolder(pFolder, iFolderId, report);
    });
}

namespace {

ULONGLONG Ticks(const FILETIME& ft) {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

bool StorePush::IsEditedSince(IMAPIProp* pItem, const ItemBaseline& baseline) {
    LPSPropValue pValue = nullptr;
    bool bEdited = false;
    if (SUCCEEDED(HrGetOneProp(pItem, PR_LAST_MODIFICATION_TIME, &pValue)))
        bEdited = Ticks(pValue->Value.ft) > Ticks(baseline.ftStamp);
    MAPIFreeBuffer(pValue);
    return bEdited;
}

std::vector<StorePush::PushCandidate> StorePush::Candidates(IMAPIFolder* pFolder) {
    std::vector<PushCandidate> candidates;
    const SyncBaseline& baseline = m_mailbox.Baseline();
    Ostrel::Mapi::NamedProps* pNamed = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_pStore);
    using N = Ostrel::Mapi::NamedProps;
    enum { kEid, kId, kClass, kModified, kStamp, kMark, kLastMark, kColumns };
    SizedSPropTagArray(kColumns, columns) = {
        kColumns,
        {PR_ENTRYID, m_mailbox.OstrelIdTag(), PR_MESSAGE_CLASS_W, PR_LAST_MODIFICATION_TIME, baseline.StampTag(),
         Ostrel::Mapi::NAMED_PROP(N::REPLICATION_ID, PT_UNICODE, pNamed),
         Ostrel::Mapi::NAMED_PROP(N::LAST_SERVER_REPLICATION_ID, PT_UNICODE, pNamed)}};
    ComPtr<IMAPITable> pTable;
    if (FAILED(pFolder->GetContentsTable(MAPI_UNICODE, pTable.AddressOf())) ||
        FAILED(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0)))
        return candidates;
    ForEachRow(pTable.Get(), [&](const SRow& row) {
        const SPropValue* pCol = row.lpProps;
        if (PROP_TYPE(pCol[kEid].ulPropTag) != PT_BINARY)
            return;
        auto has = [&](int i) { return pCol[i].ulPropTag == columns.aulPropTag[i]; };
        PushCandidate candidate;
        candidate.lId = has(kId) ? pCol[kId].Value.l : 0;
        candidate.kind = Ostrel::Mapi::MsgClassToItemType(has(kClass) ? pCol[kClass].Value.lpszW : nullptr);
        const std::wstring wsMark = has(kMark) && pCol[kMark].Value.lpszW ? pCol[kMark].Value.lpszW : L"";
        const std::wstring wsLast = has(kLastMark) && pCol[kLastMark].Value.lpszW ? pCol[kLastMark].Value.lpszW : L"";
        const bool bPending = !wsMark.empty() && wsMark != wsLast;
        const bool bEdited =
            has(kStamp) && has(kModified) && Ticks(pCol[kModified].Value.ft) > Ticks(pCol[kStamp].Value.ft);
        if (!candidate.lId || bPending || bEdited) {
            const SBinary& eid = pCol[kEid].Value.bin;
            candidate.entryId.assign(eid.lpb, eid.lpb + eid.cb);
            candidates.push_back(std::move(candidate));
        }
    });
    return candidates;
}

std::wstring StorePush::MessageClassOf(IMAPIProp* pProp) {
    LPSPropValue pValue = nullptr;
    std::wstring ws;
    if (SUCCEEDED(HrGetOneProp(pProp, PR_MESSAGE_CLASS_W, &pValue)) && pValue->Value.lpszW)
        ws = pValue->Value.lpszW;
    MAPIFreeBuffer(pValue);
    return ws;
}

std::wstring StorePush::ContainerClassOf(IMAPIProp* pProp) {
    LPSPropValue pValue = nullptr;
    std::wstring ws;
    if (SUCCEEDED(HrGetOneProp(pProp, PR_CONTAINER_CLASS_W, &pValue)) && pValue->Value.lpszW)
        ws = pValue->Value.lpszW;
    MAPIFreeBuffer(pValue);
    return ws;
}

bool StorePush::IsGoneOnServer(const Ostrel::Rpc::RpcException& e) {
    const std::wstring ws = e.ExcepText() ? e.ExcepText() : L"";
    return ws.find(L"NO_SUCH") != std::wstring::npos || ws.find(L"no such") != std::wstring::npos;
}

std::wstring StorePush::PendingMark(IMAPIProp* pItem) {
    Ostrel::Mapi::OstrelMailItemBase item(pItem);
    const std::wstring wsMark = item.ReplicationId();
    return wsMark != item.LastServerReplicationId() ? wsMark : std::wstring();
}

std::unique_ptr<Ostrel::Rpc::Response> StorePush::Send(Ostrel::Rpc::Request& request) {
    Ostrel::Rpc::Response* pResponse = nullptr;
    m_oc.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    return std::unique_ptr<Ostrel::Rpc::Response>(pResponse);
}

ComPtr<IMAPIFolder> StorePush::OpenFolder(const std::vector<BYTE>& entryId) {
    ComPtr<IMAPIFolder> pFolder;
    ULONG ulType = 0;
    if (FAILED(m_pStore->OpenEntry(static_cast<ULONG>(entryId.size()),
                                   reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(entryId.data())), nullptr, MAPI_MODIFY,
                                   &ulType, reinterpret_cast<LPUNKNOWN*>(pFolder.AddressOf()))) ||
        ulType != MAPI_FOLDER)
        return ComPtr<IMAPIFolder>();
    return pFolder;
}

ComPtr<IMessage> StorePush::OpenMessage(const std::vector<BYTE>& entryId) {
    ComPtr<IMessage> pMessage;
    ULONG ulType = 0;
    if (FAILED(m_pStore->OpenEntry(static_cast<ULONG>(entryId.size()),
                                   reinterpret_cast<LPENTRYID>(const_cast<BYTE*>(entryId.data())), nullptr, MAPI_MODIFY,
                                   &ulType, reinterpret_cast<LPUNKNOWN*>(pMessage.AddressOf()))) ||
        ulType != MAPI_MESSAGE)
        return ComPtr<IMessage>();
    return pMessage;
}

ComPtr<IMAPIFolder> StorePush::SpecialFolder(ULONG ulTag) {
    LPSPropValue pValue = nullptr;
    if (FAILED(HrGetOneProp(m_pStore, ulTag, &pValue))) {
        // The client's own folders (drafts, contacts, calendar...) are named by the root folder.
        ComPtr<IMAPIFolder> pRoot = OpenFolder({});
        if (!pRoot || FAILED(HrGetOneProp(pRoot.Get(), ulTag, &pValue)))
            return ComPtr<IMAPIFolder>();
    }
    const std::vector<BYTE> entryId(pValue->Value.bin.lpb, pValue->Value.bin.lpb + pValue->Value.bin.cb);
    MAPIFreeBuffer(pValue);
    return OpenFolder(entryId);
}

std::vector<std::vector<BYTE>> StorePush::Contents(IMAPIFolder* pFolder) {
    ComPtr<IMAPITable> pTable;
    if (FAILED(pFolder->GetContentsTable(0, pTable.AddressOf())))
        return {};
    return EntryIds(pTable.Get());
}

std::vector<std::vector<BYTE>> StorePush::Subfolders(IMAPIFolder* pFolder) {
    // From the run's one listing of the tree: a table per folder would read its messages again.
    const std::vector<BYTE> parent = EntryIdOf(pFolder);
    const std::string_view parentId(reinterpret_cast<const char*>(parent.data()), parent.size());
    std::vector<std::vector<BYTE>> children;
    for (const StoreFolder& folder : m_mailbox.Folders()) {
        if (folder.parentId == parentId)
            children.emplace_back(folder.entryId.begin(), folder.entryId.end());
    }
    return children;
}

std::vector<LONG> StorePush::ItemsListedIn(Ostrel::Rpc::Response& response, const wchar_t* pwszElement,
                                           int32_t iFolder) {
    std::vector<LONG> ids;
    ComPtr<IXMLDOMNodeList> pList;
    const std::wstring wsPath =
        std::wstring(L"//mail:") + pwszElement + L"[@l='" + std::to_wstring(iFolder) + L"']/@id";
    if (!response.GetDocument() || response.GetDocument()->selectNodes(wsPath, pList.AddressOf()) != S_OK)
        return ids;
    ComPtr<IXMLDOMNode> pNode;
    while (pList->nextNode(pNode.AddressOf()) == S_OK && pNode) {
        std::wstring wsId;
        pNode->get_text(wsId);
        const std::string sId = Platform::ToUtf8(wsId);
        int32_t i = 0;
        auto [ptr, ec] = std::from_chars(sId.data(), sId.data() + sId.size(), i);
        if (ec == std::errc() && ptr == sId.data() + sId.size() && i > 0)
            ids.push_back(i);
    }
    return ids;
}

std::vector<BYTE> StorePush::EntryIdOf(IMAPIProp* pProp) {
    LPSPropValue pValue = nullptr;
    std::vector<BYTE> entryId;
    if (SUCCEEDED(HrGetOneProp(pProp, PR_ENTRYID, &pValue)))
        entryId.assign(pValue->Value.bin.lpb, pValue->Value.bin.lpb + pValue->Value.bin.cb);
    MAPIFreeBuffer(pValue);
    return entryId;
}

LONG StorePush::ServerIdOf(IMAPIProp* pProp) {
    return Ostrel::Mapi::OstrelMailItemBase(pProp).OstrelId();
}

}  // namespace OstrelCli
