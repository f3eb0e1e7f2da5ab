#include "Util/Progress.h"

#include <algorithm>
#include <vector>

namespace Ostrel::Util {

unsigned ProgressState::GetPercent() const {
    if (bMarquee || ullMax <= ullMin)
        return 0;
    long double ldFraction = static_cast<long double>(ullPos - ullMin) / static_cast<long double>(ullMax - ullMin);
    return static_cast<unsigned>(ldFraction * 100);
}

ProgressTask::ProgressTask(std::wstring_view wsName) {
    m_state.wsName = wsName;
}

std::shared_ptr<ProgressTask> ProgressTask::Create(std::wstring_view wsName) {
    return std::make_shared<ProgressTask>(wsName);
}

template <typename Change>
void ProgressTask::Update(Change change) {
    ProgressState snapshot;
    std::vector<std::shared_ptr<Listener>> vecListeners;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        change(m_state);
        m_state.ullPos = std::clamp(m_state.ullPos, m_state.ullMin, m_state.ullMax);
        if (m_mapListeners.empty())
            return;
        snapshot = m_state;
        for (const auto& entry : m_mapListeners)
            vecListeners.push_back(entry.second);
    }
    for (const std::shared_ptr<Listener>& pListener : vecListeners)
        (*pListener)(snapshot);
}

std::wstring ProgressTask::GetName() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_state.wsName;
}

void ProgressTask::SetName(std::wstring_view wsName) {
    Update([&](ProgressState& state) { state.wsName = wsName; });
}

void ProgressTask::SetText(std::wstring_view wsText) {
    Update([&](ProgressState& state) { state.wsText = wsText; });
}

void ProgressTask::SetRange(ULONGLONG ullMin, ULONGLONG ullMax) {
    Update([&](ProgressState& state) {
        state.ullMin = ullMin;
        state.ullMax = std::max(ullMin, ullMax);
    });
}

void ProgressTask::SetPos(ULONGLONG ullPos) {
    Update([&](ProgressState& state) { state.ullPos = ullPos; });
}

void ProgressTask::OffsetPos(ULONGLONG ullDelta) {
    Update([&](ProgressState& state) {
        state.ullPos = ullDelta > state.ullMax - state.ullPos ? state.ullMax : state.ullPos + ullDelta;
    });
}

void ProgressTask::SetStep(ULONGLONG ullStep) {
    Update([&](ProgressState& state) { state.ullStep = ullStep; });
}

void ProgressTask::StepIt() {
    Update([&](ProgressState& state) {
        state.ullPos = state.ullStep > state.ullMax - state.ullPos ? state.ullMax : state.ullPos + state.ullStep;
    });
}

void ProgressTask::SetMarquee(bool bMarquee) {
    Update([&](ProgressState& state) { state.bMarquee = bMarquee; });
}

void ProgressTask::Cancel() {
    Update([&](ProgressState& state) { state.bCancelled = true; });
}

bool ProgressTask::IsCancelled() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_state.bCancelled;
}

void ProgressTask::Complete() {
    Update([&](ProgressState& state) {
        state.bComplete = true;
        if (!state.bMarquee)
            state.ullPos = state.ullMax;
    });
}

ULONGLONG ProgressTask::GetPos() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_state.ullPos;
}

ProgressState ProgressTask::GetState() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_state;
}

int ProgressTask::AddListener(Listener listener) {
    std::lock_guard<std::mutex> guard(m_mutex);
    int nHandle = m_nNextHandle++;
    m_mapListeners.emplace(nHandle, std::make_shared<Listener>(std::move(listener)));
    return nHandle;
}

void ProgressTask::RemoveListener(int nHandle) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_mapListeners.erase(nHandle);
}

}  // namespace Ostrel::Util
