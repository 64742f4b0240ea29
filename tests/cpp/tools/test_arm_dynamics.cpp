// The virtual arm's mechanics: targets are reached, forces push the end
// effector their way, the closed-form integration does not depend on how the
// time is cut up, and nothing a host sends drives the arm out of its limits.

#include "virtual_device/ArmDynamics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

using Torvi::VirtualDevice::ArmDynamics;
using Torvi::VirtualDevice::Vector3;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

void ExpectNear(const Vector3& actual, const Vector3& expected, double tolerance) {
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

void ExpectWithinLimits(const ArmDynamics& arm) {
    const Vector3 angles = arm.RawAnglesDegrees();
    for (int j = 0; j < 3; ++j) {
        ASSERT_TRUE(std::isfinite(angles[j]));
        EXPECT_GE(angles[j], ArmDynamics::kLowerLimit[j] - 1e-3);
        EXPECT_LE(angles[j], ArmDynamics::kUpperLimit[j] + 1e-3);
    }
    EXPECT_GE(angles[2] - angles[1], ArmDynamics::kMinSpread - 1e-3);
    for (float v : arm.JointVelocitiesDegrees())
        EXPECT_TRUE(std::isfinite(v));
    for (float p : arm.EndEffectorPosition())
        EXPECT_TRUE(std::isfinite(p));
}

const Vector3 kPoses[] = {
    {0, -45, 45}, {10, -60, 50}, {20, -80, 20}, {-30, -20, 80}, {55, -95, 5}, {-50, -10, 30},
};

} // namespace

TEST(ArmDynamics, StartsAtRestInItsRestPose) {
    ArmDynamics arm;
    ExpectNear(arm.RawAnglesDegrees(), {0, -45, 45}, 1e-4);
    arm.Advance(1.0);
    ExpectNear(arm.RawAnglesDegrees(), {0, -45, 45}, 1e-4);
    ExpectNear(arm.EndEffectorVelocity(), {0, 0, 0}, 0.0);
}

TEST(ArmDynamics, JointTargetsAreReachedWithinMilliseconds) {
    for (const Vector3& pose : kPoses) {
        ArmDynamics arm;
        arm.CommandJointAngles(pose);
        arm.Advance(0.02);
        ExpectNear(arm.RawAnglesDegrees(), pose, 1e-3);
        ExpectNear(arm.JointVelocitiesDegrees(), {0, 0, 0}, 0.5);
    }
}

TEST(ArmDynamics, OutOfRangeTargetsStopAtTheLimits) {
    ArmDynamics arm;
    arm.CommandJointAngles({90, 20, -20});
    arm.Advance(0.1);
    ExpectWithinLimits(arm);
    EXPECT_NEAR(arm.RawAnglesDegrees()[0], ArmDynamics::kUpperLimit[0], 1e-3);
}

TEST(ArmDynamics, EndEffectorTargetsAreReachedWhereReachable) {
    for (const Vector3& pose : kPoses) {
        SCOPED_TRACE(::testing::Message()
                     << "pose " << pose[0] << " " << pose[1] << " " << pose[2]);
        ArmDynamics there;
        there.CommandJointAngles(pose);
        there.Advance(0.05);
        const Vector3 target = there.EndEffectorPosition();

        ArmDynamics arm;
        arm.CommandEndEffectorPosition(target);
        arm.Advance(0.05);
        ExpectNear(arm.EndEffectorPosition(), target, 1e-5);
    }
}

TEST(ArmDynamics, AnUnreachableTargetEndsAtTheNearestPlaceWithinLimits) {
    ArmDynamics arm;
    arm.CommandEndEffectorPosition({0.0f, 0.0245f, 1.0f});
    arm.Advance(0.1);
    ExpectWithinLimits(arm);
    // As far out along z as the linkage goes.
    EXPECT_GT(arm.EndEffectorPosition()[2], 0.29f);
}

TEST(ArmDynamics, ForcesDoPositiveWorkOnTheEndEffector) {
    const Vector3 forces[] = {{0, 0, 1}, {0, 0, -1}, {1, 0, 0}, {-1, 0, 0}, {0.5f, 0, -0.5f}};
    for (const Vector3& force : forces) {
        ArmDynamics arm;
        arm.CommandJointAngles({10, -60, 50});
        arm.Advance(0.05);
        const Vector3 before = arm.EndEffectorPosition();
        arm.CommandEndEffectorForce(force);
        arm.Advance(0.01);
        const Vector3 after = arm.EndEffectorPosition();
        double work = 0.0;
        for (int i = 0; i < 3; ++i)
            work += double(force[i]) * (after[i] - before[i]);
        EXPECT_GT(work, 1e-6) << force[0] << " " << force[1] << " " << force[2];
    }
}

