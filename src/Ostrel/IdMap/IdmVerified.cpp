#include "Ostrel/IdMap/IdmVerified.h"

#include <atomic>
#include <mutex>

#include "Platform/Ipc/SharedSection.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

// Opened on first use and kept for the life of the process, like a shared data section of the
// library.
std::atomic<ULONG>* Flag() {
    static std::atomic<ULONG>* pFlag = [] {
        static Platform::SharedSection section;
        static std::atomic<ULONG> local{0};
        if (!section.Open(L".IDM_Ver", sizeof(ULONG))) {
            OSTLOG_ERROR(L"Cannot open the shared id mapper verification flag (errno %d)", errno);
            return &local;
        }
        return static_cast<std::atomic<ULONG>*>(section.Data());
    }();
    return pFlag;
}

}  // namespace

ULONG GetIdmVerified() {
    return Flag()->load();
}
void SetIdmVerified(ULONG ulValue) {
    Flag()->store(ulValue);
}

}  // namespace Ostrel::Mapi
