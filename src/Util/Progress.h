// Progress tasks: the state of a long operation (a transfer, a rebuild) that a user interface can
// show and the user can cancel. The operation updates the task; observers are told of each change.
// Shared between the operation and its observers through std::shared_ptr. Thread-safe.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Util {

struct ProgressState {
    std::wstring wsName;  // what the task is, e.g. the request being sent
    std::wstring wsText;  // the message shown with it
    ULONGLONG ullMin = 0;
    ULONGLONG ullMax = 100;
    ULONGLONG ullPos = 0;
    ULONGLONG ullStep = 1;
    bool bMarquee = false;  // no measurable progress: show activity only
    bool bCancelled = false;
    bool bComplete = false;

    // 0..100 of the range (0 in marquee mode or with an empty range).
    unsigned GetPercent() const;
};

class ProgressTask {
public:
    using Listener = std::function<void(const ProgressState&)>;

    explicit ProgressTask(std::wstring_view wsName);
    ProgressTask(const ProgressTask&) = delete;
    ProgressTask& operator=(const ProgressTask&) = delete;

    static std::shared_ptr<ProgressTask> Create(std::wstring_view wsName);

    std::wstring GetName() const;
    void SetName(std::wstring_view wsName);
    void SetText(std::wstring_view wsText);

    // A range whose maximum is below its minimum is taken as empty (max = min). The position is
    // kept inside the range.
    void SetRange(ULONGLONG ullMin, ULONGLONG ullMax);
    void SetPos(ULONGLONG ullPos);
    // Moves by delta (e.g. bytes just transferred), stopping at the maximum.
    void OffsetPos(ULONGLONG ullDelta);
    void SetStep(ULONGLONG ullStep);
    // Moves by the step, stopping at the maximum.
    void StepIt();
    void SetMarquee(bool bMarquee);

    // Asks the operation to stop; it polls IsCancelled at points where stopping is safe.
    void Cancel();
    bool IsCancelled() const;
    // The operation has finished (position moves to the maximum unless in marquee mode).
    void Complete();

    ULONGLONG GetPos() const;
    ProgressState GetState() const;

    // Observers receive a copy of the state after each change, on the thread that made it and
    // outside the task's lock (so they may call back into the task). Returns a handle for removal.
    int AddListener(Listener listener);
    void RemoveListener(int nHandle);

private:
    template <typename Change>
    void Update(Change change);

    mutable std::mutex m_mutex;
    ProgressState m_state;
    std::map<int, std::shared_ptr<Listener>> m_mapListeners;
    int m_nNextHandle = 1;
};

}  // namespace Ostrel::Util
