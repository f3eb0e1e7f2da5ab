#include "Ostrel/Rpc/Transport/ConnectionTrust.h"

#include <mutex>

namespace Ostrel::Rpc {

namespace {

std::mutex g_mutex;
std::shared_ptr<ICertTrustManager> g_manager;

}  // namespace

bool NoCertTrustManager::IsWithinTrustPeriod(bool& expired) {
    expired = false;
    return false;
}

bool NoCertTrustManager::TrustTimeExists() {
    return false;
}

bool NoCertTrustManager::IsFingerprintTrusted(const Platform::CertFingerprint&) {
    return false;
}

void NoCertTrustManager::ClearTrust() {}

int NoCertTrustManager::ShowCertTrustDlg(Connection*) {
    return 0;
}

PCCERT_CONTEXT NoCertTrustManager::GetTrustedCert() {
    return nullptr;
}

std::shared_ptr<ICertTrustManager> CurrentCertTrustManager() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_manager)
        g_manager = std::make_shared<NoCertTrustManager>();
    return g_manager;
}

void SetCertTrustManager(std::shared_ptr<ICertTrustManager> manager) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_manager = std::move(manager);
}

}  // namespace Ostrel::Rpc
