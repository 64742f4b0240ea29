#pragma once

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <atomic>
#include <mutex>
#include <utility>

namespace Torvi::HardwareAPI::Haptics {

using Devices::Vector3;

// The parameters of each effect. Lengths and positions are in the arm's
// Cartesian frame, forces in the unit the arm's force request takes.

struct SpringParameters {
    Vector3 anchor{};
    float stiffness = 0.0f; ///< force per unit of distance, >= 0
};

struct PlaneParameters {
    Vector3 point{};  ///< any point of the wall's surface
    Vector3 normal{}; ///< unit length, from the solid into free space
    float stiffness = 0.0f;
    float damping = 0.0f; ///< force per unit of velocity into the wall, >= 0
};

struct SphereParameters {
    Vector3 center{};
    float radius = 0.0f;
    float stiffness = 0.0f;
    bool inside = false; ///< true: keeps the hand inside; false: a solid ball
};

struct DamperParameters {
    float coefficient = 0.0f; ///< force per unit of velocity, >= 0
};

struct ConstantForceParameters {
    Vector3 force{};
};

/// A segment the hand is pulled onto, free to move along it.
struct LineParameters {
    Vector3 start{};
    Vector3 end{}; ///< a point other than `start`
    float stiffness = 0.0f;
    float damping = 0.0f; ///< force per unit of velocity across the segment, >= 0
};

/// The workspace as a box with its faces along the axes.
struct FenceParameters {
    Vector3 minimum{}; ///< the lowest corner: each component <= `maximum`'s
    Vector3 maximum{};
    float stiffness = 0.0f;
    float damping = 0.0f; ///< force per unit of outward velocity, >= 0
};

/// The force laws: pure functions of the parameters and the end effector's
/// position and velocity. They assume parameters that passed Validate.
namespace ForceLaws {
Vector3 Spring(const SpringParameters& spring, const Vector3& position);
/// One-sided: pushes out of the solid, never pulls into it.
Vector3 Plane(const PlaneParameters& plane, const Vector3& position, const Vector3& velocity);
/// No force exactly at the centre, where the direction is undefined.
Vector3 Sphere(const SphereParameters& sphere, const Vector3& position);
Vector3 Damper(const DamperParameters& damper, const Vector3& velocity);
/// Toward the segment's nearest point: F = stiffness * (nearest - position)
/// - damping * (the velocity across the segment: its part perpendicular to
/// the segment), so that motion along the segment between its ends is never
/// damped, on it or at any distance from it. Past an end the nearest point is
/// that end, and the damping is of the velocity toward or away from it; a
/// hand past an end but within rounding of it (16 units in the last place of
/// its largest coordinate), where that direction is rounding, counts as on
/// the segment: only its velocity across it is damped.
Vector3 Line(const LineParameters& line, const Vector3& position, const Vector3& velocity);
/// Nothing inside the box; outside, along each axis the hand crossed, a
/// spring back to that face with damping of the outward velocity. Like a
/// wall's, the force never points out of the box.
Vector3 Fence(const FenceParameters& fence, const Vector3& position, const Vector3& velocity);
/// `force` scaled down to `max_force` when its norm is larger, direction
/// kept.
Vector3 Clamp(const Vector3& force, float max_force);
/// `next`, or, when it differs from `previous` by more than `max_change`,
/// `previous` plus the difference scaled down to `max_change` (its direction
/// kept). An infinite `max_change` gives `next`.
Vector3 LimitChange(const Vector3& previous, const Vector3& next, float max_change);
/// How far a linear ramp of `duration_s` has come after `elapsed_s`: 0 before
/// it starts, 1 once it is over (a ramp of no duration is over at once).
double Ramp(double elapsed_s, double duration_s);
} // namespace ForceLaws

/// Checks a parameter set and brings it to its canonical form (the plane's
/// normal to unit length). Throws std::invalid_argument for a non-finite
/// number, a negative stiffness, damping, coefficient or radius, a zero
/// normal, a line whose start is its end, or a fence whose minimum exceeds
/// its maximum along an axis; the argument is then unchanged.
void Validate(SpringParameters& parameters);
void Validate(PlaneParameters& parameters);
void Validate(SphereParameters& parameters);
void Validate(DamperParameters& parameters);
void Validate(ConstantForceParameters& parameters);
void Validate(LineParameters& parameters);
void Validate(FenceParameters& parameters);

class HapticLoop;

/// What a cycle of the loop knows when it adds up the effects.
struct CycleInput {
    Vector3 position{};         ///< of the previous reply
    Vector3 velocity{};         ///< of the previous reply
    double step_s = 0.0;        ///< seconds since the previous cycle started
    double since_start_s = 0.0; ///< seconds since the loop started
};

/// Something that adds a force to each cycle of a HapticLoop. Restart(),
/// Render() and Force() run on the loop's thread; they must not block for
/// long, allocate nor throw.
///
/// An effect that keeps state between cycles (a proxy, a travelling anchor)
/// keeps it on the loop's thread alone: Render() updates it, Restart()
/// clears it, and what other threads may read of it the effect publishes as
/// a copy. Such an effect belongs to one loop at a time.
class Effect {
public:
    virtual ~Effect() = default;
    /// Before the first Render() of each run of a loop, and before the first
    /// Render() after the effect joined a running loop.
    virtual void Restart() {}
    /// Once per cycle: the effect's force for the cycle. Without state of
    /// its own an effect renders Force() of the reply's position and velocity.
    virtual Vector3 Render(const CycleInput& cycle) {
        return Force(cycle.position, cycle.velocity);
    }
    virtual Vector3 Force(const Vector3& position, const Vector3& velocity) const = 0;

