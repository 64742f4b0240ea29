#pragma once

#include "Torvi/HardwareAPI/devices/Cancellation.hpp"
#include "Torvi/HardwareAPI/devices/Vector3.hpp"
#include "Torvi/HardwareAPI/haptics/Effects.hpp"
#include "Torvi/HardwareAPI/haptics/LoopReader.hpp"
#include "Torvi/HardwareAPI/haptics/LoopSample.hpp"
#include "Torvi/HardwareAPI/haptics/SampleRing.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Torvi::HardwareAPI::Devices {
class Armillar;
}

namespace Torvi::HardwareAPI::Haptics {

/// What the loop last exchanged with the arm.
struct LoopState {
    Vector3 position{}; ///< from the last reply
    Vector3 velocity{}; ///< from the last reply
    Vector3 force{};    ///< the force sent with the last request
    std::uint64_t cycle = 0;
    double time = 0.0; ///< steady-clock seconds when the last reply arrived
};

/// How the loop has run since its start. The period figures cover the last
/// kPeriodWindow cycles; the rest covers the whole run.
struct LoopStats {
    std::uint64_t cycles = 0;
    double rate_hz = 0.0; ///< cycles per second of running time
    double period_p50_us = 0.0;
    double period_p99_us = 0.0;
    double period_max_us = 0.0;
    /// At a fixed rate, how late the thread woke for its deadlines (99th
    /// percentile, microseconds); 0 when free-running.
    double lateness_p99_us = 0.0;
    std::uint64_t overruns = 0; ///< fixed-rate cycles that missed their next deadline
    std::uint64_t failures = 0; ///< failed exchanges (the first one ends the loop)
    bool realtime = false;      ///< the thread runs under SCHED_FIFO
    /// Cycles in which the passivity controller added damping.
    std::uint64_t passivity_cycles = 0;
    /// The energy its damping was set to dissipate, J.
    double passivity_dissipated_j = 0.0;
};

/// How gently a loop changes the force it sends. The defaults change nothing.
struct GentleForces {
    /// Seconds after each Start() over which the total force is scaled
    /// linearly from 0 to 1; 0: at once.
    double soft_start_s = 0.0;
    /// Force per second by which the force sent may change from one cycle to
    /// the next; empty: no limit.
    std::optional<float> max_force_rate;
};

class MoveTo;

/// A servo loop on a thread of its own: each cycle adds up the effects' forces
/// for the position and velocity of the previous reply (the first cycle sends
/// zero force) and the external force, scales the sum by the soft start,
/// scales it down to `max_force`, limits its change since the previous cycle
/// to the rate limit, sends it with the arm's force request and keeps the
/// reply. An effect added or removed with a fade has its force scaled
/// linearly from 0 to 1 (or 1 to 0) over the fade, counted from the first
/// cycle that renders it that way.
///
/// Every cycle, the final zero-force exchange of a stop included, goes into
/// a record of fixed capacity (TakeSamples) that costs the loop's thread a
/// few stores: a reader that falls behind loses the oldest samples, counted.
///
/// While running, the loop has the arm to itself (Armillar::ClaimForDriver);
/// nothing else may use the arm or its stream. Effects, the external force
/// and the parameters of the effects may change from any thread; a cycle sees
/// each change whole. The loop's thread takes only locks that are held for a
/// copy, so no caller can stall it.
///
/// Failure: the first exchange whose reply does not come whole (a write
/// failure, a wrong or short reply, or no reply within kReplyLimit) stops the
/// loop; Error() then says why. Nothing is thrown from the thread.
class HapticLoop {
public:
    /// Periods kept for the percentiles of Stats().
    static constexpr std::size_t kPeriodWindow = 8192;
    /// Cycles the record keeps by default before the oldest are overwritten.
    static constexpr std::size_t kDefaultRecordCapacity = 65536;
    /// A reply later than this counts as a failed exchange.
    static constexpr std::chrono::milliseconds kReplyLimit{250};
    /// How long Stop() lets a running exchange and the final zero-force
    /// request finish before it cancels their waits. Two round trips to an
    /// arm answered by a Python thread beside a busy one take up to about
    /// 45 ms on a loaded two-core machine; a grace shorter than that leaves
    /// such an arm with the loop's last force.
    static constexpr std::chrono::milliseconds kStopGrace{100};

