#pragma once

#include "Torvi/HardwareAPI/devices/ArmillarMessages.hpp"

#include <cstddef>
#include <cstdint>

// The arm's byte protocol: header codes, payload lengths and layouts. A
// message is one header-code byte and a payload whose length the code alone
// fixes; numbers are little-endian, floats IEEE-754 binary32.
namespace Torvi::HardwareAPI::Devices::ArmillarProtocol {

// Requests, host to arm.
inline constexpr uint8_t kDeviceWakeup = 0x0A;
inline constexpr uint8_t kOrientationRequest = 0x0C;
inline constexpr uint8_t kParameterRequest = 0x0D;
inline constexpr uint8_t kJointTorques = 0x1A;
inline constexpr uint8_t kJointAngles = 0x1C;
inline constexpr uint8_t kEndEffectorForce = 0x2A;
inline constexpr uint8_t kEndEffectorPosition = 0x2C;
inline constexpr uint8_t kTemperatureRequest = 0xAA;
inline constexpr uint8_t kCurrentRequest = 0xAB;
inline constexpr uint8_t kPowerStatusRequest = 0xAC;

// Replies, arm to host.
inline constexpr uint8_t kDeviceInfo = 0x0B;
inline constexpr uint8_t kOrientationReply = 0x0C;
inline constexpr uint8_t kParameterReply = 0x0D;
inline constexpr uint8_t kJointState = 0x1B;
inline constexpr uint8_t kEndEffectorState = 0x2B;
inline constexpr uint8_t kTemperatureReply = 0xAA;
inline constexpr uint8_t kCurrentReply = 0xAB;
inline constexpr uint8_t kPowerStatusReply = 0xAC;

// Parameter selectors of kParameterRequest / kParameterReply.
inline constexpr uint8_t kSelectorDeviceId = 0xD1;
inline constexpr uint8_t kSelectorFirmwareVersion = 0xD2;

// Payload lengths after the header code (the parameter reply's selector byte
// is read as a second header byte and not counted here).
inline constexpr std::size_t kDeviceInfoLength = 21;
inline constexpr std::size_t kOrientationLength = 16;
inline constexpr std::size_t kParameterLength = 17;
inline constexpr std::size_t kStateLength = 24; // joint state and end-effector state
inline constexpr std::size_t kTemperatureLength = 4;
inline constexpr std::size_t kCurrentLength = 12;
inline constexpr std::size_t kPowerStatusLength = 1;

// Request sizes on the wire.
inline constexpr std::size_t kVectorCount = 3; // floats in a vector request
inline constexpr std::size_t kVectorRequestLength = 1 + 4 * kVectorCount; // 13 bytes
inline constexpr std::size_t kParameterRequestLength = 2;

// Floats in the orientation reply: a quaternion.
inline constexpr std::size_t kQuaternionCount = 4;

// Device information layout (offsets into the 21-byte payload).
inline constexpr std::size_t kInfoDeviceIdOffset = 0;   // uint16
inline constexpr std::size_t kInfoModelOffset = 2;      // uint8
inline constexpr std::size_t kInfoHardwareOffset = 3;   // uint8
inline constexpr std::size_t kInfoFirmwareOffset = 4;   // uint8
inline constexpr std::size_t kInfoIdentifierOffset = 5; // 16 raw bytes

// Parameter reply layout (offsets into the 17-byte payload).
inline constexpr std::size_t kParameterLengthOffset = 0;
inline constexpr std::size_t kParameterDataOffset = 1;
inline constexpr uint8_t kParameterDataLength = 16;

// kArmillarModelNumber, the model number of an arm's device info, is in
// devices/ArmillarMessages.hpp: a user checks a wakeup reply against it.

/// Bytes the host drains after an unexpected reply code (the receive buffer's size).
inline constexpr unsigned kDrainLength = 1024;

} // namespace Torvi::HardwareAPI::Devices::ArmillarProtocol
