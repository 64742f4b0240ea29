#pragma once

// The force pipeline: the stages between the arm's reply and the force sent
// with the next request, each a small class with one job whose memory is its
// own, and the one function (ForcePipeline::Run) that puts them in order.
// Forces are newtons, on the hand.

#include "Torvi/HardwareAPI/devices/Vector3.hpp"
#include "Torvi/HardwareAPI/haptics/Effects.hpp"
#include "Torvi/HardwareAPI/haptics/Passivity.hpp"
#include "haptics/CycleTask.hpp"
#include "haptics/LoopClock.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>

namespace Torvi::HardwareAPI::Haptics {

/// The force set from outside the effects (HapticLoop::SetForce): the sum
/// starts from it. Set() may come from any thread; the loop's thread reads
/// it without a lock, each value whole.
class ExternalForce {
public:
    /// Throws std::invalid_argument for a component that is not finite.
    void Set(const Vector3& force);
    /// The loop's thread: the force last set. A read that meets a write
    /// under way keeps the value read before; the next cycle sees the new one.
    Vector3 Read();

private:
    std::mutex writers_; // one Set() at a time; never taken by the loop's thread
    // Odd while a write is under way (a sequence lock).
    std::atomic<std::uint32_t> version_{0};
    std::array<std::atomic<float>, 3> components_{};
    Vector3 last_read_{}; // the loop's thread's
};

/// The soft start: the force scaled linearly from 0 to 1 over the first
/// seconds of each run.
class SoftStart {
public:
    /// The length of the next run's soft start, seconds; throws
    /// std::invalid_argument for a negative or non-finite time.
    void Set(double seconds);
    double SecondsSet() const { return next_s_.load(); }
    /// Before the loop's thread starts a run: takes the length set.
    void Begin() { run_s_ = next_s_.load(); }
    Vector3 Apply(const CycleInput& cycle, const Vector3& force) const;

private:
    std::atomic<double> next_s_{0.0};
    double run_s_ = 0.0;
};

/// The clamp: a force longer than the maximum is scaled down to it.
class ForceClamp {
public:
    explicit ForceClamp(float max_force) : max_force_(max_force) {}
    Vector3 Apply(const Vector3& force) const { return ForceLaws::Clamp(force, max_force_); }

private:
    const float max_force_;
};

/// The force-rate limit: the force sent changes from one cycle to the next by
/// at most the rate times the cycle's step. It remembers the last force it let
/// through; the first after Begin() is measured from zero, which a run's first
/// cycle sends.
class ForceRateLimit {
public:
    /// From the next cycle on; empty: no limit. Throws std::invalid_argument
    /// for a rate that is not a positive finite number.
    void Set(std::optional<float> force_per_second);
    std::optional<float> Get() const;
    void Begin() { previous_ = Vector3{}; }
    Vector3 Apply(const CycleInput& cycle, const Vector3& force);

private:
    static constexpr float kNoLimit = std::numeric_limits<float>::infinity();
    std::atomic<float> rate_{kNoLimit}; // force per second
    Vector3 previous_{};                // the loop's thread's
};

/// The passivity stage: observes the energy the loop's force exchanges with
/// the hand (its sign as Passivity.hpp states) every cycle, and, while on,
/// lets the controller add the damping that takes out what the rendering gave
/// beyond what it took. Switched on, it observes afresh from the next cycle,
/// so that energy gone out while it was off is not damped out of the hand
/// all at once.
class PassivityStage {
public:
    /// `rate_hz` empty: a free-running loop, whose force is held for about
    /// the period just measured; otherwise for the period of that rate,
    /// also after a late cycle and in the short cycles that catch up on it.
    explicit PassivityStage(std::optional<double> rate_hz)
        : hold_s_(rate_hz ? std::optional<double>(1.0 / *rate_hz) : std::nullopt) {}

    /// From any thread; takes effect at the next cycle.
    void Set(bool on);
    bool Get() const { return on_.load(); }
    /// Before the loop's thread starts a run: nothing observed yet.
    void Begin();
    /// `force`, the tasks' sum, with the controller's damping when on.
    Vector3 Apply(const CycleInput& cycle, const Vector3& force);
    /// After the cycle's pipeline: what it sent, and how much of that the
    /// program's external force was; the next Apply() measures its work.
    void Sent(const Vector3& sent, const Vector3& external);

    double EnergyJ() const { return controller_.EnergyJ(); }
    double DampingNsm() const { return damping_nsm_; }
    /// The energy the damping of the last Apply() was set to dissipate, J.
    double DissipatedJ() const { return dissipated_j_; }

private:
    const std::optional<double> hold_s_;
    std::atomic<bool> on_{false};
    std::atomic<std::uint32_t> switched_on_{0}; // counts Set(true) calls
    std::uint32_t seen_switched_on_ = 0;        // the loop's thread's
    PassivityController controller_;            // the loop's thread's
    Vector3 rendered_{};                        // of the force last sent
    double damping_nsm_ = 0.0;
    double dissipated_j_ = 0.0;
};

/// What one cycle asked for and what it sent.
struct CycleForces {
    /// Before the clamp: the record's `requested` column.
    Vector3 requested{};
    /// After the clamp and the rate limit: the record's `force` column.
    Vector3 sent{};
    double energy_j = 0.0;     ///< the passivity observer's sum after the cycle
    double damping_nsm = 0.0;  ///< what the passivity controller added
    double dissipated_j = 0.0; ///< what that damping was set to take out
};

/// The stages in order: the external force, the tasks (the effects, each
/// scaled by its fade), passivity, the soft start, the clamp, the rate limit.
class ForcePipeline {
public:
    ForcePipeline(std::optional<double> rate_hz, float max_force)
        : passivity(rate_hz), clamp(max_force) {}

    /// Before the loop's thread starts a run.
    void Begin() {
        passivity.Begin();
        soft_start.Begin();
        rate_limit.Begin();
    }
    /// The loop's thread: the forces of the cycle that started at `start_ns`.
    CycleForces Run(const CycleInput& cycle, Nanoseconds start_ns, const CycleTasks& tasks);

    ExternalForce external;
    PassivityStage passivity;
    SoftStart soft_start;
    ForceClamp clamp;
    ForceRateLimit rate_limit;
};

} // namespace Torvi::HardwareAPI::Haptics
