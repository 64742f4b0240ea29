#pragma once

// The arm's mechanics: three damped joints driven by the last command, the
// end effector placed by the host's own forward kinematics (default model),
// and the joint limits that keep the linkage away from its degenerate poses.
//
// Units: angles as the arm reports them (raw degrees) at the interface and
// radians inside; torques in N·m, forces in N, lengths in the unit of the
// kinematic model (metres). The arm is advanced only when a request comes,
// by the time since the last one, under the command then in force (held, as
// a real arm's amplifier holds it). Alone, the dynamics are integrated in
// closed form, so any step length is stable.
//
// A simulated hand (HandSettings) adds a spring and a damper between the end
// effector and a hand target. The arm and the hand are then integrated
// together by semi-implicit Euler at a fixed fine step (kHandStep, shorter
// where a stiff hand needs it): each step takes the velocity from the
// torques at the step's start, every damping (the joints' and the hand's)
// at the step's end, then the angle from the new velocity. That keeps a
// spring's energy from drifting and any damping stable. Under an angle or
// position command the servo holds the arm and the hand does not move it
// (the servo is stiffer than a hand by a few hundred times).
//
// Mass and damping: the joints share one inertia and one damping. At the
// end effector along a unit direction d they feel like a mass
// inertia / |J^T d|^2 and a damping damping / |J^T d|^2 (J the Jacobian of
// the position in the joint angles, EffectiveMassKg and EffectiveDampingNsm).
// Mass and damping settings are those along z at the home position
// (kNominalDirection); along x there the arm is about 3.7 times lighter and
// less damped, and along y the home pose cannot be pushed at all (the
// linkage is at a turning point there).

#include "ArmSettings.hpp"

#include <array>
#include <optional>

namespace Torvi::VirtualDevice {

class ArmDynamics {
public:
    using Joints = std::array<double, 3>;

    // Mechanics of every joint, unless ArmSettings say otherwise. At the
    // home position they feel along z like 0.13 kg and 2.6 N·s/m
    // (DefaultMassKg, DefaultDampingNsm).
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

    /// The direction along which the mass and damping settings hold at home.
    static constexpr std::array<double, 3> kNominalDirection{0.0, 0.0, 1.0};
    /// Longest step of the arm held by a hand; a stiff hand on a light arm
    /// gets steps of at most kHandStepsPerRadian-th of its fastest motion's
    /// period over 2 pi (below 1/kHandStepsPerRadian of a radian of phase).
    static constexpr double kHandStep = 1e-4; ///< s
    static constexpr double kHandStepsPerRadian = 10.0;
    /// A longer time between two requests is simulated over its last
    /// kMaxHandCatchUp only (the hand has settled long before), so that a
    /// host that pauses does not make the next answer wait.
    static constexpr double kMaxHandCatchUp = 1.0; ///< s

    /// The end effector at the rest pose.
    static Vector3 HomePosition();
    /// The arm's mass (kg) and damping (N·s/m) along kNominalDirection at
    /// home with the joints' kInertia and kDamping.
    static double DefaultMassKg();
    static double DefaultDampingNsm();

    /// An arm with the default mechanics that nobody holds.
    ArmDynamics();
    /// The mass and damping in `settings` replace the default ones (they
    /// must be above 0, and 0 or more); a hand, if any, holds the arm.
    explicit ArmDynamics(const ArmSettings& settings);

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

    /// What a force along `direction` (need not be unit) feels at the end
    /// effector in the current pose: kg and N·s/m; infinite where the pose
    /// cannot move that way.
    double EffectiveMassKg(const Vector3& direction) const;
    double EffectiveDampingNsm(const Vector3& direction) const;

    /// Where the hand's target is now (m); the home position when no hand
    /// holds the arm.
    Vector3 HandTarget() const;
    /// Seconds simulated since the arm started.
    double Time() const { return time_s; }

private:
    enum class Mode { Torque, Force, Servo };

    /// A hand as the integrator uses it, the target resolved.
    struct Hand {
        HandSettings settings;
        Joints target{}; ///< m, the still target (the stroke's middle)
    };

    void AdvanceUnderTorque(double seconds, const Joints& torque);
    void AdvanceServo(double seconds);
    void AdvanceHeld(const Hand& held, double seconds);
    void HeldStep(const Hand& held, double h);
    /// Step length for the arm held by the hand in the current pose.
    double HeldStepLength(const Hand& held) const;
    Joints HostTorques(const std::array<Joints, 3>& jacobian) const;
    Joints ForceTorques() const;
    static void TargetAt(const Hand& held, double t, Joints& position, Joints& velocity);

    double inertia = kInertia; ///< kg·m², each joint
    double damping = kDamping; ///< N·m·s/rad, each joint
    std::optional<Hand> hand;
    double time_s = 0.0; ///< simulated since the start
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
