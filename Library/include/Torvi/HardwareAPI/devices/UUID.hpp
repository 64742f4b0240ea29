#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Torvi::HardwareAPI {

/// The 16-byte identifier a device reports about itself, kept as raw bytes in
/// wire order (byte 0 arrived first). A plain value: copying copies the bytes.
/// It carries no interpretation: no text form, ordering or hashing.
class UUID {
public:
    static constexpr std::size_t kSize = 16;

    /// All sixteen bytes zero.
    UUID() = default;

    /// Copies kSize consecutive bytes, without reordering.
    explicit UUID(const uint8_t* wire_bytes);

    /// A new vector holding a copy of the 16 bytes in storage order.
    std::vector<uint8_t> bytes() const;

    const std::array<uint8_t, kSize>& data() const { return value; }

private:
    std::array<uint8_t, kSize> value{};
};

} // namespace Torvi::HardwareAPI
