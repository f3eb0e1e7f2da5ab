#include "Ostrel/Trust/CertTrustMgr.h"

#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Trust/CertTrustPrompt.h"
#include "Platform/Base/Text.h"
#include "Platform/Ui/Ui.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

CertTrustMgr::CertTrustMgr() : CertTrustMgr(PeriodTrustStorePath(), SessionTrustStorePath()) {}

CertTrustMgr::CertTrustMgr(std::filesystem::path periodStore, std::filesystem::path sessionStore)
    : m_lock(L"m_cplCertTrustMgr", 300),
      m_periodStore(std::move(periodStore)),
      m_sessionStore(std::move(sessionStore)) {
    m_lock.SetNoLog(TRUE);
    if (!m_lock.Init(L"OSTREL_CERT_TRUST_SHARED_MEM_PROTECT"))
        OSTLOG_ERROR(L"could not init shared mem lock. no global protection");
}

CertTrustMgr::~CertTrustMgr() {
    if (m_pCert)
        CertFreeCertificateContext(m_pCert);
}

const std::vector<TrustPeriod>& CertTrustMgr::Periods() {
    // A month is 28 days.
    static const std::vector<TrustPeriod> periods{
        {L"Once: this program only, until it ends", TrustPeriod::kOnce},
        {L"Until I log out", TrustPeriod::kThisSession},
        {L"5 minutes", 5},
        {L"1 hour", 60},
        {L"1 day", 1440},
        {L"1 week", 10080},
        {L"1 month", 40320},
    };
    return periods;
}

TrustState CertTrustMgr::State() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return StateLocked();
}

// Trust for this process comes first, then the session's, then the period store's.
TrustState CertTrustMgr::StateLocked() {
    TrustState state;
    if (m_onceRecord) {
        state.record = m_onceRecord;
        state.bOnce = true;
        return state;
    }
    Util::AutoCrossProcessLock held(m_lock);
    TrustRecord record;
    TrustStoreState session = m_sessionStore.Read(record);
    state.bDamaged = session == TrustStoreState::Damaged;
    if (session == TrustStoreState::Valid) {
        state.record = record;
        state.bThisSession = true;
        return state;
    }
    TrustStoreState period = m_periodStore.Read(record);
    state.bDamaged = state.bDamaged || period == TrustStoreState::Damaged;
    if (period == TrustStoreState::Valid && record.llUntil > 0)
        state.record = record;
    return state;
}

bool CertTrustMgr::IsWithinTrustPeriod(bool& expired) {
    expired = false;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TrustState state = StateLocked();
    if (!state.record)
        return false;
    if (state.bOnce || state.bThisSession)
        return true;
    if (Util::CurrentClock().GetUnixTime() < state.record->llUntil)
        return true;
    expired = true;
    return false;
}

bool CertTrustMgr::TrustTimeExists() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return StateLocked().record.has_value();
}

bool CertTrustMgr::IsFingerprintTrusted(const Platform::CertFingerprint& fingerprint) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TrustState state = StateLocked();
    if (state.record && state.record->sha1 == fingerprint)
        return true;
    OSTLOG_INFO(4, L"No match, can't trust");
    return false;
}

void CertTrustMgr::ClearTrust() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (TrustTimeExists())
        SetTrust(std::wstring(), nullptr, Platform::CertFingerprint{}, TrustPeriod::kOnce);
}

PCCERT_CONTEXT CertTrustMgr::GetTrustedCert() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_pCert ? CertDuplicateCertificateContext(m_pCert) : nullptr;
}

bool CertTrustMgr::SetTrust(const std::wstring& wsServer, PCCERT_CONTEXT pCert,
                            const Platform::CertFingerprint& fingerprint, int64_t llMinutes) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Util::AutoCrossProcessLock held(m_lock);
    if (!m_wsServer.empty() && !wsServer.empty() && !Platform::EqualsNoCase(m_wsServer, wsServer)) {
        OSTLOG_WARN(L"Attempting to set trust for a different server. Disallowed.");
        return false;
    }
    if (m_pCert)
        CertFreeCertificateContext(m_pCert);
    m_pCert = nullptr;
    m_onceRecord.reset();
    m_wsServer = wsServer;
    if (wsServer.empty()) {
        bool bRemoved = m_sessionStore.Remove();
        return m_periodStore.Remove() && bRemoved;
    }
    m_pCert = pCert ? CertDuplicateCertificateContext(pCert) : nullptr;
    TrustRecord record{wsServer, fingerprint, 0};
    if (llMinutes == TrustPeriod::kOnce) {
        m_onceRecord = record;
        return true;
    }
    if (llMinutes == TrustPeriod::kThisSession)
        return m_sessionStore.Write(record) && m_periodStore.Remove();
    record.llUntil = Util::CurrentClock().GetUnixTime() + llMinutes * 60;
    return m_periodStore.Write(record) && m_sessionStore.Remove();
}

int CertTrustMgr::ShowCertTrustDlg(Rpc::Connection* pConnection) {
    if (!pConnection) {
        OSTLOG_ERROR(L"NULL pConn");
        return 0;
    }
    std::lock_guard<std::mutex> dialog(m_dialogMutex);
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (m_bRefused) {
            OSTLOG_INFO(4, L"Suppressing CertTrustDlg because user opted not to connect");
            return 0;
        }
        if (Rpc::ConnectionMgr::Get().IsOffline()) {
            OSTLOG_INFO(4, L"Suppressing CertTrustDlg because offline");
            return 0;
        }
        if (!m_wsServer.empty() && !Platform::EqualsNoCase(m_wsServer, pConnection->GetServer())) {
            OSTLOG_WARN(L"Denying CertTrustDlg for new server name");
            return 0;
        }
    }
    PCCERT_CONTEXT pCert = pConnection->GetServerCert();
    if (!pCert) {
        // Nothing to show: the request was stopped before a handshake. The next one shows it.
        OSTLOG_INFO(4, L"No server certificate to ask about");
        return 0;
    }
    Platform::CertFingerprint fingerprint = Platform::CertSha1(pCert);
    bool bExpired = false;
    IsWithinTrustPeriod(bExpired);
    bool bNewCert = TrustTimeExists() && !IsFingerprintTrusted(fingerprint);

    OSTLOG_INFO(4, L"Showing Cert Trust dialog");
    Platform::Ui::CertTrustPrompt prompt =
        BuildCertTrustPrompt(pCert, pConnection->GetCertIssuesBitmap(), pConnection->GetServer(), bExpired, bNewCert);
    for (const TrustPeriod& period : Periods())
        prompt.periods.push_back(period.pwszLabel);
    Platform::Ui::CertTrustAnswer answer = Platform::Ui::Current()->PromptCertTrust(nullptr, prompt);
    int iResult = 0;
    if (answer.iResult == IDOK && answer.iPeriod < Periods().size()) {
        if (SetTrust(pConnection->GetServer(), pCert, fingerprint, Periods()[answer.iPeriod].llMinutes))
            iResult = 1;
        else
            OSTLOG_ERROR(L"The trust could not be recorded; not connecting");
    } else {
        OSTLOG_INFO(4, L"User opted to not connect");
        {
            std::lock_guard<std::recursive_mutex> lock(m_mutex);
            m_bRefused = true;
        }
        ClearTrust();
        Rpc::ConnectionMgr::Get().DisconnectAll();
    }
    CertFreeCertificateContext(pCert);
    return iResult;
}

}  // namespace Ostrel::Mapi
