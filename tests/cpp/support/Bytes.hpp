#pragma once

// Bytes for tests, written the tests' own way (hex text, memcpy of floats)
// rather than with the library's encoders, so that a mistake shared with
// the library cannot hide.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace TorviTest {

using Bytes = std::vector<uint8_t>;

/// A hex string such as "2A 00 00" -> bytes; blanks are ignored.
Bytes Hex(const std::string& text);

/// Little-endian bytes of a binary32 value.
Bytes FloatBytes(float value);

/// Little-endian bytes of binary32 values, one after the other.
Bytes Floats(std::initializer_list<float> values);

/// `count` bytes counting up from `first` (wrapping at 0xFF): recognisable
/// identifiers and payloads.
Bytes Sequence(uint8_t first, std::size_t count);

/// Concatenation helper for building wire messages in tests.
Bytes Concat(std::initializer_list<Bytes> parts);

} // namespace TorviTest
