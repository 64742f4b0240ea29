#include "Torvi/HardwareAPI/haptics/Effects.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using namespace Torvi::HardwareAPI::Haptics;

struct ForceCase {
    const char* name;
    Vector3 (*law)(const Vector3& position, const Vector3& velocity);
    Vector3 position;
    Vector3 velocity;
    Vector3 expected;
};

// Parameters shared by the table's rows, in numbers whose results are exact
// in single precision.
const SpringParameters kSpring{{1.0f, 2.0f, 3.0f}, 10.0f};
const PlaneParameters kFloor{{0.0f, 0.0f, 0.5f}, {0.0f, 0.0f, 1.0f}, 100.0f, 4.0f};
const SphereParameters kBall{{0.0f, 0.0f, 0.0f}, 1.0f, 8.0f, false};
const SphereParameters kBowl{{0.0f, 0.0f, 0.0f}, 1.0f, 8.0f, true};
const DamperParameters kDamper{0.5f};

Vector3 SpringLaw(const Vector3& p, const Vector3&) { return ForceLaws::Spring(kSpring, p); }
Vector3 FloorLaw(const Vector3& p, const Vector3& v) { return ForceLaws::Plane(kFloor, p, v); }
Vector3 BallLaw(const Vector3& p, const Vector3&) { return ForceLaws::Sphere(kBall, p); }
Vector3 BowlLaw(const Vector3& p, const Vector3&) { return ForceLaws::Sphere(kBowl, p); }
Vector3 DamperLaw(const Vector3&, const Vector3& v) { return ForceLaws::Damper(kDamper, v); }
Vector3 ClampLaw(const Vector3& force, const Vector3&) { return ForceLaws::Clamp(force, 5.0f); }

class ForceLawTest : public ::testing::TestWithParam<ForceCase> {};

TEST_P(ForceLawTest, GivesTheKnownForce) {
    const ForceCase& c = GetParam();
    const Vector3 force = c.law(c.position, c.velocity);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(force[i], c.expected[i], 1e-4f) << "component " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForceLawTest,
    ::testing::Values(
        ForceCase{"SpringPullsToItsAnchor", SpringLaw, {0, 0, 0}, {9, 9, 9}, {10, 20, 30}},
        ForceCase{"SpringAtItsAnchor", SpringLaw, {1, 2, 3}, {0, 0, 0}, {0, 0, 0}},
        ForceCase{"PlanePushesOutByDepth", FloorLaw, {7, 7, 0.25f}, {0, 0, 0}, {0, 0, 25}},
        ForceCase{"PlaneDampsInwardMotion", FloorLaw, {0, 0, 0.25f}, {5, 5, -2}, {0, 0, 33}},
        ForceCase{"PlaneNeverPulls", FloorLaw, {0, 0, 0.25f}, {0, 0, 10}, {0, 0, 0}},
        ForceCase{"PlaneFreeSpace", FloorLaw, {0, 0, 0.75f}, {0, 0, -10}, {0, 0, 0}},
        ForceCase{"BallPushesOut", BallLaw, {0, 0.25f, 0}, {0, 0, 0}, {0, 6, 0}},
        ForceCase{"BallOutside", BallLaw, {0, 2, 0}, {0, 0, 0}, {0, 0, 0}},
        ForceCase{"BallCentre", BallLaw, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        ForceCase{"BowlPullsBackIn", BowlLaw, {3, 0, 0}, {0, 0, 0}, {-16, 0, 0}},
        ForceCase{"BowlInside", BowlLaw, {0.5f, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        ForceCase{"DamperOpposesVelocity", DamperLaw, {4, 4, 4}, {2, -4, 6}, {-1, 2, -3}},
        ForceCase{"ClampKeepsDirection", ClampLaw, {6, 0, 8}, {}, {3, 0, 4}},
        ForceCase{"ClampLeavesSmallForces", ClampLaw, {3, 0, 4}, {}, {3, 0, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EffectParametersTest, RefusedChangesLeaveTheEffectAsItWas) {
    Plane wall(PlaneParameters{{0, 0, 0}, {0, 0, 2}, 1.0f, 0.0f});
    EXPECT_FLOAT_EQ(wall.Get().normal[2], 1.0f) << "the normal is normalised on set";
    EXPECT_THROW(wall.Update([](PlaneParameters& p) { p.normal = {0, 0, 0}; }),
                 std::invalid_argument);
    EXPECT_THROW(wall.Update([](PlaneParameters& p) { p.stiffness = -1.0f; }),
                 std::invalid_argument);
    EXPECT_THROW(Sphere(SphereParameters{{0, 0, 0}, -1.0f, 1.0f, false}), std::invalid_argument);
    EXPECT_FLOAT_EQ(wall.Get().stiffness, 1.0f);
    EXPECT_FLOAT_EQ(wall.Get().normal[2], 1.0f);
}

} // namespace
