#include "support/Bytes.hpp"

#include <cstring>
#include <stdexcept>

namespace TorviTest {

Bytes Hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c == ' ') continue;
        digits.push_back(c);
        if (digits.size() == 2) {
            out.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        }
    }
    if (!digits.empty()) throw std::invalid_argument("odd number of hex digits: " + text);
    return out;
}

Bytes FloatBytes(float value) {
    Bytes out(4);
    std::memcpy(out.data(), &value, 4); // the test hosts are little-endian, like the wire
    return out;
}

Bytes Floats(std::initializer_list<float> values) {
    Bytes out;
    for (float value : values) {
        const Bytes bytes = FloatBytes(value);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

Bytes Sequence(uint8_t first, std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace TorviTest