    /// How often WaitArrived looks at its effect.
    static constexpr std::chrono::milliseconds kArrivalCheck{1};

    /// A loop for `arm` (borrowed: it must outlive the loop). `rate_hz` empty
    /// runs free (the next request as soon as the reply is in), otherwise at
    /// that rate on absolute deadlines: a cycle that ends after the next
    /// deadline counts as an overrun, and the cycles missed are made up at
    /// once when the loop is less than 20 ms behind, dropped otherwise. Throws
    /// std::invalid_argument for a rate or maximum force that is not a
    /// positive finite number, and for `gentle` as SetSoftStart and
    /// SetMaxForceRate do. Does not start. The record's ring of
    /// `record_capacity` samples is allocated here (0: nothing is recorded);
    /// std::bad_alloc when it cannot be. `passivity` switches the passivity
    /// controller on from the start (SetPassivity) and marks the record as
    /// one whose energy and damping matter (RecordsPassivity), which the
    /// module's record then shows as columns of their own.
    HapticLoop(Devices::Armillar& arm, std::optional<double> rate_hz, float max_force,
               std::size_t record_capacity = kDefaultRecordCapacity, GentleForces gentle = {},
               bool passivity = false);
    /// Stops the loop as Stop() does.
    ~HapticLoop();

    HapticLoop(const HapticLoop&) = delete;
    HapticLoop& operator=(const HapticLoop&) = delete;

    /// Claims the arm and starts the thread. Throws std::runtime_error when the
    /// arm is already driven (by this loop or another); does nothing when
    /// this loop is running. Joins a thread that ended by itself first.
    void Start();
    /// Ends the thread and releases the arm. When the arm was still answering,
    /// one zero-force request is exchanged first. Returns within about
    /// kStopGrace plus one cancellation interval, even when the arm has gone
    /// silent. Any number of times, also before Start().
    ///
    /// Start() and Stop() may be called from several threads at once: they
    /// take turns, so that the thread is started and joined once.
    void Stop();

    /// True from Start() until Stop() or a failure.
    bool Running() const { return running_.load(); }
    /// Why the loop stopped by itself; empty otherwise (reset by Start()).
    std::optional<std::string> Error() const;

    /// Adds `effect` and returns it, its force faded in over `fade_s` seconds
    /// from its first cycle (0: at once). Adding an effect that is in the loop
    /// changes nothing, unless it is fading out: then it fades back in from
    /// where it is. Throws std::invalid_argument for an empty effect or a
    /// `fade_s` that is negative or not finite, and passes on what the
    /// effect's Joining throws (a stateful effect in another loop).
    ///
    /// Add and Remove never free an effect on the loop's thread: the lists
    /// they replace are kept here until the loop's thread has let go of them,
    /// and released by a later Add, Remove or Stop (or the destructor), on
    /// the calling thread, which may take a while for a large effect (a mesh's
    /// memory). Otherwise each takes about a copy of the list; they allocate
    /// outside the lock the loop's thread takes, which they hold only to swap
    /// a pointer.
    std::shared_ptr<Effect> Add(std::shared_ptr<Effect> effect, double fade_s = 0.0);
    /// Removes `effect`: at once, or, with a `fade_s` > 0 while the loop runs,
    /// after its force has faded out over that time (it stays in the loop
    /// until then; a stop ends the fade). Throws std::invalid_argument when it
    /// is not in the loop (a faded-out effect no longer is) and for a `fade_s`
    /// that is negative or not finite.
    void Remove(const std::shared_ptr<Effect>& effect, double fade_s = 0.0);
    /// The effects in the loop now, in the order they were added, one fading
    /// out among them until its fade is over: a copy, which later changes
    /// leave as it is. Never makes the loop's thread wait.
    std::vector<std::shared_ptr<Effect>> Effects() const;
    /// Waits until `effect` has arrived (MoveTo::Progress), looking every
    /// kArrivalCheck: true then, at once when it already has. False when
    /// `timeout` passes (empty, or beyond about 70 years: no limit), when the
    /// loop is not running or stops, and when a CancellationScope of the
    /// calling thread asks (at CancellationPoll's interval); within about
    /// kArrivalCheck of any of these. Throws std::invalid_argument when the
    /// effect is not in the loop or `timeout` is negative or NaN.
    bool WaitArrived(const std::shared_ptr<MoveTo>& effect,
                     std::optional<std::chrono::duration<double>> timeout);
    /// The external force added to the effects' sum. Throws
    /// std::invalid_argument for a non-finite component.
    void SetForce(const Vector3& force);

