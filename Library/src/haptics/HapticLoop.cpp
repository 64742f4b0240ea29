#include "Torvi/HardwareAPI/haptics/HapticLoop.hpp"

#include "Torvi/HardwareAPI/haptics/MoveTo.hpp"
#include "haptics/ArmLink.hpp"
#include "haptics/CycleTask.hpp"
#include "haptics/EffectSet.hpp"
#include "haptics/Fade.hpp"
#include "haptics/ForcePipeline.hpp"
#include "haptics/LoopClock.hpp"
#include "haptics/LoopRecord.hpp"

#include <cmath>
#include <stdexcept>

namespace Torvi::HardwareAPI::Haptics {

/// The servo loop's parts. Each cycle, the loop's thread waits for its
/// deadline (LoopClock), runs the force pipeline, in which the tasks (today
/// the effect set) add their forces, exchanges the force for the arm's reply
/// (ArmLink) and writes the cycle to the record (LoopRecord).
struct HapticLoop::Parts {
    Parts(const HapticLoop& loop, Devices::Armillar& arm, std::optional<double> rate_hz,
          float max_force, std::size_t record_capacity)
        : link(arm), effects(loop), pipeline(rate_hz, max_force), record(record_capacity) {
        tasks.Append(effects);
    }

    /// The loop's thread: true when an exchange's reply came whole; a
    /// failure of the loop's own goes on the record.
    bool Answered(ArmLink::Outcome outcome) {
        if (outcome == ArmLink::Outcome::kAnswered) {
            return true;
        }
        if (outcome != ArmLink::Outcome::kCancelled) {
            record.Fail(ArmLink::Why(outcome));
        }
        return false;
    }

