#include "Torvi/HardwareAPI/protocol/HandleCodec.hpp"

#include "Torvi/HardwareAPI/protocol/WireBytes.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

namespace Torvi::HardwareAPI::Devices::HandleMessages {

namespace P = HandleProtocol;

namespace {

using Wire::DecodeU16;

constexpr std::size_t kQ15Bytes = 2;

HandleStatus MarkerStatus(uint8_t marker) {
    HandleStatus status;
    status.error_flag = marker;
    return status;
}

} // namespace

std::size_t BuildHandleState(uint8_t* out, uint16_t device_id, uint8_t data_length,
                             const uint8_t* user_data) {
    if (data_length > 0 && user_data == nullptr) {
        throw std::invalid_argument("HandleState: data_length " + std::to_string(data_length) +
                                    " given without user data");
    }
    out[0] = P::kHandleState;
    Wire::EncodeU16(device_id, out + P::kStateDeviceIdOffset);
    out[P::kStateDataLengthOffset] = data_length;
    if (data_length > 0) {
        std::memcpy(out + P::kStateUserDataOffset, user_data, data_length);
    }
    return P::kHandleStateHeaderLength + data_length;
}

Wire::MessageMeasure MeasureReply(const uint8_t* pending, std::size_t available,
                                  bool status_frame) {
    using Wire::MessageMeasure;
    const auto whole = [](std::size_t payload) {
        return MessageMeasure::Complete(P::kHeaderCodeLength + payload);
    };
    switch (pending[0]) {
    case P::kInfoResponse:
        return whole(P::kInfoResponseLength);
    case P::kErrorResponse:
        return whole(P::kErrorResponseLength);
    case P::kStatusMessage: {
        if (status_frame) {
            return whole(P::kStatusFrameLength);
        }
        // The user-data length byte closes the fixed part.
        constexpr std::size_t kLengthByte = P::kHeaderCodeLength + P::kMessageUserDataLengthOffset;
        if (available <= kLengthByte) {
            return MessageMeasure::NeedMore();
        }
        return whole(P::kStatusMessageLength + pending[kLengthByte]);
    }
    default:
        return MessageMeasure::Unknown();
    }
}

HandleInfoResponse DecodeInfoResponse(const uint8_t* payload) {
    return HandleInfoResponse{
        /*device_id=*/DecodeU16(payload + P::kInfoDeviceIdOffset),
        /*tool_data_remaining=*/payload[P::kInfoToolDataOffset],
        /*device_model_number=*/payload[P::kInfoModelOffset],
        /*hardware_version=*/payload[P::kInfoHardwareOffset],
        /*firmware_version=*/payload[P::kInfoFirmwareOffset],
    };
}

HandleStatusMessage DecodeStatusMessage(const uint8_t* fixed_part) {
    HandleStatusMessage message;
    message.device_id = DecodeU16(fixed_part + P::kMessageDeviceIdOffset);
    message.error_flag = fixed_part[P::kMessageErrorFlagOffset];
    message.hall_effect_sensor_level = fixed_part[P::kMessageHallOffset];
    message.quaternion =
        Wire::DecodeFloats<P::kQuaternionComponents>(fixed_part + P::kMessageQuaternionOffset);
    message.user_data_length = fixed_part[P::kMessageUserDataLengthOffset];
    return message;
}

HandleErrorResponse DecodeErrorResponse(const uint8_t* payload) {
    HandleErrorResponse error;
    error.device_id = DecodeU16(payload + P::kErrorDeviceIdOffset);
    error.error_code = payload[P::kErrorCodeOffset];
    return error;
}

std::vector<uint8_t> UnstuffStatusFrame(const uint8_t* raw) {
    std::vector<uint8_t> out;
    out.reserve(P::kStatusFrameDecodedLength);
    std::size_t i = 0;
    while (i <= P::kFrameLastLeadingByte) {
        if (raw[i] == P::kSlipEsc) {
            // The byte after an escape is at most raw[18], the frame's last.
            const uint8_t next = raw[i + 1];
            if (next == P::kSlipEscEnd) {
                out.push_back(P::kSlipEnd);
                i += 2;
            } else if (next == P::kSlipEscEsc) {
                out.push_back(P::kSlipEsc);
                i += 2;
            } else {
                // A lone escape is dropped; the next byte is taken on its own.
                i += 1;
            }
        } else if (raw[i] == P::kSlipEnd) {
            i += 1;
        } else {
            out.push_back(raw[i]);
            i += 1;
        }
    }
    return out;
}

float Q15ToFloat(uint16_t field) {
    float value = static_cast<float>(field);
    if (value > P::kQ15MaxPositive) {
        value -= P::kQ15Wrap;
    }
    return value * P::kQ15Scale;
}

float BatteryLevel(uint8_t raw) {
    return static_cast<float>(raw * P::kBatteryVoltsPerStep + P::kBatteryBaseVolts);
}

HandleStatus ConvertStatusFrame(const uint8_t* unstuffed) {
    HandleStatus status;
    status.error_flag = unstuffed[P::kFrameErrorFlagOffset];
    const uint8_t bits = unstuffed[P::kFrameBitsOffset];
    status.buttons = static_cast<uint8_t>(bits >> P::kButtonsShift);
    status.hall_effect_sensor_level = static_cast<uint8_t>(bits & P::kHallLevelMask);
    status.device_id = unstuffed[P::kFrameDeviceIdOffset];
    for (std::size_t i = 0; i < P::kQuaternionComponents; ++i) {
        const uint8_t* field = unstuffed + P::kFrameQuaternionOffset + i * kQ15Bytes;
        status.quaternion[i] = Q15ToFloat(DecodeU16(field));
    }
    status.battery_level = BatteryLevel(unstuffed[P::kFrameBatteryOffset]);
    return status;
}

HandleStatus DecodeStatusFrame(const uint8_t* raw) {
    const std::vector<uint8_t> unstuffed = UnstuffStatusFrame(raw);
    if (unstuffed.size() != P::kStatusFrameDecodedLength) {
        return BadFrameStatus();
    }
    return ConvertStatusFrame(unstuffed.data());
}

HandleStatus NoAnswerStatus() { return MarkerStatus(P::kStatusNoAnswer); }

HandleStatus BadFrameStatus() { return MarkerStatus(P::kStatusBadFrame); }

} // namespace Torvi::HardwareAPI::Devices::HandleMessages
