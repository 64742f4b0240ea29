#include "haptics/LoopRecord.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace Torvi::HardwareAPI::Haptics {

namespace {

constexpr double kMedian = 0.50;
constexpr double kTail = 0.99;
constexpr std::size_t kPeriodWindow = HapticLoop::kPeriodWindow;

double Percentile(std::vector<float> values, double fraction) {
    if (values.empty()) {
        return 0.0;
    }
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

} // namespace

LoopRecord::LoopRecord(std::size_t capacity)
    : samples_(std::make_shared<SampleRecord>(capacity)), own_reader_(samples_) {
    periods_.reserve(kPeriodWindow);
    lateness_.reserve(kPeriodWindow);
}

void LoopRecord::Begin() {
    std::lock_guard<std::mutex> lock(published_mutex_);
    state_ = LoopState{};
    stats_ = LoopStats{};
    periods_.clear();
    lateness_.clear();
    next_period_ = 0;
    error_.reset();
    started_at_ = last_cycle_at_ = Clock::now();
}

void LoopRecord::SetRealtime(bool realtime) {
    std::lock_guard<std::mutex> lock(published_mutex_);
    stats_.realtime = realtime;
}

void LoopRecord::Cycle(const LoopState& state, const CycleForces& forces, double period_us,
                       double lateness_us, bool overrun) {
    samples_->Push(LoopSample{
        state.cycle, state.time, state.position, state.velocity, forces.requested, state.force,
        period_us < 0.0 ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(period_us),
        forces.energy_j, static_cast<float>(forces.damping_nsm)});
    std::lock_guard<std::mutex> lock(published_mutex_);
    state_ = state;
    last_cycle_at_ = Clock::now();
    ++stats_.cycles;
    stats_.overruns += overrun ? 1 : 0;
    stats_.passivity_cycles += forces.damping_nsm > 0.0 ? 1 : 0;
    stats_.passivity_dissipated_j += forces.dissipated_j;
    if (period_us >= 0.0) { // the first cycle has no period
        stats_.period_max_us = std::max(stats_.period_max_us, period_us);
        Keep(period_us, lateness_us);
    }
}

void LoopRecord::Keep(double period_us, double lateness_us) {
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

void LoopRecord::Fail(std::string reason) {
    std::lock_guard<std::mutex> lock(published_mutex_);
    ++stats_.failures;
    error_ = std::move(reason);
}

LoopState LoopRecord::State() const {
    std::lock_guard<std::mutex> lock(published_mutex_);
    return state_;
}

LoopStats LoopRecord::Stats() const {
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

std::vector<float> LoopRecord::PeriodsUs() const {
    std::lock_guard<std::mutex> lock(published_mutex_);
    // The ring, oldest first.
    std::vector<float> ordered(periods_.begin() + static_cast<std::ptrdiff_t>(next_period_),
                               periods_.end());
    ordered.insert(ordered.end(), periods_.begin(),
                   periods_.begin() + static_cast<std::ptrdiff_t>(next_period_));
    return ordered;
}

std::optional<std::string> LoopRecord::Error() const {
    std::lock_guard<std::mutex> lock(published_mutex_);
    return error_;
}

std::unique_ptr<LoopReader> LoopRecord::Reader() const {
    return std::make_unique<LoopReader>(samples_);
}

} // namespace Torvi::HardwareAPI::Haptics
