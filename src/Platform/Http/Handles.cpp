#include "Platform/Http/Internal.h"

#include <atomic>
#include <unordered_map>

namespace {

thread_local DWORD t_lastError = 0;

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<HINTERNET, std::shared_ptr<Platform::Http::Detail::Object>> objects;
    uintptr_t next = 0x1000;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable();  // lives to the end of the process
    return *table;
}

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD dwError) {
    t_lastError = dwError;
}

namespace Platform::Http::Detail {

HINTERNET RegisterHandle(std::shared_ptr<Object> object) {
    static std::once_flag curlInit;
    std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    // Handle values are never reused, so a stale handle cannot reach a newer object.
    HINTERNET h = reinterpret_cast<HINTERNET>(t.next);
    t.next += 8;
    object->handle = h;
    t.objects.emplace(h, std::move(object));
    return h;
}

std::shared_ptr<Object> LookupHandle(HINTERNET handle) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(handle);
    return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<Object> UnregisterHandle(HINTERNET handle) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(handle);
    if (it == t.objects.end())
        return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    t.objects.erase(it);
    return object;
}

void Notify(Request& r, DWORD status, void* info, DWORD length) {
    WINHTTP_STATUS_CALLBACK callback;
    DWORD_PTR context;
    {
        std::lock_guard<std::mutex> lock(r.optMutex);
        if (!r.callback || !(r.notifyFlags & status))
            return;
        callback = r.callback;
        context = r.context;
    }
    // What the callback does must not change the error the interrupted call reports.
    DWORD dwSavedError = GetLastError();
    callback(r.handle, context, status, info, length);
    SetLastError(dwSavedError);
}

}  // namespace Platform::Http::Detail
