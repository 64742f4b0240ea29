#include "Torvi/HardwareAPI/haptics/Effects.hpp"
#include "Torvi/HardwareAPI/haptics/MoveTo.hpp"

#include <gtest/gtest.h>

#include <array>
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
const LineParameters kLine{{0.0f, 0.0f, 0.0f}, {2.0f, 0.0f, 0.0f}, 10.0f, 2.0f};
// A fixture at the arm's scale, where the point of the segment nearest the
// hand comes out of rounding a few nanometres off it.
const LineParameters kFixture{{-0.05f, 0.0f, 0.2f}, {0.05f, 0.0f, 0.2f}, 200.0f, 5.0f};
const FenceParameters kFence{{-1.0f, -1.0f, -1.0f}, {1.0f, 1.0f, 1.0f}, 10.0f, 2.0f};

Vector3 SpringLaw(const Vector3& p, const Vector3&) { return ForceLaws::Spring(kSpring, p); }
Vector3 FloorLaw(const Vector3& p, const Vector3& v) { return ForceLaws::Plane(kFloor, p, v); }
Vector3 BallLaw(const Vector3& p, const Vector3&) { return ForceLaws::Sphere(kBall, p); }
Vector3 BowlLaw(const Vector3& p, const Vector3&) { return ForceLaws::Sphere(kBowl, p); }
Vector3 DamperLaw(const Vector3&, const Vector3& v) { return ForceLaws::Damper(kDamper, v); }
Vector3 ClampLaw(const Vector3& force, const Vector3&) { return ForceLaws::Clamp(force, 5.0f); }
Vector3 LineLaw(const Vector3& p, const Vector3& v) { return ForceLaws::Line(kLine, p, v); }
Vector3 FixtureLaw(const Vector3& p, const Vector3& v) { return ForceLaws::Line(kFixture, p, v); }
Vector3 FenceLaw(const Vector3& p, const Vector3& v) { return ForceLaws::Fence(kFence, p, v); }
// The "position" is the force sent last, the "velocity" the one asked next.
Vector3 LimitLaw(const Vector3& previous, const Vector3& next) {
    return ForceLaws::LimitChange(previous, next, 2.5f);
}

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
        ForceCase{"ClampLeavesSmallForces", ClampLaw, {3, 0, 4}, {}, {3, 0, 4}},
        ForceCase{"LinePullsToTheNearestPoint", LineLaw, {1, 0.5f, 0}, {0, 0, 0}, {0, -5, 0}},
        ForceCase{"LineDampsOnlyAcrossTheSegment", LineLaw, {1, 0.5f, 0}, {3, 1, 0}, {0, -7, 0}},
        ForceCase{"LinePastItsStart", LineLaw, {-1, 0, 0}, {0, 0, 0}, {10, 0, 0}},
        ForceCase{"LinePastItsEnd", LineLaw, {3, 0, 0.5f}, {0, 0, 0}, {-10, 0, -5}},
        ForceCase{"LineOnTheSegmentDampsOnlyAcross", LineLaw, {1, 0, 0}, {4, 5, 0}, {0, -10, 0}},
        ForceCase{"LineDampsOnlyTowardItsEnd", LineLaw, {3, 0, 0}, {1, 1, 0}, {-12, 0, 0}},
        // Within rounding of an end the hand counts as on the segment.
        ForceCase{
            "LineAtItsEndDampsOnlyAcross", LineLaw, {2.0000002f, 0, 0}, {3, 1, 0}, {0, -2, 0}},
        ForceCase{"FixtureOnItFreeAlong", FixtureLaw, {0.01f, 0, 0.2f}, {0.3f, 0, 0}, {0, 0, 0}},
        ForceCase{"FixtureBesideItFreeAlong",
                  FixtureLaw,
                  {0.01f, 1e-6f, 0.2f},
                  {0.3f, 0, 0},
                  {0, -2e-4f, 0}},
        ForceCase{
            "FixtureOnItDampsAcross", FixtureLaw, {0.01f, 0, 0.2f}, {0, 0, 0.3f}, {0, 0, -1.5f}},
        ForceCase{"FixtureBesideItDampsAcross",
                  FixtureLaw,
                  {0.01f, 1e-6f, 0.2f},
                  {0, -0.3f, 0},
                  {0, 1.4998f, 0}},
        ForceCase{"FenceInside", FenceLaw, {0.5f, 0, -0.5f}, {9, 9, 9}, {0, 0, 0}},
        ForceCase{"FenceOnItsFace", FenceLaw, {1, 0, 0}, {9, 0, 0}, {0, 0, 0}},
        ForceCase{"FenceDampsOutwardMotion", FenceLaw, {-1.5f, 0, 0}, {-1, 0, 0}, {7, 0, 0}},
        ForceCase{"FenceNeverPushesOut", FenceLaw, {-1.5f, 0, 0}, {5, 0, 0}, {0, 0, 0}},
        ForceCase{"LimitLeavesSmallChanges", LimitLaw, {1, 1, 1}, {2.5f, 3, 1}, {2.5f, 3, 1}},
        ForceCase{"LimitScalesTheChange", LimitLaw, {1, 1, 1}, {4, 5, 1}, {2.5f, 3, 1}},
        ForceCase{"LimitFromZero", LimitLaw, {0, 0, 0}, {0, -30, 40}, {0, -1.5f, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ForceLawKnownAnswers, FenceSpringsBackAlongEachAxisCrossed) {
    // Every region outside the box: its six faces, twelve edges and eight
    // corners, each 0.5 beyond the faces it crossed.
    for (int code = 0; code < 27; ++code) {
        const std::array<int, 3> side{code % 3 - 1, code / 3 % 3 - 1, code / 9 - 1};
        Vector3 position{};
        Vector3 expected{};
        for (int i = 0; i < 3; ++i) {
            position[i] = 1.5f * static_cast<float>(side[i]);
            expected[i] = -5.0f * static_cast<float>(side[i]);
        }
        const Vector3 force = ForceLaws::Fence(kFence, position, {0, 0, 0});
        for (int i = 0; i < 3; ++i) {
            EXPECT_FLOAT_EQ(force[i], expected[i]) << "region " << code << ", axis " << i;
        }
    }
}

TEST(ForceLawKnownAnswers, MoveToAnchorAndSpring) {
    const AnchorPoint part = ForceLaws::StepAnchor({0, 0, 0}, {3, 4, 0}, 1.0);
    EXPECT_DOUBLE_EQ(part[0], 0.6);
    EXPECT_DOUBLE_EQ(part[1], 0.8);
    EXPECT_EQ(ForceLaws::StepAnchor(part, {3, 4, 0}, 4.0), (AnchorPoint{3, 4, 0}))
        << "the last step lands on the target itself";
    const MoveToParameters move{{3, 4, 0}, 10.0f, 2.0f, 1.0f, 0.001f};
    const Vector3 force =
        ForceLaws::MovingSpring(move, {1, 2, 3}, {0.5, 0, 0}, {1, 1, 1}, {0, 0.25f, 1});
    EXPECT_FLOAT_EQ(force[0], 1.0f);  // 10 * 0 + 2 * 0.5
    EXPECT_FLOAT_EQ(force[1], 9.5f);  // 10 * 1 + 2 * -0.25
    EXPECT_FLOAT_EQ(force[2], 18.0f); // 10 * 2 + 2 * -1
}

TEST(ForceLawKnownAnswers, RampRunsFromZeroToOne) {
    EXPECT_EQ(ForceLaws::Ramp(-1.0, 2.0), 0.0);
    EXPECT_EQ(ForceLaws::Ramp(0.0, 2.0), 0.0);
    EXPECT_EQ(ForceLaws::Ramp(0.5, 2.0), 0.25);
    EXPECT_EQ(ForceLaws::Ramp(3.0, 2.0), 1.0);
    EXPECT_EQ(ForceLaws::Ramp(0.0, 0.0), 1.0) << "a ramp of no time is over at once";
}

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
