#pragma once

#include <cstddef>
#include <cstdint>

// The handle's byte protocol: header codes, payload lengths and layouts.
// Numbers are little-endian, floats IEEE-754 binary32. The code 0xDA goes
// both ways: as a request it asks for status, as a reply it opens a status
// message, read in one of two forms fixed by the reading operation.
namespace Torvi::HardwareAPI::Devices::HandleProtocol {

// Requests, host to handle.
inline constexpr uint8_t kDeviceWakeup = 0x0A;
inline constexpr uint8_t kStatusRequest = 0xDA;
inline constexpr uint8_t kHandleState = 0xDB;

// Replies, handle to host.
inline constexpr uint8_t kInfoResponse = 0xD0;
inline constexpr uint8_t kStatusMessage = 0xDA;
inline constexpr uint8_t kErrorResponse = 0xDF;

// Payload lengths after the header code.
inline constexpr std::size_t kInfoResponseLength = 6;
inline constexpr std::size_t kStatusMessageLength = 21; // then user_data_length bytes
inline constexpr std::size_t kStatusFrameLength = 19;   // byte-stuffed
inline constexpr std::size_t kStatusFrameDecodedLength = 18;
inline constexpr std::size_t kErrorResponseLength = 3;

// HandleState request: code, device id (uint16), data length (uint8), data.
inline constexpr std::size_t kHandleStateHeaderLength = 4;
inline constexpr std::size_t kMaxUserDataLength = 255;

// Byte stuffing of the status frame (SLIP, RFC 1055).
inline constexpr uint8_t kSlipEnd = 0xC0;
inline constexpr uint8_t kSlipEsc = 0xDB;
inline constexpr uint8_t kSlipEscEnd = 0xDC;
inline constexpr uint8_t kSlipEscEsc = 0xDD;

} // namespace Torvi::HardwareAPI::Devices::HandleProtocol