    ArmLink link;
    EffectSet effects;
    CycleTasks tasks; // run by the pipeline, in order
    ForcePipeline pipeline;
    LoopRecord record;
};

namespace {

/// Counts the cycle whose reply `state` now holds and stamps its arrival.
void CycleDone(LoopState& state) {
    ++state.cycle;
    state.time =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

HapticLoop::HapticLoop(Devices::Armillar& arm, std::optional<double> rate_hz, float max_force,
                       std::size_t record_capacity, GentleForces gentle, bool passivity)
    : rate_hz_(rate_hz), max_force_(max_force), records_passivity_(passivity) {
    if (rate_hz_ && (!std::isfinite(*rate_hz_) || *rate_hz_ <= 0.0)) {
        throw std::invalid_argument("rate_hz must be a positive finite number or None");
    }
    if (!std::isfinite(max_force_) || max_force_ <= 0.0f) {
        throw std::invalid_argument("max_force must be a positive finite number");
    }
    parts_ = std::make_unique<Parts>(*this, arm, rate_hz_, max_force_, record_capacity);
    SetSoftStart(gentle.soft_start_s);
    SetMaxForceRate(gentle.max_force_rate);
    SetPassivity(passivity);
}

HapticLoop::~HapticLoop() { Stop(); }

void HapticLoop::SetSoftStart(double seconds) { parts_->pipeline.soft_start.Set(seconds); }

double HapticLoop::SoftStartS() const { return parts_->pipeline.soft_start.SecondsSet(); }

void HapticLoop::SetMaxForceRate(std::optional<float> force_per_second) {
    parts_->pipeline.rate_limit.Set(force_per_second);
}

std::optional<float> HapticLoop::MaxForceRate() const { return parts_->pipeline.rate_limit.Get(); }

void HapticLoop::SetPassivity(bool on) { parts_->pipeline.passivity.Set(on); }

bool HapticLoop::Passivity() const { return parts_->pipeline.passivity.Get(); }

void HapticLoop::Start() {
    std::lock_guard<std::mutex> life(life_mutex_);
    if (running_.load()) {
        return;
    }
    if (thread_.joinable()) {
        // The loop stopped by itself; its thread has ended.
        thread_.join();
    }
    Parts& parts = *parts_;
    // A loop that stopped by itself has not settled its fades yet.
    parts.effects.Settle();
    parts.link.Claim();
    stop_requested_.store(false);
    parts.pipeline.Begin();
    parts.effects.RestartAll(); // effects with state start the run afresh
    parts.record.Begin();
    running_.store(true);
    try {
        thread_ = std::thread(&HapticLoop::Run, this);
    } catch (...) {
        running_.store(false);
        parts.link.MarkEnded();
        parts.link.ReleaseArm();
        throw;
    }
}

void HapticLoop::Stop() {
    std::lock_guard<std::mutex> life(life_mutex_);
    if (!thread_.joinable()) {
        return;
    }
    stop_requested_.store(true);
    parts_->link.AwaitEnd();
    thread_.join();
    parts_->effects.Settle();
}

std::optional<std::string> HapticLoop::Error() const { return parts_->record.Error(); }

std::shared_ptr<Effect> HapticLoop::Add(std::shared_ptr<Effect> effect, double fade_s) {
    if (!effect) {
        throw std::invalid_argument("effect must not be empty");
    }
    parts_->effects.Add(effect, FadeLength(fade_s));
    return effect;
}

void HapticLoop::Remove(const std::shared_ptr<Effect>& effect, double fade_s) {
    parts_->effects.Remove(effect, FadeLength(fade_s), Running());
}

std::vector<std::shared_ptr<Effect>> HapticLoop::Effects() const {
    return parts_->effects.Effects();
}

bool HapticLoop::WaitArrived(const std::shared_ptr<MoveTo>& effect,
                             std::optional<std::chrono::duration<double>> timeout) {
    if (timeout && !(timeout->count() >= 0.0)) {
        throw std::invalid_argument("timeout must be a non-negative number or None");
    }
    if (!effect || !parts_->effects.Contains(effect)) {
        throw std::invalid_argument("the effect is not in this loop");
    }
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (timeout && timeout->count() < kLongestSeconds) {
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(*timeout);
    }
    Devices::CancellationPoll poll;
    for (;;) {
        if (effect->Progress().arrived) {
            return true;
        }
        if (!Running() || (deadline && Clock::now() >= *deadline) || poll.Cancelled()) {
            return false;
        }
        std::this_thread::sleep_for(kArrivalCheck);
    }
}

void HapticLoop::SetForce(const Vector3& force) { parts_->pipeline.external.Set(force); }

LoopState HapticLoop::State() const { return parts_->record.State(); }

LoopStats HapticLoop::Stats() const { return parts_->record.Stats(); }

std::vector<float> HapticLoop::PeriodsUs() const { return parts_->record.PeriodsUs(); }

std::size_t HapticLoop::RecordCapacity() const { return parts_->record.Capacity(); }

std::size_t HapticLoop::PendingSamples() const { return parts_->record.OwnReader().Pending(); }

SampleDrain HapticLoop::TakeSamples(std::size_t most,
                                    const std::function<void(const LoopSample&)>& sink) {
    return parts_->record.OwnReader().Take(most, sink);
}

std::unique_ptr<LoopReader> HapticLoop::Reader() const { return parts_->record.Reader(); }

void HapticLoop::Run() {
    Parts& parts = *parts_;
    // The waits of this thread end when Stop() gives up on the arm or when a
    // reply is overdue.
    Devices::CancellationScope scope([&parts] { return parts.link.WaitsEnd(); });
    // Only a loop that sleeps between exchanges runs under SCHED_FIFO: a
    // free-running one never yields, and would starve the normal threads
    // (the application's among them) that share its core.
    parts.record.SetRealtime(rate_hz_.has_value() && TryRealtime());
    Deadlines deadlines(rate_hz_);
    const Nanoseconds began = MonotonicNow();
    Nanoseconds previous_start = -1;
    LoopState state;
    bool answered = true;
    for (;;) {
        const std::optional<double> lateness_us = deadlines.SleepUntilDue(stop_requested_);
        if (!lateness_us) {
            break;
        }
        const Nanoseconds start = MonotonicNow();
        CycleForces forces; // the first cycle has no reply yet to work from: zero force
        if (state.cycle > 0) {
            const CycleInput cycle{state.position, state.velocity, Seconds(start - previous_start),
                                   Seconds(start - began)};
            forces = parts.pipeline.Run(cycle, start, parts.tasks);
        }
        if (!parts.Answered(parts.link.Exchange(forces.sent, state))) {
            answered = false;
            break;
        }
        CycleDone(state);
        const bool overrun = deadlines.Advance();
        parts.record.Cycle(state, forces, PeriodUs(previous_start, start), *lateness_us, overrun);
        previous_start = start;
    }
    Finish(answered, state, previous_start);
}

void HapticLoop::Finish(bool answered, const LoopState& state, Nanoseconds previous_start) {
    Parts& parts = *parts_;
    if (answered) {
        // Leave the arm without a force, a cycle of its own on the record;
        // Stop() cancels this too when the arm has fallen silent since.
        const Nanoseconds start = MonotonicNow();
        LoopState last = state;
        if (parts.Answered(parts.link.LeaveWithoutForce(last))) {
            CycleDone(last);
            CycleForces none; // sent at once, past the pipeline
            none.energy_j = parts.pipeline.passivity.EnergyJ();
            parts.record.Cycle(last, none, PeriodUs(previous_start, start), 0.0, false);
        }
    }
    parts.link.ReleaseArm();
    running_.store(false);
    parts.link.MarkEnded();
}

} // namespace Torvi::HardwareAPI::Haptics
