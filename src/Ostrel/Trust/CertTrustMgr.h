// The certificate trust manager: keeps the user's decision to trust a server certificate that
// failed verification (which server, which certificate by SHA-1, until when), shares it with
// every process of the user through the trust stores, mirrors it into the current profile
// (PR_OSTREL_TRUST_CERT_UNTIL), and asks the user through the Ui interface. Install it with
// Rpc::SetCertTrustManager.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Ostrel/Rpc/Transport/ConnectionTrust.h"
#include "Ostrel/Trust/TrustStore.h"
#include "Util/Locks/Locks.h"

namespace Ostrel::Mapi {

// One choice of the trust dialog. kOnce trusts in this process only; kThisSession until the
// user's session ends; any other value is a period in minutes.
struct TrustPeriod {
    static constexpr int64_t kOnce = -1;
    static constexpr int64_t kThisSession = 0;
    const wchar_t* pwszLabel;
    int64_t llMinutes;
};

// What is trusted now, and where that comes from.
struct TrustState {
    std::optional<TrustRecord> record;
    bool bOnce = false;         // this process only
    bool bThisSession = false;  // until the session ends
    bool bDamaged = false;      // a store could not be read; nothing in it counts
};

class CertTrustMgr : public Rpc::ICertTrustManager {
public:
    // Uses the stores in OSTREL_HOME and the runtime folder.
    CertTrustMgr();
    CertTrustMgr(std::filesystem::path periodStore, std::filesystem::path sessionStore);
    ~CertTrustMgr() override;
    CertTrustMgr(const CertTrustMgr&) = delete;
    CertTrustMgr& operator=(const CertTrustMgr&) = delete;

    bool IsWithinTrustPeriod(bool& expired) override;
    bool TrustTimeExists() override;
    bool IsFingerprintTrusted(const Platform::CertFingerprint& fingerprint) override;
    void ClearTrust() override;
    int ShowCertTrustDlg(Rpc::Connection* pConnection) override;
    PCCERT_CONTEXT GetTrustedCert() override;

    // Records trust in `fingerprint` for `wsServer` for one of the periods; an empty server name
    // forgets every trust. A second server while one is held is refused. False when the
    // decision could not be recorded.
    bool SetTrust(const std::wstring& wsServer, PCCERT_CONTEXT pCert, const Platform::CertFingerprint& fingerprint,
                  int64_t llMinutes);

    TrustState State();

    static const std::vector<TrustPeriod>& Periods();
    // In handheld-server mode the only period offered (4,838,400 minutes).
    static const TrustPeriod& HandheldPeriod();

    // The last trust record written to the profile (empty when none).
    std::wstring GetTrustString();
    // The connection state for the status area: offline, secure, trusting (until when) or
    // insecure, for the session's connection (null: offline).
    std::wstring GetLocalizedTrustString(const Rpc::Connection* pSessionConnection);

    // Where the session's user-interface flag comes from; while it gives 0 no dialog is shown.
    void SetUiFlagSource(std::function<int()> source);

private:
    TrustState StateLocked();
    // Asks until the user connects (true, with the period) or confirms not connecting.
    bool AskUser(Rpc::Connection* pConnection, PCCERT_CONTEXT pCert, bool bExpired, bool bNewCert, bool bHandheld,
                 int64_t& llMinutes);
    bool SetTrustIn(const std::wstring& wsProfile, const std::wstring& wsServer, PCCERT_CONTEXT pCert,
                    const Platform::CertFingerprint& fingerprint, int64_t llMinutes);
    void ClearTrustIn(const std::wstring& wsProfile);
    // Keeps the decision in the stores; `wsRecord` gets the profile's record for it.
    bool RecordTrust(const std::wstring& wsServer, PCCERT_CONTEXT pCert, const Platform::CertFingerprint& fingerprint,
                     int64_t llMinutes, std::wstring& wsRecord);

    std::recursive_mutex m_mutex;
    std::mutex m_dialogMutex;  // one dialog at a time
    Util::CrossProcessLock m_lock;
    TrustStore m_periodStore;
    TrustStore m_sessionStore;
    std::wstring m_wsServer;                  // the server trust was given for in this process
    PCCERT_CONTEXT m_pCert = nullptr;         // the certificate the user accepted here
    std::optional<TrustRecord> m_onceRecord;  // trust for this process only
    bool m_bRefused = false;                  // the user refused: no more dialogs in this process
    std::wstring m_wsLastRecord;              // what the profile was last given
    std::function<int()> m_uiFlag;
};

}  // namespace Ostrel::Mapi
