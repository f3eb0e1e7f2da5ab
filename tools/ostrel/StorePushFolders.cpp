// Folders made in the store go to the server. A creation asks the server to answer with the folder
// of that name when there is one already, so a creation repeated after an interruption adopts the
// folder the first attempt made instead of failing or making another.
#include "StorePush.h"

#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Requests/CreateFolder.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Store/NamedProps.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Ostrel/Store/StoreText.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

#include <map>
#include <optional>
#include <string_view>

namespace OstrelCli {

using Platform::ComPtr;

namespace {

std::wstring StringProp(IMAPIProp* pProp, ULONG ulTag) {
    LPSPropValue pValue = nullptr;
    std::wstring ws;
    if (SUCCEEDED(HrGetOneProp(pProp, ulTag, &pValue)) && pValue->Value.lpszW)
        ws = pValue->Value.lpszW;
    MAPIFreeBuffer(pValue);
    return ws;
}

bool IsLocalFolder(IMAPIProp* pFolder) {
    Ostrel::Mapi::NamedProps* pProps = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(pFolder);
    LPSPropValue pValue = nullptr;
    const bool bLocal =
        pProps &&
        SUCCEEDED(
            HrGetOneProp(pFolder, NAMED_PROP(Ostrel::Mapi::NamedProps::LOCAL_FOLDER, PT_BOOLEAN, pProps), &pValue)) &&
        pValue->Value.b;
    MAPIFreeBuffer(pValue);
    return bLocal;
}

// The kind of items a folder of that container class holds on the server; none for the classes
// the server has no folders for (notes, journal).
std::optional<Ostrel::Mail::MailItemType> KindOfClass(const std::wstring& wsClass) {
    using namespace Ostrel::Mail;
    if (wsClass.empty() || Ostrel::Mapi::EqualsNoCase(wsClass, L"IPF.Note"))
        return MIT_MESSAGE;
    if (Ostrel::Mapi::EqualsNoCase(wsClass, L"IPF.Contact"))
        return MIT_CONTACT;
    if (Ostrel::Mapi::EqualsNoCase(wsClass, L"IPF.Appointment"))
        return MIT_APPOINTMENT;
    if (Ostrel::Mapi::EqualsNoCase(wsClass, L"IPF.Task"))
        return MIT_TASK;
    return std::nullopt;
}

}  // namespace

void StorePush::PushFolders(IMAPIFolder* pParent, LONG lParentId, PushReport& report) {
    const std::vector<std::vector<BYTE>> children = Subfolders(pParent);
    const std::vector<BYTE> outbox = [&] {
        ComPtr<IMAPIFolder> pOutbox = SpecialFolder(PR_IPM_OUTBOX_ENTRYID);
        return pOutbox ? EntryIdOf(pOutbox.Get()) : std::vector<BYTE>();
    }();

    const std::map<std::vector<BYTE>, int32_t> special =
        lParentId == 1 ? SpecialFolderIds() : std::map<std::vector<BYTE>, int32_t>();
    std::vector<std::pair<ComPtr<IMAPIFolder>, LONG>> folders;
    for (const std::vector<BYTE>& entryId : children) {
        ComPtr<IMAPIFolder> pFolder = OpenFolder(entryId);
        if (!pFolder || entryId == outbox || IsLocalFolder(pFolder.Get()))
            continue;
        LONG lId = ServerIdOf(pFolder.Get());
        if (auto it = special.find(entryId); !lId && it != special.end())
            lId = it->second;
        folders.emplace_back(pFolder, lId);
    }

    for (auto& [pFolder, lId] : folders) {
        if (!lId) {
            // The folders the pull keeps for itself (conflicts, the address list) stay local.
            const std::wstring wsName = StringProp(pFolder.Get(), PR_DISPLAY_NAME_W);
            if (lParentId == 1 && (Ostrel::Mapi::EqualsNoCase(wsName, kSyncIssuesFolder) ||
                                   Ostrel::Mapi::EqualsNoCase(wsName, kGalFolder)))
                continue;
            if (!CreateFolder(lParentId, pFolder.Get(), report))
                continue;
            lId = ServerIdOf(pFolder.Get());
        } else if (lId >= kFirstUserFolderId) {
            PushFolderChange(pFolder.Get(), lId, lParentId, report);
        }
        PushFolders(pFolder.Get(), lId, report);
    }
}

std::map<std::vector<BYTE>, int32_t> StorePush::SpecialFolderIds() {
    std::map<std::vector<BYTE>, int32_t> special;
    for (int32_t iSystem : {kServerInbox, kServerTrash, kServerJunk, kServerSent, kServerDrafts, kServerContacts,
                            kServerCalendar, kServerTasks}) {
        ComPtr<IMAPIFolder> pSpecial;
        if (SUCCEEDED(m_mailbox.OpenFolder(iSystem, pSpecial.AddressOf())))
            special.emplace(EntryIdOf(pSpecial.Get()), iSystem);
    }
    return special;
}

bool StorePush::PushFolderChange(IMAPIFolder* pFolder, LONG lId, LONG lParentId, PushReport& report) {
    FolderBaseline before;
    if (!m_mailbox.Baseline().Read(pFolder, before))
        return true;
    const std::string sName = Platform::ToUtf8(StringProp(pFolder, PR_DISPLAY_NAME_W));
    const bool bRenamed = !sName.empty() && sName != before.sName;
    const bool bMoved = lParentId != before.iParent;
    if (!bRenamed && !bMoved)
        return true;
    using Ostrel::Rpc::ActionRequest;
    try {
        if (bMoved) {
            ActionRequest request(Ostrel::Mail::MIT_FOLDER, lId, ActionRequest::OP_MOVE, lParentId, nullptr);
            Send(request);
            ++report.cMoved;
        }
        if (bRenamed) {
            const std::wstring wsName = Platform::FromUtf8(sName);
            ActionRequest request(Ostrel::Mail::MIT_FOLDER, lId, ActionRequest::OP_RENAME, wsName.c_str());
            Send(request);
            ++report.cFolders;
        }
    } catch (const Ostrel::Rpc::RpcException& e) {
        // A name the server's folder of the same parent holds already, or a folder it deleted:
        // the store keeps the change and the next run tries again.
        OSTLOG_ERROR(L"Folder %d ('%hs') was not renamed or moved on the server: %ls", lId, sName.c_str(),
                     e.ExcepText() ? e.ExcepText() : L"");
        ++report.cFailed;
        return false;
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"Folder %d was not renamed or moved on the server: %hs", lId, e.what());
        ++report.cFailed;
        return false;
    }
    FolderBaseline after = before;
    after.iParent = lParentId;
    after.sName = sName;
    after.ftStamp = FILETIME{};
    HRESULT hr = m_mailbox.Baseline().Stamp(pFolder, after);
    if (SUCCEEDED(hr))
        hr = Ostrel::Mapi::WrapSaveChanges(pFolder, KEEP_OPEN_READWRITE, 1);
    if (FAILED(hr))
        OSTLOG_WARN(L"Folder %d was changed on the server but its baseline cannot be rewritten, hr: %x", lId,
                    static_cast<unsigned>(hr));
    return true;
}

