#include "Torvi/HardwareAPI/devices/ArmillarKinematics.hpp"

#include <cmath>

namespace Torvi::HardwareAPI::Devices {

namespace K = KinematicConstants;

namespace {

float DegreesToRadians(float degrees) { return degrees * K::kPi / K::kHalfTurnDegrees; }

/// Rotates `u` by the quaternion (x, y, z, w), taken as it is (not normalised).
Vector3 Rotate(const Quaternion& q, const Vector3& u) {
    const float x = q[0], y = q[1], z = q[2], w = q[3];
    const float r[3][3] = {
        {1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
        {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
        {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)},
    };
    Vector3 p{};
    for (int row = 0; row < 3; ++row) {
        p[row] = r[row][0] * u[0] + r[row][1] * u[1] + r[row][2] * u[2];
    }
    return p;
}

} // namespace

Vector3 ForwardKinematics(const ArmillarKinematics& m, const Vector3& raw) {
    // Joint angles in radians; the arm reports raw angles before gear ratio
    // and offset, and its two arm joints turn the other way from the model.
    const float theta0 =
        DegreesToRadians(m.head_gear_ratio_coeff * raw[0] + K::kHeadOffsetDegrees) -
        m.angle_offsets[0];
    const float theta1 =
        DegreesToRadians(-m.inner_arm_gear_ratio_coeff * raw[1] - K::kArmOffsetDegrees) -
        m.angle_offsets[1];
    const float theta2 =
        DegreesToRadians(-m.outer_arm_gear_ratio_coeff * raw[2] - K::kArmOffsetDegrees) -
        m.angle_offsets[2];

    double sin1 = 0.0, cos1 = 0.0, sin2 = 0.0, cos2 = 0.0;
    ::sincos(theta1, &sin1, &cos1);
    ::sincos(theta2, &sin2, &cos2);

    // Vector from the outer proximal link's end to the inner one's: the two
    // distal links close the five-bar linkage over it.
    const float a = static_cast<float>(m.inner_arm_1 * cos1 - m.outer_arm_1 * cos2);
    const float b = static_cast<float>(m.inner_arm_1 * sin1 - m.outer_arm_1 * sin2);
    const float phi =
        static_cast<float>(std::atan2(static_cast<double>(b), static_cast<double>(a)));
    const float d = std::sqrt(a * a + b * b);

    float beta = theta1;
    if (d >= K::kDegeneracyThreshold) {
        // Not clamped: where the distal links cannot close the result is NaN.
        const float cosine =
            (d * d + m.inner_arm_2 * m.inner_arm_2 - m.outer_arm_2 * m.outer_arm_2) /
            (2 * m.inner_arm_2 * d);
        beta = static_cast<float>(K::kPi + phi - std::acos(static_cast<double>(cosine)));
    }

    double sin_beta = 0.0, cos_beta = 0.0;
    ::sincos(beta, &sin_beta, &cos_beta);
    const float x_planar = static_cast<float>(m.inner_arm_1 * cos1 + m.inner_arm_2 * cos_beta);
    const float y_planar = static_cast<float>(m.inner_arm_1 * sin1 + m.inner_arm_2 * sin_beta);

    double sin0 = 0.0, cos0 = 0.0;
    ::sincos(theta0, &sin0, &cos0);
    const float k = m.extension - K::kExtensionOffset;
    const Vector3 arm_frame{
        -(x_planar + K::kBaseOffset),
        static_cast<float>(k * sin0 - y_planar * cos0),
        static_cast<float>(k * cos0 + y_planar * sin0),
    };
    return Rotate(m.base_orientation, arm_frame);
}

} // namespace Torvi::HardwareAPI::Devices
