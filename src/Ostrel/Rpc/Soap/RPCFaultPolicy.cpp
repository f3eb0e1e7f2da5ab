#include "Ostrel/Rpc/Soap/RPCFaultPolicy.h"

#include <atomic>

#include "Ostrel/Rpc/Soap/OfflineMode.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Host/Host.h"
#include "Platform/Ui/Ui.h"
#include "Util/Log/Diagnostics.h"
#include "Util/Log/Log.h"
#include "Util/Text/Localized.h"

namespace Ostrel::Rpc {

namespace {

constexpr DWORD kHeaderNotFound = 12150;
constexpr DWORD kInvalidServerResponse = 12152;
constexpr DWORD kSecureFailure = 12175;

std::atomic<bool> g_bResponseReceived{false};

// Throws a copy of the fault as T when it is one.
template <class T>
void ThrowIf(SoapFaultResponse* pFault) {
    if (auto* pTyped = dynamic_cast<T*>(pFault))
        throw T(*pTyped);
}

bool IsUnavailable(const std::wstring& wsValue) {
    static constexpr std::wstring_view kUnavailable = L"unavailable";
    if (wsValue.size() != kUnavailable.size())
        return false;
    for (size_t i = 0; i < wsValue.size(); ++i) {
        wchar_t c = wsValue[i];
        if (c >= L'A' && c <= L'Z')
            c += L'a' - L'A';
        if (c != kUnavailable[i])
            return false;
    }
    return true;
}

}  // namespace

bool CheckForErrorAndReAuthIfReqd(Response* pResponse, bool throwAll, IUserSessionAuth* pSession) {
    auto* pFault = dynamic_cast<SoapFaultResponse*>(pResponse);
    if (!pFault)
        return false;

    ThrowIf<AccountServiceException_MAINTENANCE_MODE>(pFault);
    ThrowIf<MailServiceException_MAINTENANCE>(pFault);
    ThrowIf<MailServiceException_ALREADY_EXISTS>(pFault);
    ThrowIf<ServiceException_PERM_DENIED>(pFault);
    ThrowIf<MailServiceException_MUST_RESYNC>(pFault);

    if (throwAll)
        throw SoapFaultResponse(*pFault);

    bool bExpired = dynamic_cast<ServiceException_AUTH_EXPIRED*>(pFault) != nullptr;
    bool bAuthFault = bExpired || dynamic_cast<AccountServiceException_AUTH_FAILED*>(pFault) ||
                      dynamic_cast<AccountServiceException_CHANGE_PASSWORD*>(pFault);
    if (!bAuthFault) {
        OSTLOG_WARN(L"the error (%s) can not be handled here.", pFault->ErrorCode());
        throw SoapFaultResponse(*pFault);
    }

    OSTLOG_INFO(1, L"soap response got exception, error code (%s)", pFault->ErrorCode());
    if (!pSession)
        return false;
    pSession->InvalidateAuthToken(bExpired ? 1 : 0);
    return true;
}

bool GetServiceFaultInfo(const HeaderReader& readHeader, std::wstring& wsCode, std::wstring& wsMessage) {
    wsCode.clear();
    wsMessage.clear();
    static constexpr const wchar_t* kHeaders[] = {L"X-Ostrel-Fault-Code", L"X-Ostrel-Fault-Message", L"DoSFilter"};
    std::wstring values[3];
    bool bPresent[3] = {false, false, false};
    for (int i = 0; i < 3; ++i) {
        DWORD dwError = readHeader(kHeaders[i], values[i]);
        if (dwError == kHeaderNotFound)
            continue;
        if (dwError != 0) {
            OSTLOG_ERROR(L"WinHttpQueryHeaders(%ls) returned %s", kHeaders[i],
                         Util::WinHTTPErrorToString(dwError).c_str());
            return false;
        }
        bPresent[i] = true;
    }
    if (bPresent[2] && IsUnavailable(values[2])) {
        wsCode = L"DoSFilter";
        wsMessage = values[2];
        return true;
    }
    if (bPresent[0] && bPresent[1]) {
        wsCode = values[0];
        wsMessage = values[1];
        return true;
    }
    return false;
}

void CheckHttpStatus(DWORD dwStatus, const char* pszFunction, int iLine, const IConnectionTrace* pConnection) {
    if (dwStatus > 500)
        throw NginxException(dwStatus, pszFunction, iLine, pConnection);
}

int IsSSLError(DWORD dwError, LONG requestNumber) {
    if ((dwError == kInvalidServerResponse || dwError == kSecureFailure) && !HasResponseBeenReceived()) {
        OSTLOG_INFO(1, L"[%d] first request, this is potentially an SSL mismatch.", static_cast<int>(requestNumber));
        return 1;
    }
    OSTLOG_INFO(4, L"[%d] is not an SSL mismatch code.", static_cast<int>(dwError));
    return 0;
}

void NoteResponseReceived() {
    g_bResponseReceived.store(true, std::memory_order_relaxed);
}

bool HasResponseBeenReceived() {
    return g_bResponseReceived.load(std::memory_order_relaxed);
}

void ResetResponseReceivedForTesting() {
    g_bResponseReceived.store(false, std::memory_order_relaxed);
}

HRESULT HandleConnectionFailure(HWND hwndOwner, const RpcException& e) {
    if (!e.IsSSLExcep() || Mapi::IsBESOSN())
        return S_FALSE;
    OSTLOG_INFO(1, L"Possible Connection type mismatch");
    if (Platform::Host::IsOffline()) {
        OSTLOG_INFO(1, L"Outlook is in offline mode. do not need to do anything else");
        return S_FALSE;
    }
    Platform::Ui::Current()->MessageBox(hwndOwner, Util::GetLocalizedString("MBOX_CONNSETMISMATCH"),
                                        Util::GetLocalizedString("MBOX_CAPTION_CONNSETMISMATCH"),
                                        MB_OK | MB_ICONEXCLAMATION);
    return Mapi::SwitchOutlookToOfflineMode(0);
}

}  // namespace Ostrel::Rpc
