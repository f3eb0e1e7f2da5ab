#include "Ostrel/Store/Categories/KeywordsUpdater.h"

#include <algorithm>
#include <vector>

#include "Ostrel/Store/Categories/CategoryList.h"
#include "Ostrel/Store/EntryId.h"
#include "Ostrel/Store/HostClient.h"
#include "Ostrel/Store/NamedProps.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Ostrel/Store/StoreText.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Util/IgnoreChanges.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

namespace {

constexpr LONG kBatch = 10;
// A pending rename whose message is gone is finished.
constexpr HRESULT kRenameGone = MAPI_E_COLLISION;

struct Buffer {
    LPSPropValue p = nullptr;
    ~Buffer() { MAPIFreeBuffer(p); }
};
struct Rows {
    LPSRowSet p = nullptr;
    ~Rows() { FreeProws(p); }
};

std::string Bytes(const SBinary& bin) {
    return std::string(reinterpret_cast<const char*>(bin.lpb), bin.cb);
}

IMAPIFolder* OpenFolderOfStoreProp(IMsgStore* pStore, ULONG ulTag) {
    CEntryID id(pStore, ulTag);
    IMAPIFolder* pFolder = nullptr;
    ULONG ulType = 0;
    if (id.IsEmpty() || FAILED(pStore->OpenEntry(id.Size(), id.Get(), &IID_IMAPIFolder, MAPI_MODIFY, &ulType,
                                                 reinterpret_cast<LPUNKNOWN*>(&pFolder))))
        return nullptr;
    return pFolder;
}

// The store a pending rename names: the one being worked on, else one the session opens.
HRESULT OpenTargetStore(IMsgStore* pStore, const SBinary& storeId, Platform::ComPtr<IMsgStore>& pTarget) {
    CEntryID own(pStore, PR_STORE_ENTRYID);
    ULONG ulSame = 0;
    if (!own.IsEmpty() &&
        SUCCEEDED(pStore->CompareEntryIDs(own.Size(), own.Get(), storeId.cb, reinterpret_cast<LPENTRYID>(storeId.lpb),
                                          0, &ulSame)) &&
        ulSame) {
        pTarget = Platform::ComPtr<IMsgStore>(pStore);
        return S_OK;
    }
    Platform::ComPtr<IMAPISession> pSession;
    if (FAILED(GetGlobalMAPISession(pSession)) || !pSession)
        return E_FAIL;
    HRESULT hr = pSession->OpenMsgStore(0, storeId.cb, reinterpret_cast<LPENTRYID>(storeId.lpb), &IID_IMsgStore,
                                        MAPI_BEST_ACCESS, pTarget.AddressOf());
    return FAILED(hr) ? MAPI_E_INVALID_ENTRYID : S_OK;
}

}  // namespace

ULONG SearchCompletion::OnNotify(ULONG cNotif, LPNOTIFICATION lpNotifications) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (ULONG i = 0; i < cNotif; ++i) {
        const NOTIFICATION& n = lpNotifications[i];
        if (n.ulEventType == fnevSearchComplete &&
            (m_sFolder.empty() ||
             std::string(reinterpret_cast<const char*>(n.info.obj.lpEntryID), n.info.obj.cbEntryID) == m_sFolder))
            m_bDone = true;
    }
    m_cv.notify_all();
    return 0;
}

void SearchCompletion::SetFolder(const std::string& sEntryId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sFolder = sEntryId;
}

void SearchCompletion::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bDone = false;
}

void SearchCompletion::Signal() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bDone = true;
    m_cv.notify_all();
}

bool SearchCompletion::Wait(DWORD dwTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return Util::CurrentClock().WaitFor(m_cv, lock, dwTimeoutMs, [this] { return m_bDone; });
}

HRESULT StartSearchAndWait(SearchCompletion& completion, const std::function<HRESULT()>& start, DWORD dwTimeoutMs) {
    completion.Reset();
    HRESULT hr = start();
    if (FAILED(hr))
        return hr;
    return completion.Wait(dwTimeoutMs) ? S_OK : MAPI_E_TIMEOUT;
}

CKeywordsUpdater& CKeywordsUpdater::GetInstance() {
    static CKeywordsUpdater* pInstance = new CKeywordsUpdater;  // lives as long as the process
    return *pInstance;
}

