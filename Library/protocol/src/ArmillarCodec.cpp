#include "Torvi/HardwareAPI/protocol/ArmillarCodec.hpp"

namespace Torvi::HardwareAPI::Devices::ArmillarMessages {

namespace P = ArmillarProtocol;

using Wire::kFloatSize;

std::size_t BuildRequest(uint8_t* buffer, uint8_t code) {
    buffer[0] = code;
    return 1;
}

std::size_t BuildParameterRequest(uint8_t* buffer, uint8_t selector) {
    buffer[0] = P::kParameterRequest;
    buffer[1] = selector;
    return P::kParameterRequestLength;
}

std::size_t BuildFloatsRequest(uint8_t* buffer, uint8_t code, const float* values,
                               std::size_t count) {
    buffer[0] = code;
    for (std::size_t i = 0; i < count; ++i) {
        Wire::EncodeFloat(values[i], buffer + 1 + kFloatSize * i);
    }
    return 1 + kFloatSize * count;
}

DeviceInfo DecodeDeviceInfo(const uint8_t* payload) {
    DeviceInfo info;
    info.device_id = Wire::DecodeU16(payload + P::kInfoDeviceIdOffset);
    info.device_model_number = payload[P::kInfoModelOffset];
    info.hardware_version = payload[P::kInfoHardwareOffset];
    info.firmware_version = payload[P::kInfoFirmwareOffset];
    info.device_id_ext = UUID(payload + P::kInfoIdentifierOffset);
    return info;
}

std::optional<UUID> DecodeParameter(const uint8_t* payload) {
    if (payload[P::kParameterLengthOffset] != P::kParameterDataLength) {
        return std::nullopt;
    }
    return UUID(payload + P::kParameterDataOffset);
}

ArmillarState DecodeState(const uint8_t* payload) {
    ArmillarState state;
    state.position = DecodeFloats<P::kVectorCount>(payload);
    state.velocity = DecodeFloats<P::kVectorCount>(payload + P::kVectorCount * kFloatSize);
    return state;
}

bool DecodePowerStatus(const uint8_t* payload) { return payload[0] != 0; }

} // namespace Torvi::HardwareAPI::Devices::ArmillarMessages
