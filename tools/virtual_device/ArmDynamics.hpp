#pragma once

// The arm's mechanics: three damped joints driven by the last command, the
// end effector placed by the host's own forward kinematics (default model),
// and the joint limits that keep the linkage away from its degenerate poses.
//
// Units: angles as the arm reports them (raw degrees) at the interface and
// radians inside; torques in N·m, forces in N, lengths in the unit of the
// kinematic model (metres). The dynamics are integrated in closed form, so
// any step length is stable: the arm is advanced only when a request comes.

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <array>

namespace Torvi::VirtualDevice {

using HardwareAPI::Devices::Vector3;

class ArmDynamics {
public:
    using Joints = std::array<double, 3>;

    // Mechanics of every joint. The linkage moves the end effector about
    // 0.015 m per radian of a joint, so these feel at the end effector like
    // a mass of roughly 0.2 kg and a damping of roughly 4 N·s/m.
    static constexpr double kInertia = 4e-5;  ///< kg·m²
    static constexpr double kDamping = 8e-4;  ///< N·m·s/rad
    static constexpr double kMaxTorque = 0.1; ///< N·m, where the motors saturate
    static constexpr double kMaxForce = 40.0; ///< N, per component
    /// Natural frequency of the position servo (critically damped): a target
    /// is reached within about 6/kServoRate, a few milliseconds.
    static constexpr double kServoRate = 800.0; ///< rad/s
    /// Longest step over which the torque of a force command is held fixed.
    static constexpr double kMaxSubstep = 1e-3; ///< s
    static constexpr int kMaxSubsteps = 200;

    // Joint limits, raw degrees. The two arm joints also keep kMinSpread
    // apart: where they meet, the two elbows coincide and the end effector
    // folds through the base.
    static constexpr Joints kLowerLimit{-60.0, -100.0, 0.0};
    static constexpr Joints kUpperLimit{60.0, 0.0, 100.0};
    static constexpr double kMinSpread = 10.0; ///< degrees, joint 2 minus joint 1
    /// Where the arm starts: mid-workspace, at rest.
    static constexpr Joints kRestPose{0.0, -45.0, 45.0};

    ArmDynamics();

    /// Moves the arm on by `seconds` under the current command.
    void Advance(double seconds);

    // Commands; each replaces the previous one and holds until the next.
    // Non-finite components count as zero (or, for targets, as "stay").
    void CommandJointTorques(const Vector3& torques);
    void CommandEndEffectorForce(const Vector3& force);
    void CommandJointAngles(const Vector3& raw_degrees);
    void CommandEndEffectorPosition(const Vector3& position);

    Vector3 RawAnglesDegrees() const;
    Vector3 JointVelocitiesDegrees() const; ///< degrees per second
    Vector3 EndEffectorPosition() const;
    Vector3 EndEffectorVelocity() const; ///< per second
    /// The torques the motors produce now (what their currents follow).
    const Joints& MotorTorques() const { return motor_torque; }

    /// Raw joint angles (degrees, within the limits) that bring the end
    /// effector nearest to `position`, searched from the current pose.
    Vector3 SolvePosition(const Vector3& position) const;

private:
    enum class Mode { Torque, Force, Servo };

    void AdvanceUnderTorque(double seconds, const Joints& torque);
    void AdvanceServo(double seconds);
    Joints ForceTorques() const;

    Mode mode = Mode::Torque;
    Joints angle{};    ///< rad
    Joints velocity{}; ///< rad/s
    Joints torque_command{};
    Vector3 force_command{};
    Joints target{};           ///< rad, servo mode
    Vector3 position_target{}; ///< the last end-effector target, solved into `target`
    bool has_position_target = false;
    Joints motor_torque{};
};

} // namespace Torvi::VirtualDevice
