// Shared set-up of the session tests: a fresh home, the simulator with one account, scripted
// dialogs, a security provider double for single sign-on, and helpers to read what the server got.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Ostrel/Rpc/Session/UserSession.h"
#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Platform/Host/Host.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Sspi/Sspi.h"
#include "Platform/Ui/ScriptedUi.h"
#include "Support/Files.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Server.h"

namespace SessionTest {

using namespace Ostrel::Rpc;

constexpr const char* kUser = "user@example.test";
constexpr const wchar_t* kUserW = L"user@example.test";
constexpr const char* kPassword = "Secret-Pässword-42";
constexpr const wchar_t* kPasswordW = L"Secret-Pässword-42";

// A security provider: either no domain at all, or a user signed on to a realm whose Negotiate
// token is `token`. Records the service principal and the handles still open.
class FakeSecurity : public Platform::Sspi::ISecurityProvider {
public:
    bool GetDomainUser(std::wstring& wsPrincipal, std::wstring& wsRealm) override {
        if (principal.empty())
            return false;
        wsPrincipal = principal;
        wsRealm = realm;
        return true;
    }
    Platform::Sspi::SECURITY_STATUS EnumerateSecurityPackages(std::vector<std::wstring>& packages) override {
        packages = {L"Kerberos", L"Negotiate"};
        return Platform::Sspi::SEC_E_OK;
    }
    Platform::Sspi::SECURITY_STATUS AcquireCredentialsHandle(const std::wstring&,
                                                             Platform::Sspi::CredHandle* ph) override {
        ph->ullId = ++openHandles;
        return Platform::Sspi::SEC_E_OK;
    }
    Platform::Sspi::SECURITY_STATUS InitializeSecurityContext(const Platform::Sspi::CredHandle&,
                                                              const std::wstring& wsTarget,
                                                              Platform::Sspi::CtxtHandle* ph,
                                                              std::vector<BYTE>& out) override {
        spn = wsTarget;
        ph->ullId = ++openHandles;
        out.assign(token.begin(), token.end());
        return Platform::Sspi::SEC_I_CONTINUE_NEEDED;
    }
    Platform::Sspi::SECURITY_STATUS DeleteSecurityContext(Platform::Sspi::CtxtHandle*) override {
        --openHandles;
        return Platform::Sspi::SEC_E_OK;
    }
    Platform::Sspi::SECURITY_STATUS FreeCredentialsHandle(Platform::Sspi::CredHandle*) override {
        --openHandles;
        return Platform::Sspi::SEC_E_OK;
    }
    std::wstring LastErrorText() override { return L""; }

    std::wstring principal;
    std::wstring realm = L"EXAMPLE.TEST";
    std::string token = "fake-spnego-token";
    std::wstring spn;
    int openHandles = 0;
};

class SessionFixture : public ::testing::Test {
protected:
    void SetUp() override {
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
        Platform::Host::ResetToDefaults();
        ui = std::make_shared<Platform::Ui::ScriptedUi>();
        Platform::Ui::SetCurrent(ui);
        security = std::make_shared<FakeSecurity>();
        Platform::Sspi::SetCurrent(security);
        UserSession::SetUIFlag(1);
        ConnectionMgr::Get().NotifyOnlineOfflineTransition(1);
        server = std::make_unique<OstrelServer::Server>();
        server->Start();
        OstrelServer::Account account{kUser, kPassword};
        Book().Add(account);
    }
    void TearDown() override {
        UserSession::ReleaseSharedSessions();
        UserSession::SetGlobalProfileName(nullptr);
        UserSession::SetUIFlag(0);
        Platform::Sspi::SetCurrent(nullptr);
        Platform::Ui::SetCurrent(nullptr);
        Platform::Host::ResetToDefaults();
        ConnectionMgr::Get().NotifyOnlineOfflineTransition(1);
        server.reset();
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    }

    OstrelServer::AccountBook& Book() { return server->State<OstrelServer::AccountBook>(); }

    LogonParams Params(const std::wstring& wsPassword = kPasswordW, const std::wstring& wsAccount = kUserW) const {
        LogonParams params;
        params.wsAccount = wsAccount;
        params.wsPassword = wsPassword;
        params.wsServer = L"127.0.0.1";
        params.dwPort = static_cast<DWORD>(server->Port());
        return params;
    }

    std::shared_ptr<UserSession> Create(const LogonParams& params, const wchar_t* pwszProfile = L"Profile") {
        return UserSession::CreateInstance(pwszProfile, params);
    }

    // The requests the server got with this call name (or HTTP path), in order.
    std::vector<OstrelServer::RecordedRequest> Sent(const std::string& name) const {
        std::vector<OstrelServer::RecordedRequest> found;
        for (auto& request : server->Requests())
            if (request.callName == name || (request.callName.empty() && request.path == name))
                found.push_back(request);
        return found;
    }

    static void SetSetting(HKEY hRoot, const wchar_t* pwszName, DWORD dwValue) {
        HKEY hKey = nullptr;
        ASSERT_EQ(RegCreateKeyExW(hRoot, L"Software\\Ostrel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(hKey, pwszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), sizeof dwValue),
                  ERROR_SUCCESS);
        RegCloseKey(hKey);
        Ostrel::Mapi::ResetRegistryConfigCachesForTesting();
    }

    // Whether AuthToken fails the way request senders see it.
    static bool TokenFails(UserSession& session) {
        try {
            session.AuthToken();
            return false;
        } catch (const WinHttpException& e) {
            return e.ExcepNum(0) == ERROR_WINHTTP_CANNOT_CONNECT;
        }
    }

    // Logs everything at full detail into a file of the home until StopFullLog, which gives the
    // file's text and puts the logger back as it was.
    void StartFullLog() {
        auto& logger = Ostrel::Util::g_logger;
        m_dwLogLevel = logger.GetLevelMask();
        m_dwLogCategory = logger.GetCategoryMask();
        m_dwLogDetail = logger.GetLogDetail();
        logger.SetLoggingEnabled(true);
        logger.SetLevelMask(0xFFFFFFFF);
        logger.SetCategoryMask(0xFFFFFFFF);
        logger.SetLogDetail(0xFFFFFFFF);
        logger.SetLogFilePath(home.Path() / "full.log");
    }
    std::string StopFullLog() {
        auto& logger = Ostrel::Util::g_logger;
        logger.CloseLogFile();
        logger.SetLogFilePath({});
        logger.SetLevelMask(m_dwLogLevel);
        logger.SetCategoryMask(m_dwLogCategory);
        logger.SetLogDetail(m_dwLogDetail);
        return TestSupport::ReadFile(home.Path() / "full.log");
    }

    size_t Shown(Platform::Ui::ScriptedUi::Kind kind) const {
        size_t n = 0;
        for (auto& shown : ui->History())
            n += shown.kind == kind;
        return n;
    }

    TestSupport::TempHome home;
    std::shared_ptr<Platform::Ui::ScriptedUi> ui;
    std::shared_ptr<FakeSecurity> security;
    std::unique_ptr<OstrelServer::Server> server;

private:
    DWORD m_dwLogLevel = 0, m_dwLogCategory = 0, m_dwLogDetail = 0;
};

}  // namespace SessionTest
