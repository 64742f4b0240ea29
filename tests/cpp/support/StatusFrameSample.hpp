#pragma once

// One valid status frame and the values it decodes to, shared by the tests
// of the pure decoder and of the status reader on a pty.

#include "Torvi/HardwareAPI/devices/HandleMessages.hpp"

#include <gtest/gtest.h>

#include <array>

namespace TorviTest {

/// Raw bytes r[0] to r[17] of a frame: error 03, buttons 5 / hall 22
/// (1011 0110), device 42, quaternion 00 80 / 00 40 / FF 7F / 00 00, battery
/// 100. A test appends its own r[18], which is never used.
inline constexpr const char* kSampleFrameWithoutLastByte =
    "AA BB 03 B6 42 01 02 03 00 80 00 40 FF 7F 00 00 64 09";

inline void ExpectSampleFrameValues(const Torvi::HardwareAPI::Devices::HandleStatus& status) {
    EXPECT_EQ(status.error_flag, 3);
    EXPECT_EQ(status.buttons, 5);
    EXPECT_EQ(status.hall_effect_sensor_level, 22);
    EXPECT_EQ(status.device_id, 0x42);
    EXPECT_EQ(status.quaternion, (std::array<float, 4>{-1.0f, 0.5f, 0.999969482421875f, 0.0f}));
    EXPECT_EQ(status.battery_level, 3.5f);
}

} // namespace TorviTest
