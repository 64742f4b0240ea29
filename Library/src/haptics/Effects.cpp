#include "Torvi/HardwareAPI/haptics/Effects.hpp"

#include "haptics/ParameterChecks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace Torvi::HardwareAPI::Haptics {

namespace {

using Checks::RequireFinite;
using Checks::RequireNonNegative;

float Dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vector3 Difference(const Vector3& a, const Vector3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

Vector3 Scaled(const Vector3& v, float factor) {
    return {v[0] * factor, v[1] * factor, v[2] * factor};
}

Vector3 Sum(const Vector3& a, const Vector3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

float Norm(const Vector3& v) { return std::sqrt(Dot(v, v)); }

float MaxAbs(const Vector3& v) {
    return std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
}

/// How many units in the last place of the hand's largest coordinate a hand
/// past a Line's end may be from that end and still count as on it: closer
/// than that, the direction from the end to the hand is rounding.
constexpr float kLineRoundingUlps = 16.0f;

} // namespace

namespace ForceLaws {

Vector3 Spring(const SpringParameters& spring, const Vector3& position) {
    return Scaled(Difference(spring.anchor, position), spring.stiffness);
}

Vector3 Plane(const PlaneParameters& plane, const Vector3& position, const Vector3& velocity) {
    const float depth = Dot(Difference(plane.point, position), plane.normal);
    if (depth <= 0.0f) {
        return {};
    }
    const float magnitude = plane.stiffness * depth - plane.damping * Dot(velocity, plane.normal);
    // A hand leaving the wall fast would make the damping term pull it back
    // in; a wall only ever pushes.
    return Scaled(plane.normal, magnitude > 0.0f ? magnitude : 0.0f);
}

Vector3 Sphere(const SphereParameters& sphere, const Vector3& position) {
    const Vector3 offset = Difference(position, sphere.center);
    const float distance = Norm(offset);
    if (distance == 0.0f) {
        return {};
    }
    const Vector3 outward = Scaled(offset, 1.0f / distance);
    if (!sphere.inside && distance < sphere.radius) {
        return Scaled(outward, sphere.stiffness * (sphere.radius - distance));
    }
    if (sphere.inside && distance > sphere.radius) {
        return Scaled(outward, -sphere.stiffness * (distance - sphere.radius));
    }
    return {};
}

Vector3 Damper(const DamperParameters& damper, const Vector3& velocity) {
    return Scaled(velocity, -damper.coefficient);
}

Vector3 Line(const LineParameters& line, const Vector3& position, const Vector3& velocity) {
    const Vector3 along = Difference(line.end, line.start);
    const float t = Dot(Difference(position, line.start), along) / Dot(along, along);
    // Past an end the nearest point is that end itself, not start + along * t
    // rounded, so that its direction to the hand is as exact as the hand's.
    const bool past_end = t < 0.0f || t > 1.0f;
    const Vector3 nearest =
        t < 0.0f ? line.start : (t > 1.0f ? line.end : Sum(line.start, Scaled(along, t)));
    const Vector3 offset = Difference(nearest, position);
    const Vector3 spring = Scaled(offset, line.stiffness);
    const float distance = Norm(offset);
    if (past_end &&
        distance > kLineRoundingUlps * std::numeric_limits<float>::epsilon() * MaxAbs(position)) {
        const Vector3 toward = Scaled(offset, 1.0f / distance);
        return Sum(spring, Scaled(toward, -line.damping * Dot(velocity, toward)));
    }
    // Beside the segment, on it, or at an end within rounding of it: the
    // velocity across the segment is damped, never the velocity along it,
    // whatever direction rounding gives the offset.
    const Vector3 unit = Scaled(along, 1.0f / Norm(along));
    const Vector3 across = Difference(velocity, Scaled(unit, Dot(velocity, unit)));
    return Sum(spring, Scaled(across, -line.damping));
}

Vector3 Fence(const FenceParameters& fence, const Vector3& position, const Vector3& velocity) {
    Vector3 force{};
    for (std::size_t axis = 0; axis < force.size(); ++axis) {
        const float p = position[axis];
        const float spring =
            fence.stiffness * (std::clamp(p, fence.minimum[axis], fence.maximum[axis]) - p);
        const float pushed = spring - fence.damping * velocity[axis];
        // As a wall's, the damping may lessen the push back in, never turn it
        // into a pull outward.
        if (p < fence.minimum[axis]) {
            force[axis] = std::max(pushed, 0.0f);
        } else if (p > fence.maximum[axis]) {
            force[axis] = std::min(pushed, 0.0f);
        }
    }
    return force;
}

Vector3 Clamp(const Vector3& force, float max_force) {
    const float norm = Norm(force);
    if (norm <= max_force) {
        return force;
    }
    return Scaled(force, max_force / norm);
}

Vector3 LimitChange(const Vector3& previous, const Vector3& next, float max_change) {
    const Vector3 change = Difference(next, previous);
    const float norm = Norm(change);
    if (norm <= max_change) {
        return next;
    }
    return Sum(previous, Scaled(change, max_change / norm));
}

double Ramp(double elapsed_s, double duration_s) {
    if (elapsed_s >= duration_s) {
        return 1.0;
    }
    return elapsed_s <= 0.0 ? 0.0 : elapsed_s / duration_s;
}

} // namespace ForceLaws

void Validate(SpringParameters& parameters) {
    RequireFinite(parameters.anchor, "anchor");
    RequireNonNegative(parameters.stiffness, "stiffness");
}

void Validate(PlaneParameters& parameters) {
    RequireFinite(parameters.point, "point");
    RequireFinite(parameters.normal, "normal");
    RequireNonNegative(parameters.stiffness, "stiffness");
    RequireNonNegative(parameters.damping, "damping");
    const float length = Norm(parameters.normal);
    if (!(length > 0.0f) || !std::isfinite(length)) {
        throw std::invalid_argument("normal must be a non-zero vector");
    }
    parameters.normal = Scaled(parameters.normal, 1.0f / length);
}

void Validate(SphereParameters& parameters) {
    RequireFinite(parameters.center, "center");
    RequireNonNegative(parameters.radius, "radius");
    RequireNonNegative(parameters.stiffness, "stiffness");
}

void Validate(DamperParameters& parameters) {
    RequireNonNegative(parameters.coefficient, "coefficient");
}

void Validate(ConstantForceParameters& parameters) { RequireFinite(parameters.force, "force"); }

void Validate(LineParameters& parameters) {
    RequireFinite(parameters.start, "start");
    RequireFinite(parameters.end, "end");
    RequireNonNegative(parameters.stiffness, "stiffness");
    RequireNonNegative(parameters.damping, "damping");
    const Vector3 along = Difference(parameters.end, parameters.start);
    const float length = Norm(along);
    if (!(length > 0.0f) || !std::isfinite(Dot(along, along))) {
        throw std::invalid_argument("start and end must be two different points");
    }
}

void Validate(FenceParameters& parameters) {
    RequireFinite(parameters.minimum, "minimum");
    RequireFinite(parameters.maximum, "maximum");
    RequireNonNegative(parameters.stiffness, "stiffness");
    RequireNonNegative(parameters.damping, "damping");
    for (std::size_t axis = 0; axis < parameters.minimum.size(); ++axis) {
        if (parameters.minimum[axis] > parameters.maximum[axis]) {
            throw std::invalid_argument("minimum must not exceed maximum along any axis");
        }
    }
}

} // namespace Torvi::HardwareAPI::Haptics