CKeywordsUpdater::~CKeywordsUpdater() {
    Stop();
}

HRESULT CKeywordsUpdater::Start(IMsgStore* pStore) {
    if (!pStore)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(m_lock);
    OSTLOG_INFO(16, L"got category processor lock");
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        if (m_bRunning)
            return S_FALSE;
        if (m_thread.joinable())
            m_thread.join();
        m_bRunning = true;
        m_bStop = false;
    }
    m_thread = std::thread(&CKeywordsUpdater::RenamerThread, this, Platform::ComPtr<IMsgStore>(pStore));
    return S_OK;
}

void CKeywordsUpdater::Stop() {
    std::lock_guard<std::mutex> guard(m_lock);
    {
        std::lock_guard<std::mutex> state(m_stateMutex);
        m_bStop = true;
    }
    if (m_thread.joinable())
        m_thread.join();
}

void CKeywordsUpdater::WaitForShutdown() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::unique_lock<std::mutex> state(m_stateMutex);
    m_shutdown.wait(state, [this] { return !m_bRunning; });
    state.unlock();
    if (m_thread.joinable())
        m_thread.join();
}

bool CKeywordsUpdater::IsShutDown() {
    std::lock_guard<std::mutex> state(m_stateMutex);
    return !m_bRunning;
}

bool CKeywordsUpdater::StopRequested() {
    std::lock_guard<std::mutex> state(m_stateMutex);
    return m_bStop;
}

void CKeywordsUpdater::RenamerThread(Platform::ComPtr<IMsgStore> pStore) {
    Util::g_logger.SetThreadName(L"KEYWUPDR");
    while (!StopRequested() && DoRenameCategories(pStore.Get()) == 1) {
    }
    pStore.Reset();
    std::lock_guard<std::mutex> state(m_stateMutex);
    m_bRunning = false;
    m_shutdown.notify_all();
}

HRESULT CKeywordsUpdater::DoRenameCategories(IMsgStore* pStore) {
    Platform::ComPtr<IMAPIFolder> pRoot;
    pRoot.Attach(GetRootFolder(pStore));
    if (!pRoot)
        return MAPI_E_NOT_FOUND;
    CEntryID calendarId(pRoot.Get(), PR_IPM_APPOINTMENT_ENTRYID);
    Platform::ComPtr<IMAPIFolder> pCalendar;
    ULONG ulType = 0;
    HRESULT hr = calendarId.IsEmpty()
                     ? MAPI_E_NOT_FOUND
                     : pStore->OpenEntry(calendarId.Size(), calendarId.Get(), &IID_IMAPIFolder, MAPI_MODIFY, &ulType,
                                         reinterpret_cast<LPUNKNOWN*>(pCalendar.AddressOf()));
    Platform::ComPtr<IMAPITable> pTable;
    if (SUCCEEDED(hr))
        hr = pCalendar->GetContentsTable(MAPI_ASSOCIATED | MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    SPropValue cls{};
    cls.ulPropTag = PR_MESSAGE_CLASS_W;
    cls.Value.lpszW = const_cast<wchar_t*>(kPendingRenameClass);
    SRestriction res{};
    res.rt = RES_CONTENT;
    res.res.resContent = {FL_FULLSTRING | FL_IGNORECASE, PR_MESSAGE_CLASS_W, &cls};
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    if (FAILED(hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0)) ||
        FAILED(hr = pTable->Restrict(&res, 0)))
        return hr;
    std::vector<std::string> pending;
    for (;;) {
        Rows rows;
        if (FAILED(hr = pTable->QueryRows(kBatch, 0, &rows.p)))
            return hr;
        if (rows.p->cRows == 0)
            break;
        for (ULONG i = 0; i < rows.p->cRows; ++i)
            if (rows.p->aRow[i].lpProps[0].ulPropTag == PR_ENTRYID)
                pending.push_back(Bytes(rows.p->aRow[i].lpProps[0].Value.bin));
    }
    bool bHandled = false;
    for (std::string& sId : pending) {
        if (StopRequested())
            return 0;
        SBinary bin{static_cast<ULONG>(sId.size()), reinterpret_cast<LPBYTE>(sId.data())};
        hr = DoProcessPendingPendingRenameMsg(pStore, bin);
        if (SUCCEEDED(hr) || hr == kRenameGone) {
            ENTRYLIST list{1, &bin};
            Util::IgnoreChangesSection ignore;
            pCalendar->DeleteMessages(&list, 0, nullptr, 0);
            bHandled = true;
        } else {
            OSTLOG_ERROR(L"pending category rename failed, kept for the next run. Error 0x%x", hr);
        }
    }
    // A rename that finished may have been followed by another one recorded meanwhile.
    return bHandled ? 1 : 0;
}

