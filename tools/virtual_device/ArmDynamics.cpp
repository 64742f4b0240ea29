#include "ArmDynamics.hpp"

#include "Torvi/HardwareAPI/devices/ArmillarKinematics.hpp"

#include <algorithm>
#include <cmath>

namespace Torvi::VirtualDevice {

namespace {

using Joints = ArmDynamics::Joints;
using Matrix = std::array<std::array<double, 3>, 3>;

constexpr double kDegreesPerRadian = 180.0 / 3.14159265358979323846;
/// Step of the numerical Jacobian: small against the workspace, large
/// against the single-precision rounding of the kinematics.
constexpr double kJacobianStep = 1e-3; // rad
// Position solver: damped least squares with adaptive damping (in the unit
// of the Jacobian, length per radian).
constexpr int kSolverIterations = 100;
constexpr double kSolverDamping = 1e-3;
constexpr double kSolverMinDamping = 1e-7;
constexpr double kSolverMaxDamping = 1.0;
constexpr double kSolverDampingFactor = 4.0;
constexpr double kSolverMaxStep = 0.2;    // rad per iteration
constexpr double kSolverTolerance = 1e-7; // length
constexpr double kTwoPi = 2.0 * 3.14159265358979323846;

Vector3 PositionAt(const Joints& radians) {
    // The arm computes its position with the host's default model, so that
    // the host computing it from the raw angles gets the same answer.
    static const HardwareAPI::Devices::ArmillarKinematics model{};
    return HardwareAPI::Devices::ForwardKinematics(
        model, {static_cast<float>(radians[0] * kDegreesPerRadian),
                static_cast<float>(radians[1] * kDegreesPerRadian),
                static_cast<float>(radians[2] * kDegreesPerRadian)});
}

/// jacobian[i][j] = d position_i / d angle_j, by central differences.
Matrix JacobianAt(const Joints& radians) {
    Matrix jacobian{};
    for (int j = 0; j < 3; ++j) {
        Joints ahead = radians, behind = radians;
        ahead[j] += kJacobianStep;
        behind[j] -= kJacobianStep;
        const Vector3 p_ahead = PositionAt(ahead), p_behind = PositionAt(behind);
        for (int i = 0; i < 3; ++i) {
            jacobian[i][j] = (double(p_ahead[i]) - double(p_behind[i])) / (2 * kJacobianStep);
        }
    }
    return jacobian;
}

double Determinant(const Matrix& m) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

/// Solves m x = rhs by Cramer's rule; m is symmetric positive definite here.
Joints Solve(const Matrix& m, const Joints& rhs) {
    const double det = Determinant(m);
    Joints x{};
    for (int column = 0; column < 3; ++column) {
        Matrix replaced = m;
        for (int row = 0; row < 3; ++row)
            replaced[row][column] = rhs[row];
        x[column] = Determinant(replaced) / det;
    }
    return x;
}

/// |J^T d|^2 for the unit vector along `direction` (0 for a zero vector).
double LeverSquared(const Matrix& jacobian, const Joints& direction) {
    const double norm = std::sqrt(direction[0] * direction[0] + direction[1] * direction[1] +
                                  direction[2] * direction[2]);
    if (!(norm > 0.0)) return 0.0;
    double sum = 0.0;
    for (int j = 0; j < 3; ++j) {
        double column = 0.0;
        for (int i = 0; i < 3; ++i)
            column += jacobian[i][j] * direction[i] / norm;
        sum += column * column;
    }
    return sum;
}

Joints RestRadians();

/// |J^T d|^2 along the nominal direction at home: converts the end
/// effector's mass and damping into the joints' and back.
double NominalLeverSquared() {
    static const double lever =
        LeverSquared(JacobianAt(RestRadians()), ArmDynamics::kNominalDirection);
    return lever;
}

double Finite(double value, double fallback) { return std::isfinite(value) ? value : fallback; }

double Radians(double degrees) { return degrees / kDegreesPerRadian; }

/// Keeps the joints within their limits; a joint that hits one stops there.
void ApplyLimits(Joints& angle, Joints& velocity) {
    for (int j = 0; j < 3; ++j) {
        const double low = Radians(ArmDynamics::kLowerLimit[j]);
        const double high = Radians(ArmDynamics::kUpperLimit[j]);
        if (angle[j] < low || angle[j] > high) {
            angle[j] = std::clamp(angle[j], low, high);
            velocity[j] = 0.0;
        }
    }
    const double spread = Radians(ArmDynamics::kMinSpread);
    if (angle[2] - angle[1] < spread) {
        // Push both arm joints apart about their middle, within the limits
        // (the limits leave room: joint 1 at most 0, joint 2 at least 0).
        const double middle =
            std::clamp((angle[1] + angle[2]) / 2, Radians(ArmDynamics::kLowerLimit[1]) + spread / 2,
                       Radians(ArmDynamics::kUpperLimit[2]) - spread / 2);
        angle[1] = std::min(middle - spread / 2, Radians(ArmDynamics::kUpperLimit[1]));
        angle[2] = std::max(middle + spread / 2, Radians(ArmDynamics::kLowerLimit[2]));
        if (angle[2] - angle[1] < spread) angle[2] = angle[1] + spread;
        const double common = (velocity[1] + velocity[2]) / 2;
        velocity[1] = velocity[2] = common;
    }
}

Vector3 ToDegrees(const Joints& radians) {
    return {static_cast<float>(radians[0] * kDegreesPerRadian),
            static_cast<float>(radians[1] * kDegreesPerRadian),
            static_cast<float>(radians[2] * kDegreesPerRadian)};
}

Joints RestRadians() {
    Joints radians{};
    for (int j = 0; j < 3; ++j)
        radians[j] = Radians(ArmDynamics::kRestPose[j]);
    return radians;
}

Joints ToJoints(const Vector3& v) { return {double(v[0]), double(v[1]), double(v[2])}; }

Joints TransposeTimes(const Matrix& m, const Joints& v) {
    Joints out{};
    for (int j = 0; j < 3; ++j)
        out[j] = m[0][j] * v[0] + m[1][j] * v[1] + m[2][j] * v[2];
    return out;
}

} // namespace

Vector3 ArmDynamics::HomePosition() { return PositionAt(RestRadians()); }

double ArmDynamics::DefaultMassKg() { return kInertia / NominalLeverSquared(); }

double ArmDynamics::DefaultDampingNsm() { return kDamping / NominalLeverSquared(); }

ArmDynamics::ArmDynamics() : angle(RestRadians()) {}

ArmDynamics::ArmDynamics(const ArmSettings& settings) : ArmDynamics() {
    if (settings.mass_kg) inertia = *settings.mass_kg * NominalLeverSquared();
    if (settings.damping_nsm) damping = *settings.damping_nsm * NominalLeverSquared();
    if (settings.hand) {
        const HandSettings& given = *settings.hand;
        hand = Hand{given, ToJoints(given.target.value_or(HomePosition()))};
    }
}

void ArmDynamics::CommandJointTorques(const Vector3& torques) {
    mode = Mode::Torque;
    for (int j = 0; j < 3; ++j)
        torque_command[j] = std::clamp(Finite(torques[j], 0.0), -kMaxTorque, kMaxTorque);
}

void ArmDynamics::CommandEndEffectorForce(const Vector3& force) {
    mode = Mode::Force;
    for (int i = 0; i < 3; ++i) {
        force_command[i] =
            static_cast<float>(std::clamp(Finite(force[i], 0.0), -kMaxForce, kMaxForce));
    }
}

void ArmDynamics::CommandJointAngles(const Vector3& raw_degrees) {
    Joints wanted{};
    for (int j = 0; j < 3; ++j)
        wanted[j] = Finite(Radians(raw_degrees[j]), angle[j]);
    Joints still{};
    ApplyLimits(wanted, still);
    mode = Mode::Servo;
    target = wanted;
    has_position_target = false;
}

void ArmDynamics::CommandEndEffectorPosition(const Vector3& position) {
    // A loop that sends the same target again and again gets it solved once.
    if (mode == Mode::Servo && has_position_target && position == position_target) return;
    for (float component : position) {
        if (!std::isfinite(component)) {
            CommandJointAngles(RawAnglesDegrees()); // stay where it is
            return;
        }
    }
    CommandJointAngles(SolvePosition(position));
    position_target = position;
    has_position_target = true;
}

Joints ArmDynamics::ForceTorques() const { return HostTorques(JacobianAt(angle)); }

Joints ArmDynamics::HostTorques(const Matrix& jacobian) const {
    if (mode == Mode::Torque) return torque_command;
    // The torques that produce the end-effector force: J^T F.
    Joints torque = TransposeTimes(jacobian, ToJoints(force_command));
    for (double& t : torque)
        t = std::clamp(t, -kMaxTorque, kMaxTorque);
    return torque;
}

void ArmDynamics::Advance(double seconds) {
    if (!(seconds > 0.0)) return;
    if (hand && mode != Mode::Servo) {
        AdvanceHeld(*hand, seconds);
        return;
    }
    time_s += seconds;
    switch (mode) {
    case Mode::Torque:
        AdvanceUnderTorque(seconds, torque_command);
        break;
    case Mode::Force: {
        // The torque of a force changes with the pose: hold it fixed only
        // over short steps.
        const int steps =
            std::clamp(static_cast<int>(std::ceil(seconds / kMaxSubstep)), 1, kMaxSubsteps);
        for (int step = 0; step < steps; ++step)
            AdvanceUnderTorque(seconds / steps, ForceTorques());
        break;
    }
    case Mode::Servo:
        AdvanceServo(seconds);
        break;
    }
}

// A damped joint under constant torque, solved exactly:
// I dv/dt = torque - b v.
void ArmDynamics::AdvanceUnderTorque(double seconds, const Joints& torque) {
    const double rate = damping / inertia;
    const double decay = std::exp(-rate * seconds);
    for (int j = 0; j < 3; ++j) {
        const double terminal = torque[j] / damping;
        const double excess = velocity[j] - terminal;
        angle[j] += terminal * seconds + excess * (1.0 - decay) / rate;
        velocity[j] = terminal + excess * decay;
    }
    motor_torque = torque;
    ApplyLimits(angle, velocity);
}

// A critically damped approach to the target, solved exactly: with
// e = angle - target, e'' = -2 w e' - w^2 e.
void ArmDynamics::AdvanceServo(double seconds) {
    const double w = kServoRate;
    const double decay = std::exp(-w * seconds);
    for (int j = 0; j < 3; ++j) {
        const double e0 = angle[j] - target[j];
        const double v0 = velocity[j];
        const double s = v0 + w * e0;
        const double acceleration = (-w * s - w * v0 + w * w * s * seconds) * decay;
        angle[j] = target[j] + (e0 + s * seconds) * decay;
        velocity[j] = (v0 - w * s * seconds) * decay;
        motor_torque[j] =
            std::clamp(inertia * acceleration + damping * velocity[j], -kMaxTorque, kMaxTorque);
    }
    ApplyLimits(angle, velocity);
}

void ArmDynamics::AdvanceHeld(const Hand& held, double seconds) {
    const double simulated = std::min(seconds, kMaxHandCatchUp);
    time_s += seconds - simulated; // the part of a long pause left out
    const int steps = static_cast<int>(std::ceil(simulated / HeldStepLength(held)));
    for (int step = 0; step < steps; ++step)
        HeldStep(held, simulated / steps);
}

double ArmDynamics::HeldStepLength(const Hand& held) const {
    // The fastest motion of the arm on the hand's spring is at most
    // sqrt(K |J|_F^2 / inertia) rad/s: |J|_F^2 bounds |J^T d|^2 for every d.
    const Matrix jacobian = JacobianAt(angle);
    double frobenius = 0.0;
    for (const Joints& row : jacobian) {
        for (double entry : row)
            frobenius += entry * entry;
    }
    const double rate = std::sqrt(held.settings.stiffness_npm * frobenius / inertia);
    return rate > 0.0 ? std::min(kHandStep, 1.0 / (kHandStepsPerRadian * rate)) : kHandStep;
}

// One semi-implicit Euler step of I q'' = torque + J^T F_hand - b q', with
// F_hand = K (target - p) + B (target' - J q'): the spring and the host's
// torque taken at the step's start, both dampings at its end, so
// (I + h b + h B J^T J) q'_new = I q' + h (torque + J^T (K (target - p) + B target')).
void ArmDynamics::HeldStep(const Hand& held, double h) {
    const Matrix jacobian = JacobianAt(angle);
    const Joints torque = HostTorques(jacobian);
    const Joints position = ToJoints(PositionAt(angle));
    Joints target{}, target_velocity{};
    TargetAt(held, time_s, target, target_velocity);
    const double k = held.settings.stiffness_npm, b = held.settings.damping_nsm;
    Joints pull{};
    for (int i = 0; i < 3; ++i)
        pull[i] = k * (target[i] - position[i]) + b * target_velocity[i];
    const Joints hand_torque = TransposeTimes(jacobian, pull);
    Matrix system{};
    Joints rhs{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            double jtj = 0.0;
            for (int i = 0; i < 3; ++i)
                jtj += jacobian[i][r] * jacobian[i][c];
            system[r][c] = h * b * jtj + (r == c ? inertia + h * damping : 0.0);
        }
        rhs[r] = inertia * velocity[r] + h * (torque[r] + hand_torque[r]);
    }
    velocity = Solve(system, rhs);
    for (int j = 0; j < 3; ++j)
        angle[j] += h * velocity[j];
    motor_torque = torque;
    time_s += h;
    ApplyLimits(angle, velocity);
}

