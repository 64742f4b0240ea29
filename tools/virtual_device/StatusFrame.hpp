#pragma once

// The handle's two status forms as bytes: the byte-stuffed frame (fixed
// 19 bytes after the header code, Q15 quaternion) and the status message
// (binary32 quaternion, trailing user data).
//
// The frame leaves no room for escapes in its first 17 bytes: the host reads
// exactly 19 and accepts them only if they unstuff to 18. So the values put
// into those bytes are kept clear of END and ESC; the last byte, which is not
// used, may take one escape pair, and otherwise an END closes the frame.

#include "HandleSensors.hpp"
#include "Torvi/HardwareAPI/protocol/WireBytes.hpp"

#include <array>
#include <cstdint>

namespace Torvi::VirtualDevice {

using HardwareAPI::Wire::Bytes;

/// The 18 unstuffed bytes of a status frame.
using StatusFrameBytes = std::array<uint8_t, 18>;

/// A Q15 value for `component` (clamped to [-1, 1 - 2^-15]), moved by the
/// fewest steps needed to keep both of its bytes clear of END and ESC.
int16_t FrameSafeQ15(float component);

/// `byte` moved to its nearest neighbour that is neither END nor ESC.
uint8_t FrameSafeByte(uint8_t byte);

/// Lays the reading out as the 18 bytes of a frame; the device id is the
/// low byte of the handle's id. Fields are made frame-safe.
StatusFrameBytes LayOutStatusFrame(const HandleReading& reading, uint8_t device_id);

/// SLIP-stuffs the 18 bytes and closes the result with END up to the
/// frame's 19 bytes. Longer when a special byte sits in bytes 0 to 16.
Bytes StuffStatusFrame(const StatusFrameBytes& frame);

/// The whole status-frame reply: header code and 19 stuffed bytes.
Bytes EncodeStatusFrame(const HandleReading& reading, uint8_t device_id);

/// The whole status-message reply: header code, 21 bytes, user data.
Bytes EncodeStatusMessage(const HandleReading& reading, uint16_t device_id, const Bytes& user_data);

} // namespace Torvi::VirtualDevice
