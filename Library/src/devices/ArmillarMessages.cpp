#include "Torvi/HardwareAPI/devices/ArmillarMessages.hpp"

#include <cstring>

namespace Torvi::HardwareAPI::Devices::ArmillarMessages {

namespace P = ArmillarProtocol;

namespace {

constexpr std::size_t kFloatSize = 4;
static_assert(sizeof(float) == kFloatSize, "the wire carries binary32 floats");

// Little-endian whatever the host's byte order: the bits are moved by value.
void EncodeFloat(float value, uint8_t* bytes) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, kFloatSize);
    for (std::size_t i = 0; i < kFloatSize; ++i) {
        bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    }
}

} // namespace

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
        EncodeFloat(values[i], buffer + 1 + kFloatSize * i);
    }
    return 1 + kFloatSize * count;
}

float DecodeFloat(const uint8_t* bytes) {
    uint32_t bits = 0;
    for (std::size_t i = 0; i < kFloatSize; ++i) {
        bits |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    }
    float value = 0;
    std::memcpy(&value, &bits, kFloatSize);
    return value;
}

DeviceInfo DecodeDeviceInfo(const uint8_t* payload) {
    DeviceInfo info;
    info.device_id = static_cast<uint16_t>(payload[P::kInfoDeviceIdOffset] |
                                           payload[P::kInfoDeviceIdOffset + 1] << 8);
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
