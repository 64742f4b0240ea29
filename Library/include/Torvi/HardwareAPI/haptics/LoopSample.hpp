#pragma once

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <cstdint>

namespace Torvi::HardwareAPI::Haptics {

using Devices::Vector3;

/// One cycle of the loop as the record keeps it. The recorder may grow
/// further record types for effects that keep state; each gets a ring of
/// its own.
struct LoopSample {
    std::uint64_t cycle = 0; ///< 1 for the first cycle after each Start()
    double time = 0.0;       ///< when the reply arrived, as LoopState::time
    Vector3 position{};      ///< from the reply
    Vector3 velocity{};      ///< from the reply
    /// What the effects asked for: their sum (each scaled by its fade) plus
    /// the external force, scaled by the soft start; before the clamp.
    Vector3 requested{};
    /// What was sent: `requested` after the clamp and the rate limit.
    Vector3 force{};
    /// Microseconds since the previous cycle started; NaN for the first
    /// cycle after Start(), which has none.
    float period_us = 0.0f;
    /// The passivity observer's energy after this cycle, J (its sign as
    /// Passivity.hpp states), observed whether the controller is on or not.
    double energy = 0.0;
    /// The damping the passivity controller added in this cycle, N·s/m; 0 when
    /// none.
    float passivity_damping = 0.0f;
};

} // namespace Torvi::HardwareAPI::Haptics
