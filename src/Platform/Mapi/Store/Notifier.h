// Advise sinks of one store within the process and the thread that calls them, so that a sink never
// runs inside the call that caused its event (as with MAPI, where notifications arrive later).
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"

namespace Platform::Mapi {

struct Event {
    ULONG ulEventType = 0;
    std::string sEntryId;  // the object (the search folder for fnevSearchComplete)
    std::string sParentId;
    ULONG ulObjType = 0;
    std::wstring wsMessageClass;  // fnevNewMail
    ULONG ulMessageFlags = 0;
};

class Notifier {
public:
    ~Notifier();

    // sEntryId empty: events of every object of the store.
    ULONG Advise(const std::string& sEntryId, ULONG ulEventMask, IMAPIAdviseSink* pSink);
    HRESULT Unadvise(ULONG ulConnection);
    void Post(Event event);
    // Waits until every event posted so far has been delivered.
    void Flush();

private:
    struct Sink {
        std::string sEntryId;
        ULONG ulMask;
        Platform::ComPtr<IMAPIAdviseSink> pSink;
    };
    // Shared with the thread, which may outlive the Notifier when a sink drops the last reference
    // to the store while it is being called.
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        std::map<ULONG, Sink> sinks;
        ULONG ulNextConnection = 1;
        std::deque<Event> queue;
        uint64_t ullPosted = 0;
        uint64_t ullDelivered = 0;
        bool bStop = false;
    };
    static void Run(std::shared_ptr<State> pState);
    static void Deliver(State& state, const Event& event);

    std::shared_ptr<State> m_pState = std::make_shared<State>();
    std::thread m_thread;
};

}  // namespace Platform::Mapi
