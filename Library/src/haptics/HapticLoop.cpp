#include "Torvi/HardwareAPI/haptics/HapticLoop.hpp"

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/haptics/MoveTo.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

namespace Torvi::HardwareAPI::Haptics {

namespace {

using Nanoseconds = std::int64_t;

constexpr Nanoseconds kNanosecondsPerSecond = 1'000'000'000;
constexpr double kNanosecondsPerMicrosecond = 1000.0;
/// A fixed-rate loop asleep until its deadline looks at the stop request at
/// least this often, so that a slow rate does not delay Stop().
constexpr Nanoseconds kLongestSleep = 10'000'000;
/// How far behind its deadlines a fixed-rate loop may fall and still make
/// the missed cycles up.
constexpr Nanoseconds kLongestCatchUp = 20'000'000;
/// The SCHED_FIFO priority of a fixed-rate loop: above every normal thread,
/// below the kernel's interrupt threads (50).
constexpr int kRealtimePriority = 40;
constexpr double kMedian = 0.50;
constexpr double kTail = 0.99;

/// How long one sleep for the reply lasts before the loop looks at Stop()
/// and the reply limit again, milliseconds.
constexpr int kReadableSlice = 10;
/// How long the loop watches for a reply before it sleeps for it: a little
/// more than a round trip to a device that answers at once.
constexpr std::chrono::microseconds kSpinBeforeSleep{50};
/// Polls of the port between two clock reads while watching for a reply:
/// under a microsecond of polling each.
constexpr unsigned kPollsPerClockRead = 4;

constexpr Vector3 kNoForce{0.0f, 0.0f, 0.0f};

Nanoseconds MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Nanoseconds>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

void SleepUntil(Nanoseconds deadline) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline / kNanosecondsPerSecond);
    until.tv_nsec = static_cast<long>(deadline % kNanosecondsPerSecond);
    // EINTR: a signal woke us early; the caller's loop sleeps again.
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

/// True when the calling thread now runs under SCHED_FIFO; false (and the
/// thread unchanged) when the process may not have it.
bool TryRealtime() {
    sched_param parameters{};
    parameters.sched_priority = kRealtimePriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

/// The deadlines of a fixed-rate loop, one period apart; a free-running
/// loop has none and never waits.
class Deadlines {
public:
    explicit Deadlines(const std::optional<double>& rate_hz)
        : period_(rate_hz ? static_cast<Nanoseconds>(static_cast<double>(kNanosecondsPerSecond) /
                                                     *rate_hz)
                          : 0),
          next_(MonotonicNow()) {}

    /// Sleeps until the next deadline, looking at `stop` at least every
    /// kLongestSleep. How late it woke, in microseconds, or nothing when
    /// `stop` was raised.
    std::optional<double> SleepUntilDue(const std::atomic<bool>& stop) const {
        if (period_ == 0) {
            return stop.load() ? std::nullopt : std::optional<double>(0.0);
        }
        Nanoseconds now = MonotonicNow();
        while (now < next_ && !stop.load()) {
            SleepUntil(std::min(next_, now + kLongestSleep));
            now = MonotonicNow();
        }
        if (stop.load()) {
            return std::nullopt;
        }
        return static_cast<double>(now - next_) / kNanosecondsPerMicrosecond;
    }

    /// Moves on to the next deadline once a cycle is done; true when the
    /// cycle ended past it (an overrun).
    bool Advance() {
        if (period_ == 0) {
            return false;
        }
        next_ += period_;
        const Nanoseconds now = MonotonicNow();
        if (now <= next_) {
            return false;
        }
        // A short delay is made up by running the late cycles at once, so
        // that the rate holds over time; after a longer one the missed ticks
        // are dropped rather than sent in a burst.
        if (now - next_ > kLongestCatchUp) {
            next_ += (now - next_) / period_ * period_;
        }
        return true;
    }

private:
    Nanoseconds period_;
    Nanoseconds next_;
};

double Percentile(std::vector<float> values, double fraction) {
    if (values.empty()) {
        return 0.0;
    }
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

Vector3 Plus(const Vector3& a, const Vector3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

Vector3 Scaled(const Vector3& v, double factor) {
    const auto f = static_cast<float>(factor);
    return {v[0] * f, v[1] * f, v[2] * f};
}

/// What max_force_rate_ holds when there is no rate limit (as initialised).
constexpr float kNoRateLimit = std::numeric_limits<float>::infinity();

/// The longest fade or wait measured in clock time, about 70 years: what is
/// longer is taken as that (a fade) or as no limit (a wait), so that no time
/// overflows the clock's nanoseconds.
constexpr double kLongestSeconds = 2.2e9;

/// A fade's length in nanoseconds; std::invalid_argument for a time that is
/// negative or not finite.
Nanoseconds FadeLength(double fade_s) {
    if (!std::isfinite(fade_s) || fade_s < 0.0) {
        throw std::invalid_argument("fade_s must be a non-negative finite number of seconds");
    }
    return static_cast<Nanoseconds>(std::llround(std::min(fade_s, kLongestSeconds) *
                                                 static_cast<double>(kNanosecondsPerSecond)));
}

double Seconds(Nanoseconds duration) {
    return static_cast<double>(duration) / static_cast<double>(kNanosecondsPerSecond);
}

/// Microseconds from `previous` to `start`; -1 when there was no previous
/// cycle (`previous` < 0).
double PeriodUs(Nanoseconds previous, Nanoseconds start) {
    return previous < 0 ? -1.0 : static_cast<double>(start - previous) / kNanosecondsPerMicrosecond;
}

/// Counts the cycle whose reply `state` now holds and stamps its arrival.
void CycleDone(LoopState& state) {
    ++state.cycle;
    state.time =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

/// A fade of one effect from `from` to `to` (0: a fade-out, which takes the
/// effect out of the loop when it is over), over `length` ns counted from the
/// first cycle that renders it. Its progress is the loop's thread's; the
/// caller reads it to turn a fade around where it stands.
struct HapticLoop::Fade {
    static constexpr Nanoseconds kNotBegun = -1;

    Fade(double from_scale, double to_scale, Nanoseconds length_ns)
        : from(from_scale), to(to_scale), length(length_ns), scale(static_cast<float>(from)) {}

    bool FadingOut() const { return to == 0.0; }
    /// Faded out: the effect is no longer in the loop.
    bool Gone() const { return FadingOut() && over.load(std::memory_order_relaxed); }
    /// The scale of the last cycle (`from` before the first).
    double Scale() const { return scale.load(std::memory_order_relaxed); }

    /// The loop's thread: the scale of the cycle that started at `start`.
    double Advance(Nanoseconds start) {
        Nanoseconds begun = began.load(std::memory_order_relaxed);
        if (begun == kNotBegun) {
            begun = start;
            began.store(start, std::memory_order_relaxed);
        }
        const double done = ForceLaws::Ramp(Seconds(start - begun), Seconds(length));
        const double now = from + (to - from) * done;
        scale.store(static_cast<float>(now), std::memory_order_relaxed);
        if (done >= 1.0) {
            over.store(true, std::memory_order_relaxed);
        }
        return now;
    }

    const double from;
    const double to;
    const Nanoseconds length;
    std::atomic<Nanoseconds> began{kNotBegun};
    std::atomic<float> scale;
    std::atomic<bool> over{false};
};

HapticLoop::HapticLoop(Devices::Armillar& arm, std::optional<double> rate_hz, float max_force,
                       std::size_t record_capacity, GentleForces gentle)
    : arm_(arm), rate_hz_(rate_hz), max_force_(max_force), record_(record_capacity) {
    if (rate_hz_ && (!std::isfinite(*rate_hz_) || *rate_hz_ <= 0.0)) {
        throw std::invalid_argument("rate_hz must be a positive finite number or None");
    }
    if (!std::isfinite(max_force_) || max_force_ <= 0.0f) {
        throw std::invalid_argument("max_force must be a positive finite number");
    }
    SetSoftStart(gentle.soft_start_s);
    SetMaxForceRate(gentle.max_force_rate);
    periods_.reserve(kPeriodWindow);
    lateness_.reserve(kPeriodWindow);
}

void HapticLoop::SetSoftStart(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
        throw std::invalid_argument("soft_start_s must be a non-negative finite number of seconds");
    }
    soft_start_s_.store(seconds);
}

void HapticLoop::SetMaxForceRate(std::optional<float> force_per_second) {
    if (force_per_second && (!std::isfinite(*force_per_second) || *force_per_second <= 0.0f)) {
        throw std::invalid_argument("max_force_rate must be a positive finite number or None");
    }
    max_force_rate_.store(force_per_second.value_or(kNoRateLimit));
}

std::optional<float> HapticLoop::MaxForceRate() const {
    const float rate = max_force_rate_.load();
    return rate == kNoRateLimit ? std::nullopt : std::optional<float>(rate);
}

HapticLoop::~HapticLoop() { Stop(); }

void HapticLoop::Start() {
    std::lock_guard<std::mutex> life(life_mutex_);
    if (running_.load()) {
        return;
    }
    if (thread_.joinable()) {
        // The loop stopped by itself; its thread has ended.
        thread_.join();
    }
    // A loop that stopped by itself has not settled its fades yet.
    SettleFades();
    if (!arm_.ClaimForDriver()) {
        throw std::runtime_error("the arm is already driven by a haptic loop");
    }
    stop_requested_.store(false);
    cancel_.Reset();
    run_soft_start_s_ = soft_start_s_.load();
    {
        // Effects with state start the run afresh.
        std::lock_guard<std::mutex> lock(inputs_mutex_);
        for (const Entry& entry : *effects_) {
            entry.effect->restart_due_.store(true);
        }
    }
    {
        std::lock_guard<std::mutex> lock(published_mutex_);
        state_ = LoopState{};
        stats_ = LoopStats{};
        periods_.clear();
        lateness_.clear();
        next_period_ = 0;
        error_.reset();
        started_at_ = last_cycle_at_ = Clock::now();
    }
    {
        std::lock_guard<std::mutex> lock(finished_mutex_);
        finished_ = false;
    }
    running_.store(true);
    try {
        thread_ = std::thread(&HapticLoop::Run, this);
    } catch (...) {
        running_.store(false);
        {
            std::lock_guard<std::mutex> lock(finished_mutex_);
            finished_ = true;
        }
        arm_.ReleaseFromDriver();
        throw;
    }
}

void HapticLoop::Stop() {
    std::lock_guard<std::mutex> life(life_mutex_);
    if (!thread_.joinable()) {
        return;
    }
    stop_requested_.store(true);
    {
        // Give the exchange under way and the final zero-force request their
        // time; a silent arm gets its waits cancelled.
        std::unique_lock<std::mutex> lock(finished_mutex_);
        if (!finished_changed_.wait_for(lock, kStopGrace, [this] { return finished_; })) {
            cancel_.Cancel();
        }
    }
    thread_.join();
    SettleFades();
}

std::optional<std::string> HapticLoop::Error() const {
    std::lock_guard<std::mutex> lock(published_mutex_);
    return error_;
}

namespace {

template <typename List, typename Pointer> auto Find(List& list, const Pointer& effect) {
    return std::find_if(list.begin(), list.end(),
                        [&](const auto& entry) { return entry.effect == effect; });
}

} // namespace

template <typename Change>
void HapticLoop::ChangeEffects(const std::shared_ptr<Effect>& effect, Change&& change) {
    Lists freed; // released after the lock
    std::lock_guard<std::mutex> changes(changes_mutex_);
    // A new list: the loop's thread may be adding up the old one.
    EffectList next = LiveEffects();
    std::forward<Change>(change)(next, Find(next, effect));
    Publish(std::move(next), freed);
}

std::shared_ptr<Effect> HapticLoop::Add(std::shared_ptr<Effect> effect, double fade_s) {
    if (!effect) {
        throw std::invalid_argument("effect must not be empty");
    }
    const Nanoseconds length = FadeLength(fade_s);
    ChangeEffects(effect, [&](EffectList& next, EffectList::iterator found) {
        if (found == next.end()) {
            effect->restart_due_.store(true);
            next.push_back(
                {effect, length > 0 ? std::make_shared<Fade>(0.0, 1.0, length) : nullptr});
        } else if (found->fade && found->fade->FadingOut()) {
            // Back before it has faded out: it turns where it stands.
            found->fade =
                length > 0 ? std::make_shared<Fade>(found->fade->Scale(), 1.0, length) : nullptr;
        }
    });
    return effect;
}

void HapticLoop::Remove(const std::shared_ptr<Effect>& effect, double fade_s) {
    const Nanoseconds length = FadeLength(fade_s);
    ChangeEffects(effect, [&](EffectList& next, EffectList::iterator found) {
        if (found == next.end()) {
            throw std::invalid_argument("the effect is not in this loop");
        }
        if (length > 0 && Running()) {
            const double from = found->fade ? found->fade->Scale() : 1.0;
            found->fade = std::make_shared<Fade>(from, 0.0, length);
        } else {
            next.erase(found);
        }
    });
}

bool HapticLoop::WaitArrived(const std::shared_ptr<MoveTo>& effect,
                             std::optional<std::chrono::duration<double>> timeout) {
    if (timeout && !(timeout->count() >= 0.0)) {
        throw std::invalid_argument("timeout must be a non-negative number or None");
    }
    {
        std::lock_guard<std::mutex> changes(changes_mutex_);
        const EffectList live = LiveEffects();
        if (!effect || Find(live, effect) == live.end()) {
            throw std::invalid_argument("the effect is not in this loop");
        }
    }
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

HapticLoop::EffectList HapticLoop::LiveEffects() const {
    EffectList live;
    live.reserve(effects_->size() + 1);
    for (const Entry& entry : *effects_) {
        if (entry.fade && entry.fade->Gone()) {
            continue;
        }
        live.push_back(entry);
        if (live.back().fade && live.back().fade->over.load(std::memory_order_relaxed)) {
            live.back().fade.reset(); // faded in: at full strength from now on
        }
    }
    return live;
}

void HapticLoop::Publish(EffectList next, Lists& freed) {
    auto published = std::make_shared<const EffectList>(std::move(next));
    retired_.reserve(retired_.size() + 1);
    {
        std::lock_guard<std::mutex> lock(inputs_mutex_);
        std::swap(effects_, published);
    }
    retired_.push_back(std::move(published));
    // A list no longer current gains no new holder: once this is its only
    // one, the loop's thread has let go of it for good.
    const auto let_go = std::stable_partition(
        retired_.begin(), retired_.end(), [](const auto& list) { return list.use_count() > 1; });
    std::move(let_go, retired_.end(), std::back_inserter(freed));
    retired_.erase(let_go, retired_.end());
}

void HapticLoop::SettleFades() {
    Lists freed; // released after the lock
    std::lock_guard<std::mutex> changes(changes_mutex_);
    EffectList next;
    for (const Entry& entry : LiveEffects()) {
        if (entry.fade && entry.fade->FadingOut()) {
            continue; // the stop ended its fade
        }
        next.push_back(entry);
        if (entry.fade) {
            next.back().fade = std::make_shared<Fade>(0.0, 1.0, entry.fade->length);
        }
    }
    Publish(std::move(next), freed);
}

void HapticLoop::SetForce(const Vector3& force) {
    for (const float component : force) {
        if (!std::isfinite(component)) {
            throw std::invalid_argument("force must hold finite numbers");
        }
    }
    std::lock_guard<std::mutex> lock(inputs_mutex_);
    external_force_ = force;
}

LoopState HapticLoop::State() const {
    std::lock_guard<std::mutex> lock(published_mutex_);
    return state_;
}

LoopStats HapticLoop::Stats() const {
    std::vector<float> periods;
    std::vector<float> lateness;
    LoopStats stats;
    {
        std::lock_guard<std::mutex> lock(published_mutex_);
        stats = stats_;
        periods = periods_;
        lateness = lateness_;
        const double seconds = std::chrono::duration<double>(last_cycle_at_ - started_at_).count();
        stats.rate_hz = seconds > 0.0 ? static_cast<double>(stats.cycles) / seconds : 0.0;
    }
    stats.period_p50_us = Percentile(periods, kMedian);
    stats.period_p99_us = Percentile(std::move(periods), kTail);
    stats.lateness_p99_us = Percentile(std::move(lateness), kTail);
    return stats;
}

std::vector<float> HapticLoop::PeriodsUs() const {
    std::lock_guard<std::mutex> lock(published_mutex_);
    // The ring, oldest first.
    std::vector<float> ordered(periods_.begin() + static_cast<std::ptrdiff_t>(next_period_),
                               periods_.end());
    ordered.insert(ordered.end(), periods_.begin(),
                   periods_.begin() + static_cast<std::ptrdiff_t>(next_period_));
    return ordered;
}

bool HapticLoop::ExchangeOverdue() const {
    return exchanging_ && Clock::now() - exchange_started_ > kReplyLimit;
}

Vector3 HapticLoop::Sum(const CycleInput& cycle, Nanoseconds start) const {
    // The list stays referenced by effects_ or retired_ until this thread
    // lets go of it, so the copy here is never the last one.
    std::shared_ptr<const EffectList> effects;
    Vector3 total;
    {
        std::lock_guard<std::mutex> lock(inputs_mutex_);
        effects = effects_;
        total = external_force_;
    }
    for (const Entry& entry : *effects) {
        Fade* const fade = entry.fade.get();
        if (fade != nullptr && fade->Gone()) {
            continue;
        }
        Effect& effect = *entry.effect;
        // A plain load first: effects shared by two loops are not written
        // by both every cycle.
        if (effect.restart_due_.load() && effect.restart_due_.exchange(false)) {
            effect.Restart();
        }
        const Vector3 force = effect.Render(cycle);
        total = Plus(total, fade != nullptr ? Scaled(force, fade->Advance(start)) : force);
    }
    return total;
}

std::pair<Vector3, Vector3> HapticLoop::CycleForces(const LoopState& state, Nanoseconds start,
                                                    Nanoseconds previous_start,
                                                    Nanoseconds began) const {
    if (state.cycle == 0) {
        // The first cycle has no reply yet to work from: it sends zero force.
        return {kNoForce, kNoForce};
    }
    const CycleInput cycle{state.position, state.velocity, Seconds(start - previous_start),
                           Seconds(start - began)};
    const Vector3 requested =
        Scaled(Sum(cycle, start), ForceLaws::Ramp(cycle.since_start_s, run_soft_start_s_));
    Vector3 sent = ForceLaws::Clamp(requested, max_force_);
    const float rate = max_force_rate_.load(std::memory_order_relaxed);
    if (rate != kNoRateLimit) {
        sent = ForceLaws::LimitChange(state.force, sent, static_cast<float>(rate * cycle.step_s));
    }
    return {requested, sent};
}

bool HapticLoop::Exchange(const Vector3& force, LoopState& state) {
    exchange_started_ = Clock::now();
    exchanging_ = true;
    arm_.SendForce(force);
    if (arm_.stream == nullptr || !arm_.stream->good()) {
        exchanging_ = false;
        Fail("the force request could not be written to the arm's port");
        return false;
    }
    if (AwaitReplyStart()) {
        arm_.ReceiveState(state.position, state.velocity);
        if (arm_.LastStateReceived()) {
            exchanging_ = false;
            state.force = force;
            return true;
        }
    }
    exchanging_ = false;
    if (cancel_.IsCancelled()) {
        // Stop() gave up on a silent arm: not a failure of the loop's own.
        return false;
    }
    if (Clock::now() - exchange_started_ > kReplyLimit) {
        Fail("the arm did not answer a force request within " +
             std::to_string(kReplyLimit.count()) + " ms");
    } else {
        Fail("the arm's reply to a force request was missing, wrong or short");
    }
    return false;
}

bool HapticLoop::AwaitReplyStart() const {
    // A quick reply is caught by watching for it for a round trip's time;
    // after that, sleep until it starts to arrive rather than spin in the
    // arm's wait, so that the core is free for the device's side of the
    // exchange and for the application's threads, which share it on a small
    // machine. The watch waits for the whole reply, so that the arm's wait
    // finds it queued and reads it in one call, and reads the clock only
    // every kPollsPerClockRead polls.
    IO::SerialStream& port = *arm_.stream;
    const auto whole = static_cast<int>(Devices::Armillar::StateReplyLength());
    const Clock::time_point spin_until = exchange_started_ + kSpinBeforeSleep;
    for (unsigned polls = 1; polls % kPollsPerClockRead != 0 || Clock::now() < spin_until;
         ++polls) {
        if (port.Available() >= whole) {
            return true;
        }
    }
    for (;;) {
        // Bytes, or a hang-up, that the arm's wait takes from here.
        if (port.Available() >= whole || port.WaitReadable(kReadableSlice)) {
            return true;
        }
        if (cancel_.IsCancelled() || ExchangeOverdue()) {
            return false;
        }
    }
}

void HapticLoop::Fail(std::string reason) {
    std::lock_guard<std::mutex> lock(published_mutex_);
    ++stats_.failures;
    error_ = std::move(reason);
}

std::size_t HapticLoop::PendingSamples() const {
    std::lock_guard<std::mutex> lock(record_reader_mutex_);
    return record_.Pending();
}

SampleDrain HapticLoop::TakeSamples(std::size_t most,
                                    const std::function<void(const LoopSample&)>& sink) {
    std::lock_guard<std::mutex> lock(record_reader_mutex_);
    return record_.Drain(most, sink);
}

void HapticLoop::Record(const LoopState& state, const Vector3& requested, double period_us,
                        double lateness_us, bool overrun) {
    record_.Push(LoopSample{
        state.cycle, state.time, state.position, state.velocity, requested, state.force,
        period_us < 0.0 ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(period_us)});
    std::lock_guard<std::mutex> lock(published_mutex_);
    state_ = state;
    last_cycle_at_ = Clock::now();
    ++stats_.cycles;
    stats_.overruns += overrun ? 1 : 0;
    if (period_us < 0.0) {
        return; // the first cycle has no period
    }
    stats_.period_max_us = std::max(stats_.period_max_us, period_us);
    if (periods_.size() < kPeriodWindow) {
        periods_.push_back(static_cast<float>(period_us));
        lateness_.push_back(static_cast<float>(lateness_us));
        next_period_ = periods_.size() % kPeriodWindow;
    } else {
        periods_[next_period_] = static_cast<float>(period_us);
        lateness_[next_period_] = static_cast<float>(lateness_us);
        next_period_ = (next_period_ + 1) % kPeriodWindow;
    }
}

void HapticLoop::Run() {
    // The waits of this thread end when Stop() gives up on the arm or when a
    // reply is overdue.
    Devices::CancellationScope scope([this] { return cancel_.IsCancelled() || ExchangeOverdue(); });
    // Only a loop that sleeps between exchanges runs under SCHED_FIFO: a
    // free-running one never yields, and would starve the normal threads
    // (the application's among them) that share its core.
    const bool realtime = rate_hz_.has_value() && TryRealtime();
    {
        std::lock_guard<std::mutex> lock(published_mutex_);
        stats_.realtime = realtime;
    }
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
        const auto [requested, sent] = CycleForces(state, start, previous_start, began);
        if (!Exchange(sent, state)) {
            answered = false;
            break;
        }
        CycleDone(state);
        const bool overrun = deadlines.Advance();
        Record(state, requested, PeriodUs(previous_start, start), *lateness_us, overrun);
        previous_start = start;
    }
    Finish(answered, state, previous_start);
}

void HapticLoop::Finish(bool answered, const LoopState& state, Nanoseconds previous_start) {
    if (answered) {
        // Leave the arm without a force, a cycle of its own on the record;
        // Stop() cancels this too when the arm has fallen silent since.
        const Nanoseconds start = MonotonicNow();
        LoopState last = state;
        if (Exchange(kNoForce, last)) {
            CycleDone(last);
            Record(last, kNoForce, PeriodUs(previous_start, start), 0.0, false);
        }
    }
    arm_.ReleaseFromDriver();
    running_.store(false);
    {
        std::lock_guard<std::mutex> lock(finished_mutex_);
        finished_ = true;
    }
    finished_changed_.notify_all();
}

} // namespace Torvi::HardwareAPI::Haptics