HRESULT CKeywordsUpdater::DoProcessPendingPendingRenameMsg(IMsgStore* pStore, const SBinary& entryId) {
    Platform::ComPtr<IMessage> pMessage;
    ULONG ulType = 0;
    HRESULT hr = pStore->OpenEntry(entryId.cb, reinterpret_cast<LPENTRYID>(entryId.lpb), &IID_IMessage, 0, &ulType,
                                   reinterpret_cast<LPUNKNOWN*>(pMessage.AddressOf()));
    if (hr == MAPI_E_NOT_FOUND)
        return kRenameGone;
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(3, tags) = {
        3, {PR_CONVERSATION_TOPIC_W, PR_PENDING_RENAME_NEW_NAME_W, PR_PENDING_RENAME_STORE_EID}};
    ULONG cValues = 0;
    Buffer values;
    hr = pMessage->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &values.p);
    if (FAILED(hr) || cValues != 3 || values.p[0].ulPropTag != PR_CONVERSATION_TOPIC_W ||
        values.p[1].ulPropTag != PR_PENDING_RENAME_NEW_NAME_W || values.p[2].ulPropTag != PR_PENDING_RENAME_STORE_EID)
        return MAPI_E_INVALID_ENTRYID;
    const std::wstring wsOld = values.p[0].Value.lpszW, wsNew = values.p[1].Value.lpszW;
    Platform::ComPtr<IMsgStore> pTarget;
    if (FAILED(hr = OpenTargetStore(pStore, values.p[2].Value.bin, pTarget)))
        return hr;

    Platform::ComPtr<IMAPIFolder> pFinder;
    pFinder.Attach(OpenFolderOfStoreProp(pTarget.Get(), PR_FINDER_ENTRYID));
    CEntryID scopeId(pTarget.Get(), PR_IPM_SUBTREE_ENTRYID);
    if (!pFinder || scopeId.IsEmpty())
        return MAPI_E_NOT_FOUND;
    Platform::ComPtr<IMAPIFolder> pSearch;
    if (FAILED(hr = pFinder->CreateFolder(FOLDER_SEARCH, (LPTSTR)kTagRenameSearchFolder, nullptr, nullptr,
                                          MAPI_UNICODE | OPEN_IF_EXISTS, pSearch.AddressOf())))
        return hr;
    NamedProps* pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pTarget.Get());
    const ULONG ulKeywords = NAMED_PROP(NamedProps::KEYWORDS, PT_MV_UNICODE, pNamedProps);
    if (!pNamedProps)
        return MAPI_E_NOT_FOUND;

    SPropValue oldName{};
    oldName.ulPropTag = CHANGE_PROP_TYPE(ulKeywords, PT_UNICODE);
    oldName.Value.lpszW = const_cast<wchar_t*>(wsOld.c_str());
    SRestriction res{};
    res.rt = RES_CONTENT;
    res.res.resContent = {FL_FULLSTRING | FL_IGNORECASE, ulKeywords, &oldName};
    SBinary scope = scopeId.Bin();
    ENTRYLIST scopeList{1, &scope};
    CEntryID searchId(pSearch.Get());

    Platform::ComPtr<SearchCompletion> pCompletion;
    pCompletion.Attach(new SearchCompletion);
    pCompletion->SetFolder(Bytes(searchId.Bin()));
    ULONG ulConnection = 0;
    if (FAILED(hr = pTarget->Advise(searchId.Size(), searchId.Get(), fnevSearchComplete, pCompletion.Get(),
                                    &ulConnection)))
        return hr;
    hr = StartSearchAndWait(
        *pCompletion,
        [&] {
            return pSearch->SetSearchCriteria(&res, &scopeList, RESTART_SEARCH | RECURSIVE_SEARCH | BACKGROUND_SEARCH);
        },
        kSearchCompleteTimeoutMs);

    std::vector<std::string> items;
    Platform::ComPtr<IMAPITable> pTable;
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    if (SUCCEEDED(hr) && SUCCEEDED(hr = pSearch->GetContentsTable(0, pTable.AddressOf())) &&
        SUCCEEDED(hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0))) {
        // The ids are read before any item changes, as a renamed item leaves the results.
        for (;;) {
            Rows rows;
            if (FAILED(hr = pTable->QueryRows(kBatch, 0, &rows.p)) || rows.p->cRows == 0)
                break;
            for (ULONG i = 0; i < rows.p->cRows; ++i)
                if (rows.p->aRow[i].lpProps[0].ulPropTag == PR_ENTRYID)
                    items.push_back(Bytes(rows.p->aRow[i].lpProps[0].Value.bin));
        }
    }
    pTable.Reset();
    HRESULT hrItems = S_OK;
    for (size_t i = 0; SUCCEEDED(hr) && i < items.size(); ++i) {
        if (StopRequested()) {
            hr = MAPI_E_USER_CANCEL;
            break;
        }
        SBinary bin{static_cast<ULONG>(items[i].size()), reinterpret_cast<LPBYTE>(items[i].data())};
        HRESULT hrItem = DoProcessTargetMessageKeywords(pTarget.Get(), bin, ulKeywords, wsOld, wsNew);
        if (FAILED(hrItem) && hrItem != MAPI_E_NOT_FOUND)
            hrItems = hrItem;
    }
    pTarget->Unadvise(ulConnection);
    WrapDeleteFolder(pFinder.Get(), searchId.Size(), searchId.Get(), 0, nullptr, DEL_FOLDERS | DEL_MESSAGES);
    if (hr == MAPI_E_TIMEOUT)
        OSTLOG_ERROR(L"search for category '%s' did not complete", wsOld.c_str());
    return FAILED(hr) ? hr : hrItems;
}