void ArmDynamics::TargetAt(const Hand& held, double t, Joints& position, Joints& velocity) {
    const HandSettings& s = held.settings;
    const double phase = kTwoPi * s.stroke_hz * t;
    for (int i = 0; i < 3; ++i) {
        position[i] = held.target[i] + s.stroke[i] * std::sin(phase);
        velocity[i] = s.stroke[i] * kTwoPi * s.stroke_hz * std::cos(phase);
    }
}

Vector3 ArmDynamics::HandTarget() const {
    if (!hand) return HomePosition();
    Joints position{}, unused{};
    TargetAt(*hand, time_s, position, unused);
    return {static_cast<float>(position[0]), static_cast<float>(position[1]),
            static_cast<float>(position[2])};
}

double ArmDynamics::EffectiveMassKg(const Vector3& direction) const {
    return inertia / LeverSquared(JacobianAt(angle), ToJoints(direction));
}

double ArmDynamics::EffectiveDampingNsm(const Vector3& direction) const {
    return damping / LeverSquared(JacobianAt(angle), ToJoints(direction));
}

Vector3 ArmDynamics::SolvePosition(const Vector3& position) const {
    // Levenberg-Marquardt on the position error: damped least-squares
    // steps, the damping lowered after a step that helps and raised after
    // one that does not. Near the symmetric poses the arm can hardly move
    // the point sideways, where plain Newton steps would explode.
    Joints unused{};
    auto error_at = [&position](const Joints& q, Joints& error) {
        const Vector3 p = PositionAt(q);
        double size = 0.0;
        for (int i = 0; i < 3; ++i) {
            error[i] = double(position[i]) - double(p[i]);
            size += error[i] * error[i];
        }
        return size;
    };
    Joints q = angle;
    Joints error{};
    double size = error_at(q, error);
    double damping = kSolverDamping;
    for (int iteration = 0;
         iteration < kSolverIterations && size > kSolverTolerance * kSolverTolerance; ++iteration) {
        const Matrix jacobian = JacobianAt(q);
        Matrix normal{};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                for (int k = 0; k < 3; ++k)
                    normal[r][c] += jacobian[r][k] * jacobian[c][k];
            }
            normal[r][r] += damping * damping;
        }
        // dq = J^T (J J^T + d^2 I)^-1 error
        const Joints y = Solve(normal, error);
        Joints trial = q;
        for (int j = 0; j < 3; ++j) {
            double step = 0.0;
            for (int i = 0; i < 3; ++i)
                step += jacobian[i][j] * y[i];
            trial[j] += std::clamp(step, -kSolverMaxStep, kSolverMaxStep);
        }
        ApplyLimits(trial, unused);
        Joints trial_error{};
        const double trial_size = error_at(trial, trial_error);
        if (trial_size < size) {
            q = trial;
            error = trial_error;
            size = trial_size;
            damping = std::max(damping / kSolverDampingFactor, kSolverMinDamping);
        } else {
            damping = std::min(damping * kSolverDampingFactor, kSolverMaxDamping);
        }
    }
    return ToDegrees(q);
}

Vector3 ArmDynamics::RawAnglesDegrees() const { return ToDegrees(angle); }

Vector3 ArmDynamics::JointVelocitiesDegrees() const { return ToDegrees(velocity); }

Vector3 ArmDynamics::EndEffectorPosition() const { return PositionAt(angle); }

Vector3 ArmDynamics::EndEffectorVelocity() const {
    const Matrix jacobian = JacobianAt(angle);
    Vector3 out{};
    for (int i = 0; i < 3; ++i) {
        double sum = 0.0;
        for (int j = 0; j < 3; ++j)
            sum += jacobian[i][j] * velocity[j];
        out[i] = static_cast<float>(sum);
    }
    return out;
}

} // namespace Torvi::VirtualDevice
