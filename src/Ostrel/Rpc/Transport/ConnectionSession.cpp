#include "Ostrel/Rpc/Transport/ConnectionSession.h"

#include <mutex>

namespace Ostrel::Rpc {

namespace {

std::mutex g_mutex;
SessionFinder g_finder;
std::function<std::wstring()> g_profileSource;

}  // namespace

void SetSessionFinder(SessionFinder finder) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_finder = std::move(finder);
}

IConnectionSession* FindSession(const std::wstring& wsProfile) {
    SessionFinder finder;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        finder = g_finder;
    }
    return finder ? finder(wsProfile) : nullptr;
}

void SetCurrentProfileNameSource(std::function<std::wstring()> source) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_profileSource = std::move(source);
}

std::wstring CurrentProfileName() {
    std::function<std::wstring()> source;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        source = g_profileSource;
    }
    return source ? source() : std::wstring();
}

}  // namespace Ostrel::Rpc
