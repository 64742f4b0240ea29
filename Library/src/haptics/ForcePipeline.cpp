#include "haptics/ForcePipeline.hpp"

#include <cmath>
#include <stdexcept>

namespace Torvi::HardwareAPI::Haptics {

namespace {

Vector3 Scaled(const Vector3& v, double factor) {
    const auto f = static_cast<float>(factor);
    return {v[0] * f, v[1] * f, v[2] * f};
}

} // namespace

void ExternalForce::Set(const Vector3& force) {
    for (const float component : force) {
        if (!std::isfinite(component)) {
            throw std::invalid_argument("force must hold finite numbers");
        }
    }
    std::lock_guard<std::mutex> lock(writers_);
    const std::uint32_t version = version_.load(std::memory_order_relaxed);
    version_.store(version + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t i = 0; i < force.size(); ++i) {
        components_[i].store(force[i], std::memory_order_relaxed);
    }
    version_.store(version + 2, std::memory_order_release);
}

Vector3 ExternalForce::Read() {
    const std::uint32_t before = version_.load(std::memory_order_acquire);
    if (before % 2 != 0) {
        return last_read_; // a write is under way
    }
    Vector3 read;
    for (std::size_t i = 0; i < read.size(); ++i) {
        read[i] = components_[i].load(std::memory_order_relaxed);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (version_.load(std::memory_order_relaxed) == before) {
        last_read_ = read;
    }
    return last_read_;
}

void SoftStart::Set(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
        throw std::invalid_argument("soft_start_s must be a non-negative finite number of seconds");
    }
    next_s_.store(seconds);
}

Vector3 SoftStart::Apply(const CycleInput& cycle, const Vector3& force) const {
    return Scaled(force, ForceLaws::Ramp(cycle.since_start_s, run_s_));
}

void ForceRateLimit::Set(std::optional<float> force_per_second) {
    if (force_per_second && (!std::isfinite(*force_per_second) || *force_per_second <= 0.0f)) {
        throw std::invalid_argument("max_force_rate must be a positive finite number or None");
    }
    rate_.store(force_per_second.value_or(kNoLimit));
}

std::optional<float> ForceRateLimit::Get() const {
    const float rate = rate_.load();
    return rate == kNoLimit ? std::nullopt : std::optional<float>(rate);
}

Vector3 ForceRateLimit::Apply(const CycleInput& cycle, const Vector3& force) {
    const float rate = rate_.load(std::memory_order_relaxed);
    if (rate != kNoLimit) {
        previous_ =
            ForceLaws::LimitChange(previous_, force, static_cast<float>(rate * cycle.step_s));
    } else {
        previous_ = force;
    }
    return previous_;
}

CycleForces ForcePipeline::Run(const CycleInput& cycle, Nanoseconds start_ns,
                               const CycleTasks& tasks) {
    Vector3 force = external.Read();
    tasks.Step(cycle, start_ns, force);
    // A stage that shapes what the effects ask for (a passivity controller)
    // goes here: after the sum, before the soft start and the clamp.
    force = soft_start.Apply(cycle, force);
    const Vector3 requested = force;
    force = clamp.Apply(force);
    force = rate_limit.Apply(cycle, force);
    return {requested, force};
}

} // namespace Torvi::HardwareAPI::Haptics
