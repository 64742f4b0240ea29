#include "haptics/ForcePipeline.hpp"

#include "haptics/ParameterChecks.hpp"

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
    Checks::RequireFiniteComponents(force, "force");
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

void PassivityStage::Set(bool on) {
    if (on && !on_.load()) {
        switched_on_.fetch_add(1);
    }
    on_.store(on);
}

void PassivityStage::Begin() {
    seen_switched_on_ = switched_on_.load();
    controller_.Restart();
    rendered_ = Vector3{};
    damping_nsm_ = dissipated_j_ = 0.0;
}

Vector3 PassivityStage::Apply(const CycleInput& cycle, const Vector3& force) {
    const std::uint32_t switched_on = switched_on_.load(std::memory_order_relaxed);
    if (switched_on != seen_switched_on_) {
        seen_switched_on_ = switched_on;
        controller_.Restart();
    }
    const double dissipated_before = controller_.DissipatedJ();
    const Vector3 damped = controller_.Apply(
        {cycle.position, cycle.velocity, rendered_, hold_s_.value_or(cycle.step_s)}, force);
    if (!on_.load(std::memory_order_relaxed)) {
        // Observed all the same, so that the record shows what the rendering
        // gives out; the controller's damping is left out.
        damping_nsm_ = dissipated_j_ = 0.0;
        return force;
    }
    damping_nsm_ = controller_.DampingNsm();
    dissipated_j_ = controller_.DissipatedJ() - dissipated_before;
    return damped;
}

void PassivityStage::Sent(const Vector3& sent, const Vector3& external) {
    rendered_ = {sent[0] - external[0], sent[1] - external[1], sent[2] - external[2]};
}

CycleForces ForcePipeline::Run(const CycleInput& cycle, Nanoseconds start_ns,
                               const CycleTasks& tasks) {
    const Vector3 external_force = external.Read();
    Vector3 force = external_force;
    tasks.Step(cycle, start_ns, force);
    // Stages that shape what the tasks ask for go here, after the sum and
    // before the soft start and the clamp.
    force = passivity.Apply(cycle, force);
    force = soft_start.Apply(cycle, force);
    const Vector3 requested = force;
    force = clamp.Apply(force);
    force = rate_limit.Apply(cycle, force);
    passivity.Sent(force, soft_start.Apply(cycle, external_force));
    return {requested, force, passivity.EnergyJ(), passivity.DampingNsm(), passivity.DissipatedJ()};
}

} // namespace Torvi::HardwareAPI::Haptics
