#pragma once

// Building the arm's requests and decoding its replies. Pure functions over
// bytes: they neither read nor write the stream, so they can be checked from
// tables. Layouts and lengths are those of ArmillarProtocol.hpp.

#include "Torvi/HardwareAPI/devices/ArmillarProtocol.hpp"
#include "Torvi/HardwareAPI/devices/UUID.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace Torvi::HardwareAPI::Devices {

/// Three floats of a Cartesian (x, y, z) or joint (0, 1, 2) quantity.
using Vector3 = std::array<float, 3>;
/// A quaternion as the arm sends it, components in wire order.
using Quaternion = std::array<float, 4>;

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

namespace ArmillarMessages {

/// A request without payload: the code alone. Returns the bytes to send (1).
std::size_t BuildRequest(uint8_t* buffer, uint8_t code);

/// A parameter request (0x0D) for `selector`. Returns the bytes to send (2).
std::size_t BuildParameterRequest(uint8_t* buffer, uint8_t selector);

/// The code followed by `count` little-endian binary32 values. Returns the
/// bytes to send, 4 * count + 1.
std::size_t BuildFloatsRequest(uint8_t* buffer, uint8_t code, const float* values,
                               std::size_t count);

/// A little-endian binary32 value at `bytes`.
float DecodeFloat(const uint8_t* bytes);

/// `N` consecutive little-endian binary32 values.
template <std::size_t N>
std::array<float, N> DecodeFloats(const uint8_t* payload) {
    std::array<float, N> values{};
    for (std::size_t i = 0; i < N; ++i) {
        values[i] = DecodeFloat(payload + 4 * i);
    }
    return values;
}

/// The 21-byte device-information payload.
DeviceInfo DecodeDeviceInfo(const uint8_t* payload);

/// The 17-byte parameter payload: its 16 data bytes, or nothing when the
/// length byte is not 16.
std::optional<UUID> DecodeParameter(const uint8_t* payload);

/// The 24-byte state payload: three floats of position, three of velocity.
ArmillarState DecodeState(const uint8_t* payload);

/// The power-status byte: any non-zero value means powered.
bool DecodePowerStatus(const uint8_t* payload);

} // namespace ArmillarMessages
} // namespace Torvi::HardwareAPI::Devices
