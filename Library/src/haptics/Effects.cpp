#include "Torvi/HardwareAPI/haptics/Effects.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace Torvi::HardwareAPI::Haptics {

namespace {

float Dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vector3 Difference(const Vector3& a, const Vector3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

Vector3 Scaled(const Vector3& v, float factor) {
    return {v[0] * factor, v[1] * factor, v[2] * factor};
}

float Norm(const Vector3& v) { return std::sqrt(Dot(v, v)); }

void RequireFinite(float value, const char* name) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(name) + " must be a finite number");
    }
}

void RequireFinite(const Vector3& value, const char* name) {
    for (const float component : value) {
        RequireFinite(component, name);
    }
}

void RequireNonNegative(float value, const char* name) {
    RequireFinite(value, name);
    if (value < 0.0f) {
        throw std::invalid_argument(std::string(name) + " must not be negative");
    }
}

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

Vector3 Clamp(const Vector3& force, float max_force) {
    const float norm = Norm(force);
    if (norm <= max_force) {
        return force;
    }
    return Scaled(force, max_force / norm);
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

} // namespace Torvi::HardwareAPI::Haptics
