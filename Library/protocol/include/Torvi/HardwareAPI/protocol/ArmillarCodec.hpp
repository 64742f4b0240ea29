#pragma once

// Building the arm's requests and decoding its replies. Pure functions over
// bytes: they neither read nor write the stream, so they can be checked from
// tables. Layouts and lengths are those of ArmillarProtocol.hpp.

#include "Torvi/HardwareAPI/devices/ArmillarMessages.hpp"
#include "Torvi/HardwareAPI/protocol/ArmillarProtocol.hpp"
#include "Torvi/HardwareAPI/protocol/WireBytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace Torvi::HardwareAPI::Devices::ArmillarMessages {

/// A request without payload: the code alone. Returns the bytes to send (1).
std::size_t BuildRequest(uint8_t* buffer, uint8_t code);

/// A parameter request (0x0D) for `selector`. Returns the bytes to send (2).
std::size_t BuildParameterRequest(uint8_t* buffer, uint8_t selector);

/// The code followed by `count` little-endian binary32 values. Returns the
/// bytes to send, 4 * count + 1.
std::size_t BuildFloatsRequest(uint8_t* buffer, uint8_t code, const float* values,
                               std::size_t count);

/// Little-endian binary32 values, as the wire carries them.
using Wire::DecodeFloat;
using Wire::DecodeFloats;

/// The 21-byte device-information payload.
DeviceInfo DecodeDeviceInfo(const uint8_t* payload);

/// The 17-byte parameter payload: its 16 data bytes, or nothing when the
/// length byte is not 16.
std::optional<UUID> DecodeParameter(const uint8_t* payload);

/// The 24-byte state payload: three floats of position, three of velocity.
ArmillarState DecodeState(const uint8_t* payload);

/// The power-status byte: any non-zero value means powered.
bool DecodePowerStatus(const uint8_t* payload);

} // namespace Torvi::HardwareAPI::Devices::ArmillarMessages
