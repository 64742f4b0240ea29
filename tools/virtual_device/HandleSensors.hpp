#pragma once

// What the handle's sensors read at a moment: a slowly turning orientation,
// buttons pressed one after another, a hall-effect level rising and falling
// and a battery running down. A pure function of the time since power-on.

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <array>
#include <cstdint>

namespace Torvi::VirtualDevice {

struct HandleReading {
    HardwareAPI::Devices::Quaternion quaternion{}; ///< unit quaternion, (x, y, z, w)
    uint8_t buttons = 0;                           ///< 0 to 7, one bit per button
    uint8_t hall_level = 0;                        ///< 0 to 31
    uint8_t battery_raw = 0;                       ///< volts = raw * 0.005 + 3.0
    uint8_t error_flag = 0;
};

// How the readings move.
inline constexpr double kTurnRate = 0.5;                           ///< rad/s about kTurnAxis
inline constexpr std::array<double, 3> kTurnAxis{0.48, 0.6, 0.64}; ///< unit length
inline constexpr double kButtonPeriod = 0.75; ///< s per step of the button pattern
inline constexpr double kHallPeriod = 4.0;    ///< s for the level to rise and fall
inline constexpr uint8_t kHallMaximum = 31;
inline constexpr uint8_t kBatteryFull = 200;        ///< raw, 4.0 V
inline constexpr uint8_t kBatteryEmpty = 100;       ///< raw, 3.5 V
inline constexpr double kBatteryStepSeconds = 30.0; ///< s per raw step of discharge

HandleReading ReadHandleSensors(double seconds_since_start);

} // namespace Torvi::VirtualDevice
