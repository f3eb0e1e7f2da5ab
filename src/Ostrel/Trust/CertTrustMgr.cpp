#include "Ostrel/Trust/CertTrustMgr.h"

#include <ctime>

#include "Ostrel/Rpc/Transport/Connection.h"
#include "Ostrel/Rpc/Transport/ConnectionSession.h"
#include "Ostrel/Settings/ProfileStore.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Ostrel/Trust/CertTrustPrompt.h"
#include "Ostrel/Trust/ProfileTrustRecord.h"
#include "Platform/Base/Text.h"
#include "Platform/Host/Host.h"
#include "Platform/Ui/Ui.h"
#include "Util/Log/Log.h"
#include "Util/Text/Localized.h"
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

// Labels are resource keys, except the one for this process only.
const std::vector<TrustPeriod>& CertTrustMgr::Periods() {
    // A month is 28 days.
    static const std::vector<TrustPeriod> periods{
        {L"Once: this program only, until it ends", TrustPeriod::kOnce},
        {L"DLG_CERT_TRUST_CBSTRING_THIS_SESSION", TrustPeriod::kThisSession},
        {L"DLG_CERT_TRUST_CBSTRING_5_MINS", 5},
        {L"DLG_CERT_TRUST_CBSTRING_1_HOUR", 60},
        {L"DLG_CERT_TRUST_CBSTRING_1_DAY", 1440},
        {L"DLG_CERT_TRUST_CBSTRING_1_WEEK", 10080},
        {L"DLG_CERT_TRUST_CBSTRING_1_MONTH", 40320},
    };
    return periods;
}

const TrustPeriod& CertTrustMgr::HandheldPeriod() {
    static const TrustPeriod period{L"For as long as the handheld server runs", 4838400};
    return period;
}

void CertTrustMgr::SetUiFlagSource(std::function<int()> source) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_uiFlag = std::move(source);
}

std::wstring CertTrustMgr::GetTrustString() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_wsLastRecord;
}

std::wstring CertTrustMgr::GetLocalizedTrustString(const Rpc::Connection* pSessionConnection) {
    if (!pSessionConnection || Platform::Host::IsOffline() || Rpc::ConnectionMgr::Get().IsOffline())
        return Util::GetLocalizedString("IDT_OSTREL_HTTP_CONNECTION_OFFLINE");
    if (pSessionConnection->IsSecure() && !pSessionConnection->IsTrusted())
        return Util::GetLocalizedString("IDT_OSTREL_HTTP_CONNECTION_SECURE");
    bool bExpired = false;
    if (!IsWithinTrustPeriod(bExpired))
        return Util::GetLocalizedString("IDT_OSTREL_HTTP_CONNECTION_INSECURE");
    TrustState state = State();
    std::wstring wsUntil;
    if (!state.record || state.bOnce || state.bThisSession) {
        wsUntil = Util::GetLocalizedString("IDC_OSTREL_HTTP_TRUST_UNTIL_RESTART");
    } else {
        std::time_t t = static_cast<std::time_t>(state.record->llUntil);
        std::tm tm{};
        wchar_t text[64] = L"";
        if (localtime_r(&t, &tm))
            std::wcsftime(text, 64, L"%x %X", &tm);
        wsUntil = text;
    }
    std::wstring wsText = Util::GetLocalizedString("IDT_OSTREL_HTTP_CONNECTION_TRUSTING");
    size_t at = wsText.find(L"%s");
    return at == std::wstring::npos ? wsText + L" " + wsUntil : wsText.replace(at, 2, wsUntil);
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
    if (TrustTimeExists())
        ClearTrustIn(Rpc::CurrentProfileName());
}

void CertTrustMgr::ClearTrustIn(const std::wstring& wsProfile) {
    if (TrustTimeExists())
        SetTrustIn(wsProfile, std::wstring(), nullptr, Platform::CertFingerprint{}, TrustPeriod::kOnce);
}

PCCERT_CONTEXT CertTrustMgr::GetTrustedCert() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_pCert ? CertDuplicateCertificateContext(m_pCert) : nullptr;
}

bool CertTrustMgr::SetTrust(const std::wstring& wsServer, PCCERT_CONTEXT pCert,
                            const Platform::CertFingerprint& fingerprint, int64_t llMinutes) {
    return SetTrustIn(Rpc::CurrentProfileName(), wsServer, pCert, fingerprint, llMinutes);
}

// The profile is written after the locks are released: its own locks are never taken inside ours.
bool CertTrustMgr::SetTrustIn(const std::wstring& wsProfile, const std::wstring& wsServer, PCCERT_CONTEXT pCert,
                              const Platform::CertFingerprint& fingerprint, int64_t llMinutes) {
    std::wstring wsRecord;
    bool bOk = RecordTrust(wsServer, pCert, fingerprint, llMinutes, wsRecord);
    if (bOk && !wsProfile.empty())
        WritePR_OSTREL_TRUST_CERT_UNTILToProfile(wsProfile.c_str(), wsRecord);
    return bOk;
}

