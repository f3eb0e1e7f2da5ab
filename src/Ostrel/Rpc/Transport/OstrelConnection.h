// OstrelConnection: the facade the rest of the system sends SOAP calls through. It owns a
// connection (and, in the multi-user handheld-server edition, an admin connection), knows the
// profile and its user session, re-authenticates when the server says the token is no longer
// good, and renames documents that already exist.
#pragma once

#include <memory>
#include <string>

#include "Ostrel/Rpc/Transport/Connection.h"

namespace Ostrel::Rpc {

// A request whose document name can be changed when the server says it already exists
// (SaveDocumentRequest, and ActionRequest for ItemActionRequest). True when a new name was set.
class IDocumentNameFixUp {
public:
    virtual bool FixUpDocumentName() = 0;

protected:
    ~IDocumentNameFixUp() = default;
};

// How often a document is renamed and sent again after "mail.ALREADY_EXISTS".
constexpr int kRenameBudget = 15;

class OstrelConnection {
public:
    // The profile is the current one when none is given.
    OstrelConnection(const wchar_t* pwszOwner, const wchar_t* pwszServer, DWORD dwPort, int useSSL, DWORD dwProxyMode,
                     const wchar_t* pwszManualProxy, int async, const wchar_t* pwszProfileName = nullptr);
    ~OstrelConnection();
    OstrelConnection(const OstrelConnection&) = delete;
    OstrelConnection& operator=(const OstrelConnection&) = delete;

    // One SOAP call: the typed response (owned by the caller), with one silent re-authentication
    // for an expired or rejected token; faults are thrown as their classes.
    void SendRequestSynchronousOC(Request* pRequest, Response*& pResponse, const char* pszFunction, int iLine);
    // The asynchronous form: the answer arrives through the stream.
    void SendRequestAsyncOC(Request* pRequest, std::shared_ptr<AsyncStopEvent> pStop, ISequentialStream*& pStream,
                            const char* pszFunction, int iLine);
    // A download on the admin connection when there is one, else on the connection.
    void DoGetSynchronousOC(const wchar_t* pwszUrl, const wchar_t* pwszHeaders, std::string& body, IStream*& pStream,
                            bool& bIsStream, bool bConvertLineEnds, const char* pszFunction, int iLine);

    void SetConnTimeouts(DWORD dwConnectSeconds, DWORD dwSendSeconds, DWORD dwReceiveSeconds);
    void SetCertTrustDlgAllowed(int allowed);
    void SetAllowConnectEvenWhenOLOffline(bool bAllow);
    void SetCurrentUser(const wchar_t* pwszUser);
    void SetShouldLogBody(bool bLog);
    void SetProfileName(const wchar_t* pwszProfileName);
    const std::wstring& GetProfileName() const { return m_wsProfileName; }
    const std::wstring& GetServer() const { return m_pConnection->GetServer(); }
    bool IsAsynchronous() const { return m_pConnection->IsAsynchronous(); }
    const std::wstring& GetDescription() const { return m_wsDescription; }

    std::shared_ptr<Util::ProgressTask> CreateProgressTask(const wchar_t* pwszName);
    std::shared_ptr<Util::ProgressTask> GetProgressTask() const;
    void ReleaseProgressTask();
    void SetSurrogateProgressTask(std::shared_ptr<Util::ProgressTask> pTask);

    Connection* GetConnection() const { return m_pConnection.get(); }
    AdminConnection* GetAdminConnection() const { return m_pAdminConnection.get(); }
    IConnectionSession* GetUserSession() const { return m_pSession; }

private:
    Response* SendAndBuild(Request* pRequest, const char* pszFunction, int iLine);
    // The port of this profile's session when it has one, else the port given at construction.
    void ApplySessionPort();

    std::wstring m_wsDescription;
    std::unique_ptr<Connection> m_pConnection;
    std::unique_ptr<AdminConnection> m_pAdminConnection;
    IConnectionSession* m_pSession = nullptr;
    std::wstring m_wsProfileName;
    DWORD m_dwRequestedPort = 0;
};

}  // namespace Ostrel::Rpc
