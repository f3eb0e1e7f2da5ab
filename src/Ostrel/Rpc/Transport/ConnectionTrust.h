// The certificate trust manager as the connection sees it. The connection asks it whether a
// server certificate that failed validation is trusted, and for how long; the manager may ask
// the user. Until one is installed, nothing is trusted and no dialog is shown.
#pragma once

#include <memory>

#include "Platform/Crypto/Cert.h"

namespace Ostrel::Rpc {

class Connection;

class ICertTrustManager {
public:
    virtual ~ICertTrustManager() = default;
    // True while a trust decision is in force; `expired` is set when one existed but its time ran out.
    virtual bool IsWithinTrustPeriod(bool& expired) = 0;
    // Whether a trust time (or this-session trust) is recorded.
    virtual bool TrustTimeExists() = 0;
    virtual bool IsFingerprintTrusted(const Platform::CertFingerprint& fingerprint) = 0;
    virtual void ClearTrust() = 0;
    // Shows the trust dialog for the connection's certificate; non-zero when the user chose to
    // connect and the trust was recorded.
    virtual int ShowCertTrustDlg(Connection* pConnection) = 0;
    // A duplicate of the trusted certificate (the caller frees it), or null.
    virtual PCCERT_CONTEXT GetTrustedCert() = 0;
};

// Trusts nothing and never asks.
class NoCertTrustManager : public ICertTrustManager {
public:
    bool IsWithinTrustPeriod(bool& expired) override;
    bool TrustTimeExists() override;
    bool IsFingerprintTrusted(const Platform::CertFingerprint&) override;
    void ClearTrust() override;
    int ShowCertTrustDlg(Connection*) override;
    PCCERT_CONTEXT GetTrustedCert() override;
};

// The manager in use; a NoCertTrustManager until one is installed (null restores it).
std::shared_ptr<ICertTrustManager> CurrentCertTrustManager();
void SetCertTrustManager(std::shared_ptr<ICertTrustManager> manager);

}  // namespace Ostrel::Rpc