TEST(ArmDynamics, OneLongStepEqualsManyShortOnes) {
    // Constant torque and the servo are solved in closed form; how the
    // time between requests is cut up must not matter.
    auto run = [](int steps, auto command) {
        ArmDynamics arm;
        command(arm);
        for (int i = 0; i < steps; ++i)
            arm.Advance(0.03 / steps);
        return arm;
    };
    auto torque = [](ArmDynamics& arm) { arm.CommandJointTorques({0.0004f, -0.0003f, 0.0002f}); };
    auto servo = [](ArmDynamics& arm) { arm.CommandJointAngles({15, -70, 40}); };
    const ArmDynamics torque_once = run(1, torque), torque_often = run(300, torque);
    ExpectNear(torque_once.RawAnglesDegrees(), torque_often.RawAnglesDegrees(), 1e-3);
    ExpectNear(torque_once.JointVelocitiesDegrees(), torque_often.JointVelocitiesDegrees(), 1e-2);
    const ArmDynamics servo_once = run(1, servo), servo_often = run(300, servo);
    ExpectNear(servo_once.RawAnglesDegrees(), servo_often.RawAnglesDegrees(), 1e-3);
}

TEST(ArmDynamics, EndEffectorVelocityMatchesTheMotion) {
    ArmDynamics arm;
    arm.CommandJointTorques({0.0003f, -0.0004f, 0.0002f});
    arm.Advance(0.01);
    const Vector3 p0 = arm.EndEffectorPosition();
    const Vector3 v = arm.EndEffectorVelocity();
    constexpr double dt = 1e-4;
    arm.Advance(dt);
    const Vector3 p1 = arm.EndEffectorPosition();
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR((p1[i] - p0[i]) / dt, v[i], 0.02 * std::abs(v[i]) + 2e-3);
}

TEST(ArmDynamics, MotorTorquesFollowTheCommand) {
    ArmDynamics arm;
    arm.CommandJointTorques({0.01f, -0.02f, 5.0f});
    arm.Advance(0.001);
    EXPECT_NEAR(arm.MotorTorques()[0], 0.01, 1e-9);
    EXPECT_NEAR(arm.MotorTorques()[1], -0.02, 1e-9);
    EXPECT_NEAR(arm.MotorTorques()[2], ArmDynamics::kMaxTorque, 1e-9); // saturated
    arm.CommandJointAngles(arm.RawAnglesDegrees());
    arm.Advance(1.0);
    for (double torque : arm.MotorTorques())
        EXPECT_NEAR(torque, 0.0, 1e-6);
}

TEST(ArmDynamics, NothingAHostSendsLeavesTheLimitsOrMakesNaN) {
    using Command = void (*)(ArmDynamics&);
    const Command commands[] = {
        [](ArmDynamics& a) { a.CommandJointTorques({kInf, -kInf, kNaN}); },
        [](ArmDynamics& a) { a.CommandJointTorques({1e30f, -1e30f, 1e30f}); },
        [](ArmDynamics& a) { a.CommandEndEffectorForce({kNaN, kInf, 1e38f}); },
        [](ArmDynamics& a) { a.CommandEndEffectorForce({0, 0, -1e30f}); },
        [](ArmDynamics& a) { a.CommandJointAngles({kNaN, kInf, -kInf}); },
        [](ArmDynamics& a) { a.CommandJointAngles({1e30f, 1e30f, -1e30f}); },
        [](ArmDynamics& a) { a.CommandEndEffectorPosition({kNaN, 0, 0}); },
        [](ArmDynamics& a) { a.CommandEndEffectorPosition({1e30f, -1e30f, kInf}); },
    };
    for (Command command : commands) {
        ArmDynamics arm;
        command(arm);
        for (double dt : {1e-6, 1e-3, 0.5, 3600.0}) {
            arm.Advance(dt);
            ExpectWithinLimits(arm);
        }
    }
}

// --- A simulated hand holding the end effector ---------------------------

namespace {

using Torvi::VirtualDevice::ArmSettings;
using Torvi::VirtualDevice::HandSettings;

Vector3 Offset(const Vector3& from, float dx, float dy, float dz) {
    return {from[0] + dx, from[1] + dy, from[2] + dz};
}

/// An arm held by a hand, advanced by `seconds` in host-like steps of 1 ms
/// under a constant end-effector force; `at` sees the arm after each step.
template <typename Seen = void (*)(const ArmDynamics&)>
ArmDynamics Hold(
    const ArmSettings& settings, const Vector3& force, double seconds,
    Seen at = [](const ArmDynamics&) {}) {
    ArmDynamics arm(settings);
    arm.CommandEndEffectorForce(force);
    for (int step = 0; step < static_cast<int>(seconds * 1000); ++step) {
        arm.Advance(1e-3);
        at(arm);
    }
    return arm;
}

ArmSettings Held(double stiffness, double damping, std::optional<Vector3> target) {
    ArmSettings settings;
    settings.hand = HandSettings{stiffness, damping, target, {}, 0.0};
    return settings;
}

} // namespace

