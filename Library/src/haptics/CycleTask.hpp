#pragma once

// The per-cycle task seam: what the loop's thread runs each cycle between
// the arm's reply and the rest of the force pipeline. A task reads the
// hand's state and adds its force to the cycle's; the effect set is one. Another (a simulated
// scene stepped each cycle) is appended to the loop's list beside it.

#include "Torvi/HardwareAPI/devices/Vector3.hpp"
#include "Torvi/HardwareAPI/haptics/Effects.hpp"
#include "haptics/LoopClock.hpp"

#include <vector>

namespace Torvi::HardwareAPI::Haptics {

/// Something the loop runs once per cycle on its own thread. Step() must
/// not allocate, throw, log nor wait on a lock held longer than a copy.
class CycleTask {
public:
    virtual ~CycleTask() = default;
    /// Adds this task's force for the cycle that started at `start_ns`
    /// (monotonic) to `total`, for the hand's state in `cycle`. Not called
    /// for a run's first cycle, which has no reply to work from.
    virtual void Step(const CycleInput& cycle, Nanoseconds start_ns, Vector3& total) = 0;
};

/// The loop's tasks in the order they run, fixed before the loop starts.
class CycleTasks {
public:
    /// Before the loop's thread runs; `task` must outlive the list.
    void Append(CycleTask& task) { tasks_.push_back(&task); }

    /// The loop's thread: every task adds its force to `total`, in order.
    void Step(const CycleInput& cycle, Nanoseconds start_ns, Vector3& total) const {
        for (CycleTask* const task : tasks_) {
            task->Step(cycle, start_ns, total);
        }
    }

private:
    std::vector<CycleTask*> tasks_;
};

} // namespace Torvi::HardwareAPI::Haptics