HRESULT CKeywordsUpdater::DoProcessTargetMessageKeywords(IMsgStore* pStore, const SBinary& entryId, ULONG ulKeywordsTag,
                                                         const std::wstring& wsOld, const std::wstring& wsNew) {
    Platform::ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    HRESULT hr = pStore->OpenEntry(entryId.cb, reinterpret_cast<LPENTRYID>(entryId.lpb), &IID_IMessage, MAPI_MODIFY,
                                   &ulType, pUnk.AddressOf());
    if (FAILED(hr))
        return hr;
    if (ulType != MAPI_MESSAGE)
        return MAPI_E_INVALID_ENTRYID;
    auto* pMessage = static_cast<IMessage*>(pUnk.Get());
    Buffer value;
    if (FAILED(hr = HrGetOneProp(pMessage, ulKeywordsTag, &value.p)))
        return hr == MAPI_E_NOT_FOUND ? S_OK : hr;
    std::vector<std::wstring> keywords;
    for (ULONG i = 0; i < value.p->Value.MVszW.cValues; ++i)
        keywords.emplace_back(value.p->Value.MVszW.lppszW[i] ? value.p->Value.MVszW.lppszW[i] : L"");
    auto it =
        std::find_if(keywords.begin(), keywords.end(), [&](const std::wstring& ws) { return EqualsNoCase(ws, wsOld); });
    if (it == keywords.end())
        return S_OK;
    // An item that has the new name already keeps one of it.
    if (std::find(keywords.begin(), keywords.end(), wsNew) != keywords.end())
        keywords.erase(it);
    else
        *it = wsNew;
    std::vector<wchar_t*> pointers;
    for (std::wstring& ws : keywords)
        pointers.push_back(ws.data());
    SPropValue out{};
    out.ulPropTag = ulKeywordsTag;
    out.Value.MVszW.cValues = static_cast<ULONG>(pointers.size());
    out.Value.MVszW.lppszW = pointers.data();
    Util::IgnoreChangesSection ignore;
    if (keywords.empty()) {
        SizedSPropTagArray(1, tags) = {1, {ulKeywordsTag}};
        hr = pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), nullptr);
    } else {
        hr = pMessage->SetProps(1, &out, nullptr);
    }
    if (SUCCEEDED(hr))
        hr = pMessage->SaveChanges(0);
    return hr;
}

}  // namespace Ostrel::Mapi
