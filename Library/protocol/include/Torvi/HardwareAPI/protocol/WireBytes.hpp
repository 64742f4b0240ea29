#pragma once

// The numbers both devices' protocols carry, as bytes: little-endian uint16
// and IEEE-754 binary32, whatever the host's own byte order (the bits are
// moved by value, never by reinterpreting memory). The host's codecs and the
// virtual devices both encode and decode through here; the tests spell their
// bytes out on their own, so that a mistake here cannot hide in both.

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace Torvi::HardwareAPI::Wire {

using Devices::Quaternion;
using Devices::Vector3;

using Bytes = std::vector<uint8_t>;

inline constexpr std::size_t kFloatSize = 4;
inline constexpr std::size_t kU16Size = 2;
static_assert(sizeof(float) == kFloatSize, "the wire carries binary32 floats");

inline uint16_t DecodeU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline void EncodeU16(uint16_t value, uint8_t* bytes) {
    bytes[0] = static_cast<uint8_t>(value & 0xFF);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

inline float DecodeFloat(const uint8_t* bytes) {
    uint32_t bits = 0;
    for (std::size_t i = 0; i < kFloatSize; ++i) {
        bits |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    }
    float value = 0;
    std::memcpy(&value, &bits, kFloatSize);
    return value;
}

inline void EncodeFloat(float value, uint8_t* bytes) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, kFloatSize);
    for (std::size_t i = 0; i < kFloatSize; ++i) {
        bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    }
}

/// `N` consecutive binary32 values.
template <std::size_t N> std::array<float, N> DecodeFloats(const uint8_t* bytes) {
    std::array<float, N> values{};
    for (std::size_t i = 0; i < N; ++i) {
        values[i] = DecodeFloat(bytes + kFloatSize * i);
    }
    return values;
}

inline void AppendU16(Bytes& out, uint16_t value) {
    uint8_t bytes[kU16Size];
    EncodeU16(value, bytes);
    out.insert(out.end(), bytes, bytes + kU16Size);
}

inline void AppendFloat(Bytes& out, float value) {
    uint8_t bytes[kFloatSize];
    EncodeFloat(value, bytes);
    out.insert(out.end(), bytes, bytes + kFloatSize);
}

template <std::size_t N> void AppendFloats(Bytes& out, const std::array<float, N>& values) {
    for (float value : values)
        AppendFloat(out, value);
}

} // namespace Torvi::HardwareAPI::Wire
