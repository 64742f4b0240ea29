#pragma once

#include "Torvi/HardwareAPI/devices/HandleMessages.hpp"

#include <cstddef>
#include <cstdint>

// The handle's byte protocol: header codes, payload lengths and layouts.
// Numbers are little-endian, floats IEEE-754 binary32. The code 0xDA goes
// both ways: as a request it asks for status, as a reply it opens a status
// message, read in one of two forms fixed by the reading operation.
// Laid out as ArmillarProtocol.hpp is, on purpose (requests, replies,
// lengths, then offsets), so that the two protocols read side by side.
namespace Torvi::HardwareAPI::Devices::HandleProtocol {

// Requests, host to handle.
inline constexpr uint8_t kDeviceWakeup = 0x0A;
inline constexpr uint8_t kStatusRequest = 0xDA;
inline constexpr uint8_t kHandleState = 0xDB;

// Replies, handle to host.
inline constexpr uint8_t kInfoResponse = 0xD0;
inline constexpr uint8_t kStatusMessage = 0xDA;
inline constexpr uint8_t kErrorResponse = 0xDF;

// Every message opens with one header-code byte.
inline constexpr std::size_t kHeaderCodeLength = 1;

// Payload lengths after the header code.
inline constexpr std::size_t kInfoResponseLength = 6;
inline constexpr std::size_t kStatusMessageLength = 21; // then user_data_length bytes
inline constexpr std::size_t kStatusFrameLength = 19;   // byte-stuffed
inline constexpr std::size_t kStatusFrameDecodedLength = 18;
inline constexpr std::size_t kErrorResponseLength = 3;

// HandleState request: code, device id (uint16), data length (uint8), data.
// kMaxUserDataLength, kQuaternionComponents and kUserDataCapacity size the
// public records and are in devices/HandleMessages.hpp.
inline constexpr std::size_t kHandleStateHeaderLength = 4;

// Byte stuffing of the status frame (SLIP, RFC 1055).
inline constexpr uint8_t kSlipEnd = 0xC0;
inline constexpr uint8_t kSlipEsc = 0xDB;
inline constexpr uint8_t kSlipEscEnd = 0xDC;
inline constexpr uint8_t kSlipEscEsc = 0xDD;

// HandleState request layout (offsets from the header code).
inline constexpr std::size_t kStateDeviceIdOffset = 1;   // uint16
inline constexpr std::size_t kStateDataLengthOffset = 3; // uint8
inline constexpr std::size_t kStateUserDataOffset = 4;   // data_length bytes
inline constexpr std::size_t kMaxHandleStateLength = kHandleStateHeaderLength + kMaxUserDataLength;

// HandleInfoResponse layout (offsets into the 6-byte payload). Byte 1 is not
// read; byte 3 is both the high byte of the device id and the model number.
inline constexpr std::size_t kInfoToolDataOffset = 0; // uint8
inline constexpr std::size_t kInfoDeviceIdOffset = 2; // uint16
inline constexpr std::size_t kInfoModelOffset = 3;    // uint8
inline constexpr std::size_t kInfoHardwareOffset = 4; // uint8
inline constexpr std::size_t kInfoFirmwareOffset = 5; // uint8

// HandleStatusMessage layout (offsets into the 21-byte fixed part); the user
// data follows in a read of its own.
inline constexpr std::size_t kMessageDeviceIdOffset = 0;        // uint16
inline constexpr std::size_t kMessageErrorFlagOffset = 2;       // uint8
inline constexpr std::size_t kMessageHallOffset = 3;            // uint8, the whole byte
inline constexpr std::size_t kMessageQuaternionOffset = 4;      // 4 x binary32
inline constexpr std::size_t kMessageUserDataLengthOffset = 20; // uint8

// HandleErrorResponse layout (offsets into the 3-byte payload).
inline constexpr std::size_t kErrorDeviceIdOffset = 0; // uint16
inline constexpr std::size_t kErrorCodeOffset = 2;     // uint8

// HandleStatusFrame layout (offsets into the 18 unstuffed bytes). Bytes 0-1,
// 5-7 and 17 are not used.
inline constexpr std::size_t kFrameErrorFlagOffset = 2;  // uint8
inline constexpr std::size_t kFrameBitsOffset = 3;       // buttons and hall level
inline constexpr std::size_t kFrameDeviceIdOffset = 4;   // uint8 in this form
inline constexpr std::size_t kFrameQuaternionOffset = 8; // 4 x int16, Q15
inline constexpr std::size_t kFrameBatteryOffset = 16;   // uint8, raw
/// Only raw bytes 0 to 17 start a step of the unstuffing; byte 18 is read
/// only as the second byte of an escape pair that starts at byte 17.
inline constexpr std::size_t kFrameLastLeadingByte = 17;

// The shared byte of buttons (bits 7-5) and hall-effect level (bits 4-0).
inline constexpr unsigned kButtonsShift = 5;
inline constexpr uint8_t kHallLevelMask = 0x1F;

// Q15 fixed point: a 16-bit two's-complement value scaled by 2^-15.
inline constexpr float kQ15Scale = 3.0517578125e-05f; // 2^-15
inline constexpr float kQ15MaxPositive = 32767.0f;
inline constexpr float kQ15Wrap = 65536.0f;

// Battery level in volts from its raw byte: raw * 0.005 + 3.0 (in double,
// then rounded to float).
inline constexpr double kBatteryVoltsPerStep = 0.005;
inline constexpr double kBatteryBaseVolts = 3.0;

// The status reader's markers in error_flag, kStatusBadFrame and
// kStatusNoAnswer, are in devices/HandleMessages.hpp: a user tells a failed
// status read by them.

} // namespace Torvi::HardwareAPI::Devices::HandleProtocol
