#include "Ostrel/Rpc/Transport/OstrelConnection.h"

#include <cwctype>

#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Base/Text.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

namespace {

struct ResponseDeleter {
    void operator()(Response* p) const { Response::Manager::DeleteResponse(p); }
};
using ResponsePtr = std::unique_ptr<Response, ResponseDeleter>;

}  // namespace

OstrelConnection::OstrelConnection(const wchar_t* pwszOwner, const wchar_t* pwszServer, DWORD dwPort, int useSSL,
                                   DWORD dwProxyMode, const wchar_t* pwszManualProxy, int async,
                                   const wchar_t* pwszProfileName)
    : m_wsDescription(std::wstring(L"OstrelConnection[") + (pwszOwner ? pwszOwner : L"") + L"]"),
      m_pConnection(
          std::make_unique<Connection>(pwszOwner, pwszServer, dwPort, useSSL, dwProxyMode, pwszManualProxy, async)) {
    m_wsProfileName = pwszProfileName && *pwszProfileName ? pwszProfileName : CurrentProfileName();
    m_dwRequestedPort = dwPort;
    m_pSession = FindSession(m_wsProfileName);
    m_pConnection->SetUserSession(m_pSession);
    ApplySessionPort();
    if (Mapi::IsBESOSN() && !Mapi::IsSingleUserBESOSN() && m_pSession && m_pSession->AdminPort()) {
        m_pAdminConnection = std::make_unique<AdminConnection>(pwszOwner, pwszServer, m_pSession->AdminPort(), 1,
                                                               dwProxyMode, pwszManualProxy, async);
        m_pAdminConnection->SetUserSession(m_pSession);
    }
}

OstrelConnection::~OstrelConnection() = default;

void OstrelConnection::ApplySessionPort() {
    // The connection started on the global profile's session port; it belongs to this profile's.
    DWORD dwSessionPort = m_pSession ? m_pSession->Port() : 0;
    DWORD dwPort = dwSessionPort ? dwSessionPort : m_dwRequestedPort;
    if (dwPort != m_pConnection->GetPort()) {
        m_pConnection->Disconnect();
        m_pConnection->SetPort(dwPort);
    }
}

Response* OstrelConnection::SendAndBuild(Request* pRequest, const char* pszFunction, int iLine) {
    IXMLDOMDocument2* pDocument = nullptr;
    m_pConnection->SendRequestSynchronous(pRequest, pDocument, pszFunction, iLine);
    Platform::ComPtr<IXMLDOMDocument2> document;
    document.Attach(pDocument);
    return Response::Manager::NewResponse(document.Get());
}

void OstrelConnection::SendRequestSynchronousOC(Request* pRequest, Response*& pResponse, const char* pszFunction,
                                                int iLine) {
    OSTLOG_BLOCK(4, 8192, m_wsDescription.c_str());
    pResponse = nullptr;
    int budget = kRenameBudget;
    for (;;) {
        try {
            ResponsePtr response(SendAndBuild(pRequest, pszFunction, iLine));
            if (Connection::CheckForErrorAndReAuthIfReqd(response.get(), false, m_pSession)) {
                response.reset();
                response.reset(SendAndBuild(pRequest, pszFunction, iLine));
                Connection::CheckForErrorAndReAuthIfReqd(response.get(), true, m_pSession);
            }
            pResponse = response.release();
            return;
        } catch (const MailServiceException_ALREADY_EXISTS&) {
            const wchar_t* pwszCallName = pRequest->CallName();
            bool bFixed = false;
            if (pwszCallName && (Platform::EqualsNoCase(pwszCallName, L"SaveDocumentRequest") ||
                                 Platform::EqualsNoCase(pwszCallName, L"ItemActionRequest"))) {
                auto* pFixUp = dynamic_cast<IDocumentNameFixUp*>(pRequest);
                bFixed = pFixUp && pFixUp->FixUpDocumentName();
            }
            if (!bFixed || budget == 0)
                throw;
            --budget;
            OSTLOG_INFO(4, L"%s: the document exists, sending again with a new name (%d renames left)",
                        pwszCallName ? pwszCallName : L"", budget);
        }
    }
}

void OstrelConnection::SendRequestAsyncOC(Request* pRequest, std::shared_ptr<AsyncStopEvent> pStop,
                                          ISequentialStream*& pStream, const char* pszFunction, int iLine) {
    m_pConnection->SendRequestAsynchronous(pRequest, std::move(pStop), pStream, pszFunction, iLine);
}

void OstrelConnection::DoGetSynchronousOC(const wchar_t* pwszUrl, const wchar_t* pwszHeaders, std::string& body,
                                          IStream*& pStream, bool& bIsStream, bool bConvertLineEnds,
                                          const char* pszFunction, int iLine) {
    Connection* pConnection = m_pAdminConnection ? m_pAdminConnection.get() : m_pConnection.get();
    pConnection->DoGetSynchronous(pwszUrl, pwszHeaders, body, pStream, bIsStream, bConvertLineEnds, pszFunction, iLine);
}

void OstrelConnection::SetConnTimeouts(DWORD dwConnectSeconds, DWORD dwSendSeconds, DWORD dwReceiveSeconds) {
    m_pConnection->SetConnTimeouts(dwConnectSeconds, dwSendSeconds, dwReceiveSeconds);
}

void OstrelConnection::SetCertTrustDlgAllowed(int allowed) {
    m_pConnection->SetCertTrustDlgAllowed(allowed);
    if (m_pAdminConnection)
        m_pAdminConnection->SetCertTrustDlgAllowed(allowed);
}

void OstrelConnection::SetAllowConnectEvenWhenOLOffline(bool bAllow) {
    m_pConnection->SetAllowConnectEvenWhenOLOffline(bAllow);
    if (m_pAdminConnection)
        m_pAdminConnection->SetAllowConnectEvenWhenOLOffline(bAllow);
}

void OstrelConnection::SetCurrentUser(const wchar_t* pwszUser) {
    m_pConnection->SetCurrentUser(pwszUser);
}

void OstrelConnection::SetShouldLogBody(bool bLog) {
    m_pConnection->SetShouldLogBody(bLog);
}

void OstrelConnection::SetProfileName(const wchar_t* pwszProfileName) {
    m_wsProfileName = pwszProfileName ? pwszProfileName : L"";
    m_pSession = FindSession(m_wsProfileName);
    m_pConnection->SetUserSession(m_pSession);
    ApplySessionPort();
    if (m_pAdminConnection)
        m_pAdminConnection->SetUserSession(m_pSession);
}

std::shared_ptr<Util::ProgressTask> OstrelConnection::CreateProgressTask(const wchar_t* pwszName) {
    return m_pConnection->CreateProgressTask(pwszName);
}

std::shared_ptr<Util::ProgressTask> OstrelConnection::GetProgressTask() const {
    return m_pConnection->GetProgressTask();
}

void OstrelConnection::ReleaseProgressTask() {
    m_pConnection->ReleaseProgressTask();
}

void OstrelConnection::SetSurrogateProgressTask(std::shared_ptr<Util::ProgressTask> pTask) {
    m_pConnection->SetSurrogateProgressTask(std::move(pTask));
}

}  // namespace Ostrel::Rpc
