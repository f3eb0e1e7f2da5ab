#include "Platform/Host/Host.h"

#include "Platform/Base/Utf.h"

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace Platform::Host {

namespace {

struct State {
    Version version;
    bool bOffline = false;
    bool bEmbedded = false;
    int iApplicationType = kApplicationClient;
    bool bHandheldAgent = false;
    HWND hwndClient = nullptr;
    std::function<HRESULT(bool)> offlineSwitcher;
    std::function<void(HWND)> closeHandler;
    bool bTestOptionsLoaded = false;
    std::set<std::wstring> testOptions;
};

std::mutex g_mutex;
State& Current() {
    static State state;
    return state;
}

using OnlineObserver = std::function<void(bool)>;

// Under g_mutex; never reset, so that the library's registration outlives ResetToDefaults.
struct Observers {
    int iNext = 1;
    std::map<int, std::shared_ptr<OnlineObserver>> map;
};
Observers& TheObservers() {
    static Observers observers;
    return observers;
}

std::vector<std::shared_ptr<OnlineObserver>> ObserversLocked() {
    std::vector<std::shared_ptr<OnlineObserver>> list;
    for (auto& [handle, observer] : TheObservers().map)
        list.push_back(observer);
    return list;
}

void Report(const std::vector<std::shared_ptr<OnlineObserver>>& observers, bool bOnline) {
    for (auto& observer : observers)
        (*observer)(bOnline);
}

void LoadTestOptions(State& state) {
    if (state.bTestOptionsLoaded)
        return;
    state.bTestOptionsLoaded = true;
    const char* env = std::getenv("OSTREL_TEST_OPTIONS");
    if (!env)
        return;
    std::wstring list = FromUtf8(env);
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find_first_of(L", \t", start);
        if (end == std::wstring::npos)
            end = list.size();
        if (end > start)
            state.testOptions.insert(list.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

Version GetClientVersion() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return Current().version;
}

void SetClientVersion(int iMajor, int iMinor) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Current().version = Version{iMajor, iMinor};
}

bool IsOffline() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return Current().bOffline;
}

void SetOffline(bool bOffline) {
    std::vector<std::shared_ptr<OnlineObserver>> observers;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        Current().bOffline = bOffline;
        observers = ObserversLocked();
    }
    Report(observers, !bOffline);
}

int AddOnlineObserver(std::function<void(bool bOnline)> observer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Observers& observers = TheObservers();
    int iHandle = observers.iNext++;
    observers.map[iHandle] = std::make_shared<OnlineObserver>(std::move(observer));
    return iHandle;
}

void RemoveOnlineObserver(int iHandle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    TheObservers().map.erase(iHandle);
}

void SetOfflineSwitcher(std::function<HRESULT(bool)> switcher) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Current().offlineSwitcher = std::move(switcher);
}

HRESULT SwitchToOffline(bool bWait) {
    std::function<HRESULT(bool)> switcher;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        switcher = Current().offlineSwitcher;
    }
    if (!switcher) {
        SetOffline(true);
        return S_OK;
    }
    return switcher(bWait);  // called unlocked: it will usually call SetOffline
}

bool IsEmbedded() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return Current().bEmbedded;
}

void SetEmbedded(bool bEmbedded) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Current().bEmbedded = bEmbedded;
}

int GetApplicationType() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return Current().iApplicationType;
}

void SetApplicationType(int iType) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Current().iApplicationType = iType;
}

bool IsHandheldServerAgent() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return Current().bHandheldAgent;
}

void SetHandheldServerAgent(bool bAgent) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Current().bHandheldAgent = bAgent;
}

HWND GetClientWindow() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return Current().hwndClient;
}

void SetClientWindow(HWND hwnd) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Current().hwndClient = hwnd;
}

void SetCloseRequestHandler(std::function<void(HWND)> handler) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Current().closeHandler = std::move(handler);
}

bool RequestClose(HWND hwnd) {
    std::function<void(HWND)> handler;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        handler = Current().closeHandler;
        if (!hwnd)
            hwnd = Current().hwndClient;
    }
    if (!handler)
        return false;
    handler(hwnd);
    return true;
}

bool IsTesting(std::wstring_view wsName) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State& state = Current();
    LoadTestOptions(state);
    return state.testOptions.count(std::wstring(wsName)) > 0;
}

void SetTestOption(std::wstring_view wsName, bool bOn) {
    std::lock_guard<std::mutex> lock(g_mutex);
    State& state = Current();
    LoadTestOptions(state);
    if (bOn)
        state.testOptions.insert(std::wstring(wsName));
    else
        state.testOptions.erase(std::wstring(wsName));
}

void TestModeTerminate(std::wstring_view wsName, int iExitCode) {
    if (IsTesting(wsName))
        ::_exit(iExitCode);
}

void ResetToDefaults() {
    std::vector<std::shared_ptr<OnlineObserver>> observers;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        Current() = State();
        observers = ObserversLocked();
    }
    Report(observers, true);
}

}  // namespace Platform::Host