TEST(ArmHeldByAHand, SettlesAtTheTargetAndAForceAwayByForceOverStiffness) {
    // Where the arm can move every way (away from home), the spring alone
    // holds the force: p = target + F / K.
    ArmDynamics there;
    there.CommandJointAngles({35, -60, 45});
    there.Advance(0.05);
    const Vector3 target = there.EndEffectorPosition();
    struct Case {
        double stiffness;
        Vector3 force;
    };
    for (const Case& c :
         {Case{400, {0, 0, 0}}, Case{400, {0.5f, 0.2f, -1.0f}}, Case{1500, {-1.0f, -0.3f, 0.8f}}}) {
        const ArmDynamics arm = Hold(Held(c.stiffness, 5.0, target), c.force, 2.0);
        const Vector3 expected = Offset(target, c.force[0] / c.stiffness, c.force[1] / c.stiffness,
                                        c.force[2] / c.stiffness);
        ExpectNear(arm.EndEffectorPosition(), expected, 2e-6);
        ExpectNear(arm.EndEffectorVelocity(), {0, 0, 0}, 1e-5);
    }
    // Without a target the hand holds the arm at home.
    ExpectNear(Hold(Held(400, 5.0, std::nullopt), {0, 0, 0}, 0.5).EndEffectorPosition(),
               ArmDynamics::HomePosition(), 1e-7);
}

TEST(ArmHeldByAHand, OscillatesWithTheSetMassAndDampingAtHome) {
    // A small swing along z about home on an undamped hand: its period is
    // 2 pi sqrt(m / K), its peaks decay as exp(-b t / 2m), with the arm's
    // mass and damping settings. The integration neither adds nor loses
    // energy of its own (b = 0 keeps the amplitude).
    for (const double damping : {0.0, 1.5}) {
        ArmSettings settings = Held(400, 0.0, Offset(ArmDynamics::HomePosition(), 0, 0, 5e-5f));
        settings.mass_kg = 0.3;
        settings.damping_nsm = damping;
        // Upward crossings of the target (interpolated) and each swing's peak.
        std::vector<double> crossings, peaks;
        double last = -1.0;
        Hold(settings, {0, 0, 0}, 2.0, [&](const ArmDynamics& arm) {
            const double z = arm.EndEffectorPosition()[2] - (ArmDynamics::HomePosition()[2] + 5e-5);
            if (last < 0 && z >= 0) {
                crossings.push_back(arm.Time() - 1e-3 * z / (z - last));
                peaks.push_back(0.0);
            }
            if (!peaks.empty()) peaks.back() = std::max(peaks.back(), z);
            last = z;
        });
        ASSERT_GE(crossings.size(), 8u);
        const double cycles = static_cast<double>(crossings.size() - 1);
        const double period = (crossings.back() - crossings.front()) / cycles;
        EXPECT_NEAR(period, 2 * M_PI * std::sqrt(0.3 / 400), 2e-3);
        const double decay = peaks[crossings.size() - 2] / peaks[0];
        EXPECT_NEAR(decay, std::exp(-damping / (2 * 0.3) * period * (cycles - 1)), 0.02) << damping;
    }
}

TEST(ArmHeldByAHand, TheStrokeMovesTheTargetAndAStiffHandTheArmWithIt) {
    ArmSettings settings = Held(3000, 30, std::nullopt);
    settings.hand->stroke = {0.0f, 0.0f, 4e-4f};
    settings.hand->stroke_hz = 1.0;
    const double home_z = ArmDynamics::HomePosition()[2];
    double worst = 0;
    Hold(settings, {0, 0, 0}, 2.0, [&](const ArmDynamics& arm) {
        const double stroke = 4e-4 * std::sin(2 * M_PI * arm.Time());
        EXPECT_NEAR(arm.HandTarget()[2] - home_z, stroke, 1e-7);
        if (arm.Time() > 0.5)
            worst = std::max(worst, std::abs(arm.EndEffectorPosition()[2] - home_z - stroke));
    });
    EXPECT_LT(worst, 2e-5); // a twentieth of the stroke
}

TEST(ArmHeldByAHand, AWallHeldBetweenCommandsIsStableJustBelowTwoBOverT) {
    // A wall at home along z, its force K times the penetration sent with
    // each 1 ms command from the position that command's reply reports,
    // and held until the next: the classic bound says it is passive for
    // K < 2 b / T, b the arm's damping plus the hand's. The simulation must
    // agree, or nothing measured on it says anything about walls.
    constexpr double kPeriod = 1e-3, kHandDamping = 5.0;
    const double bound = 2 * (ArmDynamics::DefaultDampingNsm() + kHandDamping) / kPeriod;
    const Vector3 home = ArmDynamics::HomePosition();
    auto swing = [&](double stiffness) {
        ArmDynamics arm(Held(200, kHandDamping, Offset(home, 0, 0, 5e-3f)));
        double low = 1, high = -1;
        for (int cycle = 0; cycle < 3000; ++cycle) {
            arm.Advance(kPeriod);
            const double z = arm.EndEffectorPosition()[2];
            arm.CommandEndEffectorForce(
                {0, 0, static_cast<float>(-stiffness * std::max(0.0, z - home[2]))});
            if (cycle >= 2000) low = std::min(low, z), high = std::max(high, z);
        }
        return high - low;
    };
    EXPECT_LT(swing(0.85 * bound), 1e-5);
    EXPECT_GT(swing(1.2 * bound), 1e-4);
}
