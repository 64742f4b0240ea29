#pragma once

// The loop's link to the arm: one exchange per cycle (send the force, await
// the reply, decide when it is overdue), the claim on the arm for a run, and
// the end of a run: the final zero force, and the grace Stop() gives the
// thread before it cancels the thread's waits.

#include "Torvi/HardwareAPI/devices/Cancellation.hpp"
#include "Torvi/HardwareAPI/devices/Vector3.hpp"
#include "Torvi/HardwareAPI/haptics/HapticLoop.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace Torvi::HardwareAPI::Devices {
class Armillar;
}

namespace Torvi::HardwareAPI::Haptics {

class ArmLink {
public:
    /// How an exchange ended.
    enum class Outcome {
        kAnswered,  ///< the reply came whole
        kCancelled, ///< Stop() gave up on a silent arm: no failure of the loop's
        kUnwritten, ///< the request could not be written
        kOverdue,   ///< no reply within HapticLoop::kReplyLimit
        kBadReply,  ///< the reply was missing, wrong or short
    };

    /// `arm` borrowed: it must outlive the link.
    explicit ArmLink(Devices::Armillar& arm) : arm_(arm) {}

    /// The caller's thread, before a run: claims the arm and readies the
    /// waits. std::runtime_error when the arm is already driven.
    void Claim();
    /// The caller's thread (Stop): gives the loop's thread kStopGrace to end
    /// its exchanges, then cancels its waits.
    void AwaitEnd();

    /// The loop's thread: whether its waits are to end (Stop() gave up, or
    /// the reply is overdue); the loop's CancellationScope asks this.
    bool WaitsEnd() const { return cancel_.IsCancelled() || Overdue(); }
    /// The loop's thread: sends `force`, awaits the reply and keeps it in
    /// `state` (with `force` as the force sent) when it comes whole.
    Outcome Exchange(const Vector3& force, LoopState& state);
    /// The loop's thread at the end of a run: one exchange without force.
    Outcome LeaveWithoutForce(LoopState& state) { return Exchange(Vector3{}, state); }
    /// Gives the arm back: at the end of the loop's thread, or when it could
    /// not be started.
    void ReleaseArm();
    /// Marks the run ended, for AwaitEnd().
    void MarkEnded();

    /// The error text of an outcome that failed the loop.
    static std::string Why(Outcome outcome);

private:
    using Clock = std::chrono::steady_clock;

    /// True once the whole reply is queued, or, after a round trip's time,
    /// once part of it is (or the port has hung up), for the arm's wait to
    /// take from there; false when Stop() cancels or the reply is overdue.
    bool AwaitReplyStart() const;
    bool Overdue() const {
        return exchanging_ && Clock::now() - exchange_started_ > HapticLoop::kReplyLimit;
    }

    Devices::Armillar& arm_;
    Devices::CancellationToken cancel_;
    // Set by the loop's thread only; read by its own cancellation check.
    Clock::time_point exchange_started_;
    bool exchanging_ = false;

    // The thread says here that it has ended its last exchange.
    std::mutex ended_mutex_;
    std::condition_variable ended_changed_;
    bool ended_ = true;
};

} // namespace Torvi::HardwareAPI::Haptics
