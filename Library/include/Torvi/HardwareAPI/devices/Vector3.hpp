#pragma once

#include <array>

namespace Torvi::HardwareAPI::Devices {

/// Three floats of a Cartesian (x, y, z) or joint (0, 1, 2) quantity: the one
/// vector type of the arm's operations, its kinematics and the wire codecs.
using Vector3 = std::array<float, 3>;
/// A quaternion as a device sends it, components in wire order.
using Quaternion = std::array<float, 4>;

} // namespace Torvi::HardwareAPI::Devices
