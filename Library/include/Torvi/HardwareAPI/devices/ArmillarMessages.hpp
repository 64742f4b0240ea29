#pragma once

// What the arm's replies decode to: the values its operations return.

#include "Torvi/HardwareAPI/devices/UUID.hpp"
#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <cstdint>

namespace Torvi::HardwareAPI::Devices {

// The part of the arm's protocol that users check against; the rest of
// ArmillarProtocol is internal to the library.
namespace ArmillarProtocol {
/// The model number with which an arm identifies itself in its device info.
inline constexpr uint8_t kArmillarModelNumber = 4;
} // namespace ArmillarProtocol

/// The decoded device-information reply (0x0B).
struct DeviceInfo {
    uint16_t device_id = 0;
    uint8_t device_model_number = 0; ///< ArmillarProtocol::kArmillarModelNumber for an arm
    uint8_t hardware_version = 0;
    uint8_t firmware_version = 0;
    UUID device_id_ext;
};

/// A state reply (0x2B or 0x1B): end-effector position and velocity, or raw
/// joint angles (degrees) and joint velocities.
struct ArmillarState {
    Vector3 position{};
    Vector3 velocity{};
};

} // namespace Torvi::HardwareAPI::Devices
