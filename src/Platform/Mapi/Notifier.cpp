#include "Platform/Mapi/Notifier.h"

#include <cstring>
#include <vector>

#include "Platform/Mapi/MapiAlloc.h"

namespace Platform::Mapi {

Notifier::~Notifier() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

ULONG Notifier::Advise(const std::string& sEntryId, ULONG ulEventMask, IMAPIAdviseSink* pSink) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
    ULONG ulConnection = m_ulNextConnection++;
    m_sinks[ulConnection] = {sEntryId, ulEventMask, Platform::ComPtr<IMAPIAdviseSink>(pSink)};
    return ulConnection;
}

HRESULT Notifier::Unadvise(ULONG ulConnection) {
    Platform::ComPtr<IMAPIAdviseSink> pSink;  // released outside the lock
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sinks.find(ulConnection);
    if (it == m_sinks.end()) return MAPI_E_NOT_FOUND;
    pSink = std::move(it->second.pSink);
    m_sinks.erase(it);
    return S_OK;
}

void Notifier::Post(Event event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_sinks.empty()) return;
        m_queue.push_back(std::move(event));
        ++m_ullPosted;
    }
    m_cv.notify_all();
}

void Notifier::Flush() {
    std::unique_lock<std::mutex> lock(m_mutex);
    uint64_t target = m_ullPosted;
    m_cv.wait(lock, [&] { return m_ullDelivered >= target || m_bStop; });
}

void Notifier::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_cv.wait(lock, [&] { return m_bStop || !m_queue.empty(); });
        if (m_bStop) return;
        Event event = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        Deliver(event);
        lock.lock();
        ++m_ullDelivered;
        m_cv.notify_all();
    }
}

void Notifier::Deliver(const Event& event) {
    std::vector<Platform::ComPtr<IMAPIAdviseSink>> targets;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [conn, sink] : m_sinks) {
            if (!(sink.ulMask & event.ulEventType)) continue;
            if (!sink.sEntryId.empty() && sink.sEntryId != event.sEntryId && sink.sEntryId != event.sParentId) continue;
            targets.push_back(sink.pSink);
        }
    }
    if (targets.empty()) return;
    NOTIFICATION n;
    std::memset(&n, 0, sizeof n);
    n.ulEventType = event.ulEventType;
    std::string eid = event.sEntryId, parent = event.sParentId;
    std::string cls(reinterpret_cast<const char*>(event.wsMessageClass.c_str()),
                    (event.wsMessageClass.size() + 1) * sizeof(wchar_t));
    auto* pEid = reinterpret_cast<LPENTRYID>(eid.data());
    auto* pParent = reinterpret_cast<LPENTRYID>(parent.data());
    if (event.ulEventType == fnevNewMail) {
        n.info.newmail = {static_cast<ULONG>(eid.size()), pEid, static_cast<ULONG>(parent.size()), pParent,
                          MAPI_UNICODE, reinterpret_cast<LPTSTR>(cls.data()), event.ulMessageFlags};
    } else {
        n.info.obj.cbEntryID = static_cast<ULONG>(eid.size());
        n.info.obj.lpEntryID = pEid;
        n.info.obj.ulObjType = event.ulObjType;
        n.info.obj.cbParentID = static_cast<ULONG>(parent.size());
        n.info.obj.lpParentID = pParent;
    }
    for (auto& pSink : targets) pSink->OnNotify(1, &n);
}

}  // namespace Platform::Mapi
