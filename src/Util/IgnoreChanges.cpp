#include "Util/IgnoreChanges.h"

#include <atomic>

namespace Ostrel::Util {

namespace {

// Store notifications may arrive on another thread than the one that saved, so the count is the
// process's, not the thread's.
std::atomic<int> g_iOpenSections{0};

}  // namespace

IgnoreChangesSection::IgnoreChangesSection() {
    ++g_iOpenSections;
}

IgnoreChangesSection::~IgnoreChangesSection() {
    --g_iOpenSections;
}

bool IgnoreChangesSection::IsActive() {
    return g_iOpenSections.load() > 0;
}

}  // namespace Ostrel::Util
