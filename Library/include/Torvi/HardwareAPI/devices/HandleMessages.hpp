#pragma once

// What the handle's replies and status frames decode to: the records its
// event handlers and status reader hand over.

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace Torvi::HardwareAPI::Devices {

// The part of the handle's protocol that the records below and their users
// need; the rest of HandleProtocol is internal to the library.
namespace HandleProtocol {
/// Components of every quaternion the handle reports.
inline constexpr std::size_t kQuaternionComponents = Quaternion().size();
/// The largest user-data length byte of a HandleState or status message.
inline constexpr std::size_t kMaxUserDataLength = 255;
/// Room for user data: the largest length byte, plus one.
inline constexpr std::size_t kUserDataCapacity = kMaxUserDataLength + 1;

// The status reader's own markers in error_flag; they share the field with
// whatever the device reports there.
/// The frame came short or did not unstuff to 18 bytes.
inline constexpr uint8_t kStatusBadFrame = 1;
/// No status frame header arrived.
inline constexpr uint8_t kStatusNoAnswer = 2;
} // namespace HandleProtocol

/// A decoded HandleInfoResponse (reply 0xD0).
struct HandleInfoResponse {
    uint16_t device_id = 0;
    uint8_t tool_data_remaining = 0;
    uint8_t device_model_number = 0;
    uint8_t hardware_version = 0;
    uint8_t firmware_version = 0;
};

/// A decoded HandleStatusMessage (reply 0xDA as the receive step reads it).
struct HandleStatusMessage {
    uint16_t device_id = 0;
    Quaternion quaternion{};
    uint8_t error_flag = 0;
    uint8_t hall_effect_sensor_level = 0;
    uint8_t user_data_length = 0;
    /// The first `user_data_length` bytes are meaningful, the rest are zero.
    std::array<uint8_t, HandleProtocol::kUserDataCapacity> user_data{};
};

/// A decoded HandleErrorResponse (reply 0xDF).
struct HandleErrorResponse {
    uint16_t device_id = 0;
    uint8_t error_code = 0;
};

/// What the status reader returns: a decoded HandleStatusFrame, or the
/// reader's own no-answer or bad-frame result (see HandleProtocol markers).
/// It starts as HandleStatusMessage does because both forms of status carry
/// the same readings; the two stay apart because their wire forms, and the
/// handlers that receive them, differ (an 8-bit id, buttons and battery here).
struct HandleStatus {
    uint8_t device_id = 0;
    Quaternion quaternion{};
    uint8_t error_flag = 0;
    uint8_t hall_effect_sensor_level = 0; ///< 0 to 31
    uint8_t buttons = 0;                  ///< 0 to 7
    float battery_level = 0.0f;           ///< volts
};

} // namespace Torvi::HardwareAPI::Devices
