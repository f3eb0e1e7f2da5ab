#include "Ostrel/Rpc/Requests/SyncRequest.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Rpc {

SyncRequest::SyncRequest(const wchar_t* pwszToken, LONG folderId, ULONG calendarCutoffDays)
    : ItemRequestBase(L"SyncRequest") {
    constexpr int64_t kMillisecondsPerDay = 86400000;
    CreateBody(L"SyncRequest", Soap::kNsMail);
    if (pwszToken)
        SetAttr(Body(), L"token", pwszToken);
    if (folderId > 0)
        SetAttr(Body(), L"l", std::to_wstring(folderId));
    if (calendarCutoffDays) {
        // Whole seconds: the server compares with its own second-precision times.
        int64_t llNowMs = Util::CurrentClock().GetUnixTime() * 1000;
        int64_t llCutoff =
            llNowMs - static_cast<int64_t>(static_cast<uint32_t>(calendarCutoffDays)) * kMillisecondsPerDay;
        SetAttr(Body(), L"calCutoff", std::to_wstring(llCutoff));
    }
}

}  // namespace Ostrel::Rpc