    /// On the caller's thread, when `loop` takes the effect in (an Add of an
    /// effect not in it). An effect that cannot join that loop (one that
    /// belongs to another, or that the loop's rate does not suit) throws
    /// std::invalid_argument, and the loop is left as it was.
    virtual void Joining(const HapticLoop& loop) { static_cast<void>(loop); }
    /// On the caller's thread, once the effect is out of `loop` (removed, its
    /// fade-out over, or the loop destroyed). The loop's thread may still
    /// render it once more, in the cycle under way.
    virtual void Left(const HapticLoop& loop) { static_cast<void>(loop); }

private:
    friend class EffectSet;
    /// Set by the loop that takes the effect in (Add, Start); taken by the
    /// loop's thread, which then calls Restart(). The loop's effect set
    /// (internal) keeps it.
    std::atomic<bool> restart_due_{true};
};

/// An effect whose parameters any thread may read or change while a loop
/// uses it. A change is validated first and is seen whole by the next cycle:
/// the lock is held only to copy the parameters, never while waiting.
template <typename Parameters> class ParametricEffect : public Effect {
public:
    /// Throws std::invalid_argument as Validate does.
    explicit ParametricEffect(Parameters initial) : parameters_(Validated(initial)) {}

    Parameters Get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return parameters_;
    }

    /// Applies `change` to a copy, validates it, and only then publishes it;
    /// on std::invalid_argument the effect keeps its parameters.
    template <typename Change> void Update(Change&& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        Parameters next = parameters_;
        std::forward<Change>(change)(next);
        Validate(next);
        parameters_ = next;
    }

private:
    /// `parameters` as Validate leaves them (a plane's normal normalised).
    static Parameters Validated(Parameters parameters) {
        Validate(parameters);
        return parameters;
    }

    mutable std::mutex mutex_;
    Parameters parameters_;
};

class Spring final : public ParametricEffect<SpringParameters> {
public:
    using ParametricEffect::ParametricEffect;
    Vector3 Force(const Vector3& position, const Vector3&) const override {
        return ForceLaws::Spring(Get(), position);
    }
};

class Plane final : public ParametricEffect<PlaneParameters> {
public:
    using ParametricEffect::ParametricEffect;
    Vector3 Force(const Vector3& position, const Vector3& velocity) const override {
        return ForceLaws::Plane(Get(), position, velocity);
    }
};

class Sphere final : public ParametricEffect<SphereParameters> {
public:
    using ParametricEffect::ParametricEffect;
    Vector3 Force(const Vector3& position, const Vector3&) const override {
        return ForceLaws::Sphere(Get(), position);
    }
};

class Damper final : public ParametricEffect<DamperParameters> {
public:
    using ParametricEffect::ParametricEffect;
    Vector3 Force(const Vector3&, const Vector3& velocity) const override {
        return ForceLaws::Damper(Get(), velocity);
    }
};

class ConstantForce final : public ParametricEffect<ConstantForceParameters> {
public:
    using ParametricEffect::ParametricEffect;
    Vector3 Force(const Vector3&, const Vector3&) const override { return Get().force; }
};

/// A virtual fixture: pulls the hand onto a segment, free along it.
class Line final : public ParametricEffect<LineParameters> {
public:
    using ParametricEffect::ParametricEffect;
    Vector3 Force(const Vector3& position, const Vector3& velocity) const override {
        return ForceLaws::Line(Get(), position, velocity);
    }
};

/// Keeps the hand inside a box, such as the arm's safe range.
class Fence final : public ParametricEffect<FenceParameters> {
public:
    using ParametricEffect::ParametricEffect;
    Vector3 Force(const Vector3& position, const Vector3& velocity) const override {
        return ForceLaws::Fence(Get(), position, velocity);
    }
};

} // namespace Torvi::HardwareAPI::Haptics