bool CertTrustMgr::RecordTrust(const std::wstring& wsServer, PCCERT_CONTEXT pCert,
                               const Platform::CertFingerprint& fingerprint, int64_t llMinutes,
                               std::wstring& wsRecord) {
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
    // The profile keeps a decision for a period only; anything else leaves it an empty record.
    m_wsLastRecord.clear();
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
    if (!m_periodStore.Write(record) || !m_sessionStore.Remove())
        return false;
    m_wsLastRecord = wsRecord = FormatProfileTrustRecord(record.sha1, record.llUntil);
    return true;
}

bool CertTrustMgr::AskUser(Rpc::Connection* pConnection, PCCERT_CONTEXT pCert, bool bExpired, bool bNewCert,
                           bool bHandheld, int64_t& llMinutes) {
    Platform::Ui::CertTrustPrompt prompt =
        BuildCertTrustPrompt(pCert, pConnection->GetCertIssuesBitmap(), pConnection->GetServer(),
                             pConnection->GetPurpose(), pConnection->IsTrustable() != 0, bExpired, bNewCert);
    std::vector<TrustPeriod> periods;
    if (pConnection->IsTrustable())
        periods = bHandheld ? std::vector<TrustPeriod>{HandheldPeriod()} : Periods();
    for (const TrustPeriod& period : periods)
        prompt.periods.push_back(Util::GetLocalizedString(std::wstring_view(period.pwszLabel)));
    const bool bGoesOffline = Platform::Host::GetApplicationType() == Platform::Host::kApplicationClient;
    for (;;) {
        Platform::Ui::CertTrustAnswer answer = Platform::Ui::Current()->PromptCertTrust(nullptr, prompt);
        if (answer.iResult == IDOK && answer.iPeriod < periods.size()) {
            llMinutes = periods[answer.iPeriod].llMinutes;
            return true;
        }
        // Not connecting is confirmed; "No" goes back to the question. A box closed without an
        // answer refuses, so an interface that cannot ask never keeps the question going.
        int iConfirm = Platform::Ui::Current()->MessageBox(
            nullptr, Util::GetLocalizedString(bGoesOffline ? "MBOX_CONFIRM_OFFLINE" : "MBOX_CONFIRM_DONT_CONNECT"),
            Util::GetLocalizedString(bGoesOffline ? "MBOX_CAPTION_CONFIRM_OFFLINE"
                                                  : "MBOX_CAPTION_CONFIRM_DONT_CONNECT"),
            MB_YESNOCANCEL | MB_ICONQUESTION);
        if (iConfirm != IDNO)
            return false;
        OSTLOG_INFO(4, L"User cancelled 'Don't connect'");
    }
}

int CertTrustMgr::ShowCertTrustDlg(Rpc::Connection* pConnection) {
    if (!pConnection) {
        OSTLOG_ERROR(L"NULL pConn");
        return 0;
    }
    const bool bHandheld = IsBESOSN() != 0;
    // Taken before any lock of ours: the session's lock may be held by a thread waiting for them.
    const std::wstring wsProfile = Rpc::CurrentProfileName();
    std::lock_guard<std::mutex> dialog(m_dialogMutex);
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (bHandheld && !Platform::Host::IsHandheldServerAgent()) {
            OSTLOG_INFO(4, L"Cert Trust UI suppressed due to BES");
            return 0;
        }
        if (m_uiFlag && !m_uiFlag()) {
            OSTLOG_INFO(4, L"Cert Trust UI suppressed due to UI flag");
            return 0;
        }
        if (Rpc::ConnectionMgr::Get().IsOffline()) {
            OSTLOG_INFO(4, L"Suppressing CertTrustDlg because offline");
            return 0;
        }
        if (m_bRefused) {
            OSTLOG_INFO(4, L"Suppressing CertTrustDlg because user opted not to connect for mail-enabled-app");
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
    int64_t llMinutes = 0;
    int iResult = 0;
    if (AskUser(pConnection, pCert, bExpired, bNewCert, bHandheld, llMinutes)) {
        if (SetTrustIn(wsProfile, pConnection->GetServer(), pCert, fingerprint, llMinutes))
            iResult = 1;
        else
            OSTLOG_ERROR(L"The trust could not be recorded; not connecting");
    } else {
        OSTLOG_INFO(4, L"User opted to not connect");
        if (Platform::Host::GetApplicationType() == Platform::Host::kApplicationClient) {
            OSTLOG_INFO(4, L"Switching the client offline: its server's certificate was refused");
            Platform::Host::SwitchToOffline(false);
        } else {
            std::lock_guard<std::recursive_mutex> lock(m_mutex);
            m_bRefused = true;
        }
        ClearTrustIn(wsProfile);
        Rpc::ConnectionMgr::Get().DisconnectAll();
    }
    CertFreeCertificateContext(pCert);
    return iResult;
}

}  // namespace Ostrel::Mapi
