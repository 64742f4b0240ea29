#pragma once

// The handle's wire messages as pure functions: build the HandleState
// request, decode the three replies of the receive step, and unstuff and
// convert the status frame. They take bytes and return values and touch no
// device, so they can be checked from known-answer tables and fuzzed.

#include "Torvi/HardwareAPI/devices/HandleMessages.hpp"
#include "Torvi/HardwareAPI/protocol/HandleProtocol.hpp"
#include "Torvi/HardwareAPI/protocol/MessageMeasure.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Torvi::HardwareAPI::Devices::HandleMessages {

/// Writes the HandleState request into `out` (room for at least
/// HandleProtocol::kMaxHandleStateLength bytes): 0xDB, `device_id`
/// little-endian, `data_length`, then `data_length` bytes copied from
/// `user_data`. Returns the number of bytes written, 4 + `data_length`.
/// A null `user_data` with a non-zero `data_length` is refused with
/// std::invalid_argument before anything is written: the request never holds
/// bytes the caller did not give.
std::size_t BuildHandleState(uint8_t* out, uint16_t device_id, uint8_t data_length,
                             const uint8_t* user_data);

/// How many of the `available` bytes at `pending` (at least one) the reply
/// at their front takes, header code included: an info or error response, a
/// status message (whose length byte must have arrived before its length is
/// known) or, when `status_frame` is set, a stuffed status frame for the
/// code 0xDA; Unknown for any other first byte.
Wire::MessageMeasure MeasureReply(const uint8_t* pending, std::size_t available, bool status_frame);

/// Decodes the 6-byte payload of a HandleInfoResponse. Byte 1 is ignored;
/// byte 3 is both the high byte of `device_id` and `device_model_number`.
HandleInfoResponse DecodeInfoResponse(const uint8_t* payload);

/// Decodes the 21-byte fixed part of a HandleStatusMessage; `user_data` is
/// left zero (it arrives in a read of its own).
HandleStatusMessage DecodeStatusMessage(const uint8_t* fixed_part);

/// Decodes the 3-byte payload of a HandleErrorResponse.
HandleErrorResponse DecodeErrorResponse(const uint8_t* payload);

/// Unstuffs the 19 raw bytes of a HandleStatusFrame (SLIP special bytes):
/// ESC DC gives C0, ESC DD gives DB, an ESC before any other byte and every
/// END are dropped. Only raw bytes 0 to 17 start a step. The result holds at
/// most 18 bytes; the frame is valid exactly when it holds 18.
std::vector<uint8_t> UnstuffStatusFrame(const uint8_t* raw);

/// A Q15 fixed-point field (read as unsigned) as a float in [-1, 1 - 2^-15].
float Q15ToFloat(uint16_t field);

/// The battery level in volts for its raw byte: raw * 0.005 + 3.0, computed
/// in double and rounded to float.
float BatteryLevel(uint8_t raw);

/// Converts the 18 unstuffed bytes of a valid status frame.
HandleStatus ConvertStatusFrame(const uint8_t* unstuffed);

/// Unstuffs and converts the 19 raw bytes of a status frame; a frame that
/// does not unstuff to 18 bytes gives BadFrameStatus().
HandleStatus DecodeStatusFrame(const uint8_t* raw);

/// The result for a status read that got no frame header: error_flag 2,
/// everything else zero.
HandleStatus NoAnswerStatus();

/// The result for a status frame that is invalid or incomplete: error_flag 1,
/// everything else zero.
HandleStatus BadFrameStatus();

} // namespace Torvi::HardwareAPI::Devices::HandleMessages
