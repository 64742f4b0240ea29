#pragma once

// The checks that the effects' Validate functions share: each throws
// std::invalid_argument naming the parameter.

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace Torvi::HardwareAPI::Haptics::Checks {

inline void RequireFinite(float value, const char* name) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(name) + " must be a finite number");
    }
}

inline void RequireFinite(const Devices::Vector3& value, const char* name) {
    for (const float component : value) {
        RequireFinite(component, name);
    }
}

inline void RequireNonNegative(float value, const char* name) {
    RequireFinite(value, name);
    if (value < 0.0f) {
        throw std::invalid_argument(std::string(name) + " must not be negative");
    }
}

/// Every component finite; the message speaks of the whole (a vector, a
/// quaternion) rather than of one number.
template <std::size_t N>
void RequireFiniteComponents(const std::array<float, N>& value, const char* name) {
    for (const float component : value) {
        if (!std::isfinite(component)) {
            throw std::invalid_argument(std::string(name) + " must hold finite numbers");
        }
    }
}

} // namespace Torvi::HardwareAPI::Haptics::Checks