    LoopState State() const;
    LoopStats Stats() const;
    /// The periods of the last cycles in order (at most kPeriodWindow),
    /// microseconds: a record of the loop's timing over time.
    std::vector<float> PeriodsUs() const;

    /// The record's capacity in cycles; 0 when the loop records nothing.
    std::size_t RecordCapacity() const;
    /// Samples recorded and not yet taken (at most RecordCapacity()).
    std::size_t PendingSamples() const;
    /// Hands at most `most` of the oldest samples not yet taken to `sink`,
    /// oldest first, on the calling thread; `dropped` counts the cycles
    /// overwritten since the previous call before they could be taken.
    /// Never makes the loop wait; callable while it runs and after it
    /// stopped (samples are kept across a restart, and their cycle numbers
    /// start again at 1). Concurrent callers take turns.
    SampleDrain TakeSamples(std::size_t most, const std::function<void(const LoopSample&)>& sink);
    /// A reader of its own of the record, which takes every cycle recorded
    /// from now on, whatever TakeSamples and the other readers take: each
    /// reader has its own place in the record and its own dropped count, and
    /// the loop's thread writes each cycle once however many there are. A
    /// reader made while the loop is stopped starts with the next run's
    /// first cycle. It keeps the record alive, so it may outlive the loop.
    std::unique_ptr<LoopReader> Reader() const;

    std::optional<double> RateHz() const { return rate_hz_; }
    float MaxForce() const { return max_force_; }
    /// The soft start of the next Start(). Throws std::invalid_argument for a
    /// negative or non-finite time.
    void SetSoftStart(double seconds);
    double SoftStartS() const;
    /// The rate limit, from the next cycle on; empty: none. The stop's final
    /// zero force is sent at once, whatever the limit. Throws
    /// std::invalid_argument for a rate that is not a positive finite number.
    void SetMaxForceRate(std::optional<float> force_per_second);
    std::optional<float> MaxForceRate() const;
    /// The passivity controller (Passivity.hpp), from the next cycle on: a
    /// stage of the force after the effects' sum and before the soft start
    /// and the clamp, which adds the damping that takes out the energy the
    /// rendering gave the hand beyond what it took. Switched on, it starts
    /// observing afresh.
    void SetPassivity(bool on);
    bool Passivity() const;
    /// Whether the record carries the passivity observer's energy and the
    /// controller's damping: the loop was made with passivity.
    bool RecordsPassivity() const { return records_passivity_; }

private:
    /// The servo loop's parts (HapticLoop.cpp): the arm link, the effects,
    /// the force pipeline and the record.
    struct Parts;

    void Run();
    /// The end of the thread: one zero force when the arm still answers
    /// (`previous_start`: when the last cycle started, monotonic ns), the arm
    /// given back, the loop marked finished.
    void Finish(bool answered, const LoopState& state, std::int64_t previous_start);

    const std::optional<double> rate_hz_;
    const float max_force_;
    const bool records_passivity_;

    // Held by Start() and Stop() throughout; taken before any lock of the
    // parts (the effect set's changes, then its list).
    std::mutex life_mutex_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    std::unique_ptr<Parts> parts_;
};

} // namespace Torvi::HardwareAPI::Haptics
