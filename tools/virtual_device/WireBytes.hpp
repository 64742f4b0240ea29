#pragma once

// Little-endian encoding of the numbers both protocols carry: uint16 and
// IEEE-754 binary32.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace Torvi::VirtualDevice {

using Bytes = std::vector<uint8_t>;
using Vec3 = std::array<float, 3>;

inline void AppendU16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void AppendFloat(Bytes& out, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>((bits >> shift) & 0xFF));
    }
}

template <std::size_t N>
void AppendFloats(Bytes& out, const std::array<float, N>& values) {
    for (float value : values) AppendFloat(out, value);
}

inline uint16_t ReadU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline float ReadFloat(const uint8_t* bytes) {
    uint32_t bits = 0;
    for (int i = 3; i >= 0; --i) bits = (bits << 8) | bytes[i];
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline Vec3 ReadVec3(const uint8_t* bytes) {
    return {ReadFloat(bytes), ReadFloat(bytes + 4), ReadFloat(bytes + 8)};
}

} // namespace Torvi::VirtualDevice
