#include "Platform/Mapi/Store/Notifier.h"

#include <cstring>
#include <vector>

#include "Platform/Mapi/MapiAlloc.h"

namespace Platform::Mapi {

Notifier::~Notifier() {
    std::map<ULONG, Sink> sinks;  // released outside the lock
    {
        std::lock_guard<std::mutex> lock(m_pState->mutex);
        m_pState->bStop = true;
        sinks.swap(m_pState->sinks);
    }
    m_pState->cv.notify_all();
    if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else if (m_thread.joinable())
        m_thread.join();
}

ULONG Notifier::Advise(const std::string& sEntryId, ULONG ulEventMask, IMAPIAdviseSink* pSink) {
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    if (!m_thread.joinable())
        m_thread = std::thread(&Notifier::Run, m_pState);
    ULONG ulConnection = m_pState->ulNextConnection++;
    m_pState->sinks[ulConnection] = {sEntryId, ulEventMask, Platform::ComPtr<IMAPIAdviseSink>(pSink)};
    return ulConnection;
}

HRESULT Notifier::Unadvise(ULONG ulConnection) {
    Platform::ComPtr<IMAPIAdviseSink> pSink;  // released outside the lock
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    auto it = m_pState->sinks.find(ulConnection);
    if (it == m_pState->sinks.end())
        return MAPI_E_NOT_FOUND;
    pSink = std::move(it->second.pSink);
    m_pState->sinks.erase(it);
    return S_OK;
}

void Notifier::Post(Event event) {
    {
        std::lock_guard<std::mutex> lock(m_pState->mutex);
        if (m_pState->sinks.empty())
            return;
        m_pState->queue.push_back(std::move(event));
        ++m_pState->ullPosted;
    }
    m_pState->cv.notify_all();
}

void Notifier::Flush() {
    std::unique_lock<std::mutex> lock(m_pState->mutex);
    uint64_t target = m_pState->ullPosted;
    m_pState->cv.wait(lock, [&] { return m_pState->ullDelivered >= target || m_pState->bStop; });
}

void Notifier::Run(std::shared_ptr<State> pState) {
    std::unique_lock<std::mutex> lock(pState->mutex);
    while (true) {
        pState->cv.wait(lock, [&] { return pState->bStop || !pState->queue.empty(); });
        if (pState->bStop)
            return;
        Event event = std::move(pState->queue.front());
        pState->queue.pop_front();
        lock.unlock();
        Deliver(*pState, event);
        lock.lock();
        ++pState->ullDelivered;
        pState->cv.notify_all();
    }
}

void Notifier::Deliver(State& state, const Event& event) {
    std::vector<Platform::ComPtr<IMAPIAdviseSink>> targets;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        for (const auto& [conn, sink] : state.sinks) {
            if (!(sink.ulMask & event.ulEventType))
                continue;
            if (!sink.sEntryId.empty() && sink.sEntryId != event.sEntryId && sink.sEntryId != event.sParentId)
                continue;
            targets.push_back(sink.pSink);
        }
    }
    if (targets.empty())
        return;
    NOTIFICATION n;
    std::memset(&n, 0, sizeof n);
    n.ulEventType = event.ulEventType;
    std::string eid = event.sEntryId, parent = event.sParentId;
    std::wstring cls = event.wsMessageClass;
    auto* pEid = reinterpret_cast<LPENTRYID>(eid.data());
    auto* pParent = reinterpret_cast<LPENTRYID>(parent.data());
    if (event.ulEventType == fnevNewMail) {
        n.info.newmail = {static_cast<ULONG>(eid.size()),
                          pEid,
                          static_cast<ULONG>(parent.size()),
                          pParent,
                          MAPI_UNICODE,
                          cls.data(),
                          event.ulMessageFlags};
    } else {
        n.info.obj.cbEntryID = static_cast<ULONG>(eid.size());
        n.info.obj.lpEntryID = pEid;
        n.info.obj.ulObjType = event.ulObjType;
        n.info.obj.cbParentID = static_cast<ULONG>(parent.size());
        n.info.obj.lpParentID = pParent;
    }
    for (auto& pSink : targets)
        pSink->OnNotify(1, &n);
}

}  // namespace Platform::Mapi
