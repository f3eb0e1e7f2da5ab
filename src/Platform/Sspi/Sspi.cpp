#include "Platform/Sspi/Sspi.h"

#include "Platform/Sspi/GssapiProvider.h"

#include <mutex>

namespace Platform::Sspi {

namespace {

std::mutex g_mutex;
std::shared_ptr<ISecurityProvider> g_provider;

}  // namespace

std::shared_ptr<ISecurityProvider> Current() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_provider)
        g_provider = std::make_shared<GssapiProvider>();
    return g_provider;
}

void SetCurrent(std::shared_ptr<ISecurityProvider> provider) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_provider = std::move(provider);
}

}  // namespace Platform::Sspi
