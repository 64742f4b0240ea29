#pragma once

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

namespace Torvi::HardwareAPI::Devices {

/// Constants of the arm's kinematic model. Lengths are in the unit of the
/// host-computed position; angles in degrees unless named otherwise.
namespace KinematicConstants {
/// π as the model takes it: the single-precision number nearest to 3.141592
/// (not the one nearest to π).
inline constexpr float kPi = 3.141592f;
inline constexpr float kHalfTurnDegrees = 180.0f;
inline constexpr float kHeadOffsetDegrees = 90.0f;   ///< added to the head joint angle
inline constexpr float kArmOffsetDegrees = 180.0f;   ///< subtracted from the arm joint angles
inline constexpr float kExtensionOffset = 0.052f;    ///< subtracted from `extension`
inline constexpr float kBaseOffset = 0.18645f;       ///< from the joint axis to the base frame
inline constexpr float kDegeneracyThreshold = 1e-6f; ///< elbows closer than this coincide

inline constexpr float kDefaultInnerArm1 = 0.14f;
inline constexpr float kDefaultOuterArm1 = 0.14f;
inline constexpr float kDefaultInnerArm2 = 0.165f;
inline constexpr float kDefaultOuterArm2 = 0.165f;
inline constexpr float kDefaultExtension = 0.0765f;
inline constexpr float kDefaultGearRatio = 1.0f;
/// The base orientation quaternion (x, y, z, w): a quarter turn about y.
inline constexpr Quaternion kDefaultBaseOrientation{0.0f, 0.7071f, 0.0f, 0.7071f};
} // namespace KinematicConstants

/// The arm's kinematic model: link lengths, gear ratios, angle offsets and
/// the orientation of the base. One record serves the whole process (see
/// SharedKinematics); constructing an Armillar resets all of it but the angle
/// offsets.
struct ArmillarKinematics {
    float inner_arm_1 = KinematicConstants::kDefaultInnerArm1;
    float outer_arm_1 = KinematicConstants::kDefaultOuterArm1;
    float inner_arm_2 = KinematicConstants::kDefaultInnerArm2;
    float outer_arm_2 = KinematicConstants::kDefaultOuterArm2;
    float extension = KinematicConstants::kDefaultExtension; ///< stored as its absolute value
    float head_gear_ratio_coeff = KinematicConstants::kDefaultGearRatio;
    float inner_arm_gear_ratio_coeff = KinematicConstants::kDefaultGearRatio;
    float outer_arm_gear_ratio_coeff = KinematicConstants::kDefaultGearRatio;
    Vector3 angle_offsets{}; ///< radians
    Quaternion base_orientation = KinematicConstants::kDefaultBaseOrientation;
};

/// The one model shared by every Armillar of the process. Not locked: it is
/// not adjusted while another thread computes a position.
ArmillarKinematics& SharedKinematics();

/// Host-side forward kinematics: the end-effector position for the raw joint
/// angles (degrees, as the arm reports them) under `model`. Where the distal
/// links cannot close, the result is NaN.
Vector3 ForwardKinematics(const ArmillarKinematics& model, const Vector3& raw_angles_degrees);

} // namespace Torvi::HardwareAPI::Devices
