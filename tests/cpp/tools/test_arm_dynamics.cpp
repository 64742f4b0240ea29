// The virtual arm's mechanics: targets are reached, forces push the end
// effector their way, the closed-form integration does not depend on how the
// time is cut up, and nothing a host sends drives the arm out of its limits.

#include "virtual_device/ArmDynamics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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
