#include "Torvi/HardwareAPI/devices/UUID.hpp"

#include <algorithm>

namespace Torvi::HardwareAPI {

UUID::UUID(const uint8_t* wire_bytes) { std::copy_n(wire_bytes, kSize, value.begin()); }

std::vector<uint8_t> UUID::bytes() const { return {value.begin(), value.end()}; }

} // namespace Torvi::HardwareAPI
