#include "Faults.h"

namespace OstrelServer {

void FaultPlan::Add(Fault fault) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (fault.times != 0)
        m_faults.push_back(std::move(fault));
}

void FaultPlan::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

std::optional<Fault> FaultPlan::Take(const std::string& callName, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        const std::string& m = it->match;
        bool hit = m.empty() || (!callName.empty() && m == callName) ||
                   (!m.empty() && m[0] == '/' && path.compare(0, m.size(), m) == 0);
        if (!hit)
            continue;
        Fault out = *it;
        if (it->times > 0 && --it->times == 0)
            m_faults.erase(it);
        return out;
    }
    return std::nullopt;
}

size_t FaultPlan::Pending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faults.size();
}

}  // namespace OstrelServer
