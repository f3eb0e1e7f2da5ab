// The background renamer: after a tag is renamed, every item of the store that carries the old
// category gets the new one. The work is kept as pending-rename messages in the store, so a run that
// is cut short (the process ends) is finished by the next one.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/Com/ComPtr.h"
#include "Platform/Com/Unknown.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

inline constexpr wchar_t kTagRenameSearchFolder[] = L"Ostrel Tag Rename Search Folder";
inline constexpr DWORD kSearchCompleteTimeoutMs = 300000;

// Hears the search-complete notification of one search folder and lets a thread wait for it.
class SearchCompletion : public Platform::ComObject<IMAPIAdviseSink> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IMAPIAdviseSink, IUnknown>(riid, ppv);
    }
    ULONG OnNotify(ULONG cNotif, LPNOTIFICATION lpNotifications) override;

    void SetFolder(const std::string& sEntryId);
    // Forgets an earlier completion. Called before the search starts: a search may complete before
    // the call that starts it has returned, and a reset after that call would lose the completion.
    void Reset();
    void Signal();
    // True once the search completed, false after dwTimeoutMs on the clock in use.
    bool Wait(DWORD dwTimeoutMs);

private:
    std::mutex m_mutex;
    std::condition_variable_any m_cv;
    std::string m_sFolder;
    bool m_bDone = false;
};

// Resets the completion, starts the search and waits: MAPI_E_TIMEOUT when it does not complete.
HRESULT StartSearchAndWait(SearchCompletion& completion, const std::function<HRESULT()>& start, DWORD dwTimeoutMs);

class CKeywordsUpdater {
public:
    static CKeywordsUpdater& GetInstance();

    // Starts the renamer thread over the store's pending renames (once at a time).
    HRESULT Start(IMsgStore* pStore);
    // Asks the thread to stop between items and waits for it.
    void Stop();
    void WaitForShutdown();
    // Signalled whenever no renamer thread runs.
    bool IsShutDown();

    // One pass over the pending renames: 1 when one was handled and more may follow, 0 when done,
    // a failure HRESULT otherwise. Public so that a caller can run it on its own thread.
    HRESULT DoRenameCategories(IMsgStore* pStore);
    HRESULT DoProcessPendingPendingRenameMsg(IMsgStore* pStore, const SBinary& entryId);
    static HRESULT DoProcessTargetMessageKeywords(IMsgStore* pStore, const SBinary& entryId, ULONG ulKeywordsTag,
                                                  const std::wstring& wsOld, const std::wstring& wsNew);

    CKeywordsUpdater(const CKeywordsUpdater&) = delete;
    CKeywordsUpdater& operator=(const CKeywordsUpdater&) = delete;

private:
    CKeywordsUpdater() = default;
    ~CKeywordsUpdater();
    void RenamerThread(Platform::ComPtr<IMsgStore> pStore);
    bool StopRequested();

    std::mutex m_lock;  // the category processor lock
    std::mutex m_stateMutex;
    std::condition_variable m_shutdown;
    std::thread m_thread;
    bool m_bRunning = false;
    bool m_bStop = false;
};

}  // namespace Ostrel::Mapi