bool StorePush::CreateFolder(LONG lParentId, IMAPIFolder* pFolder, PushReport& report) {
    const std::wstring wsName = StringProp(pFolder, PR_DISPLAY_NAME_W);
    const std::optional<Ostrel::Mail::MailItemType> kind = KindOfClass(StringProp(pFolder, PR_CONTAINER_CLASS_W));
    if (!kind || wsName.empty())
        return false;
    LONG lId = 0;
    try {
        Ostrel::Rpc::CreateFolderRequest request(wsName.c_str(), lParentId, *kind, nullptr, 1, 1);
        std::unique_ptr<Ostrel::Rpc::Response> pResponse = Send(request);
        auto* pCreated = dynamic_cast<Ostrel::Rpc::CreateFolderResponse*>(pResponse.get());
        lId = pCreated ? pCreated->FolderId() : 0;
    } catch (const Ostrel::Rpc::RpcException& e) {
        OSTLOG_ERROR(L"Folder '%ls' was not created on the server: %ls", wsName.c_str(),
                     e.ExcepText() ? e.ExcepText() : L"");
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"Folder '%ls' was not created on the server: %hs", wsName.c_str(), e.what());
    }
    if (lId <= 0) {
        ++report.cFailed;
        return false;
    }
    FolderBaseline baseline;
    baseline.iParent = lParentId;
    baseline.sName = Platform::ToUtf8(wsName);
    if (FAILED(m_mailbox.Baseline().Stamp(pFolder, baseline)) ||
        FAILED(Ostrel::Mapi::AddOstrelFolderId(pFolder, lId))) {
        OSTLOG_ERROR(L"Folder '%ls' was created on the server as %d but cannot be stamped", wsName.c_str(), lId);
        ++report.cFailed;
        return false;
    }
    m_items.Put(lId, pFolder, 0);
    ++report.cFolders;
    return true;
}

}  // namespace OstrelCli
