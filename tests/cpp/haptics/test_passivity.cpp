#include "Torvi/HardwareAPI/haptics/Passivity.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

using namespace Torvi::HardwareAPI::Haptics;

TEST(PassiveStiffness, SolvesTheBoundForTheStiffness) {
    EXPECT_DOUBLE_EQ(PassiveStiffness(1000.0, 4.0), 8000.0);
    EXPECT_DOUBLE_EQ(PassiveStiffness(500.0, 4.0, -1.0), 3000.0);
    EXPECT_DOUBLE_EQ(PassiveStiffness(250.0, 4.0, 5.0), 0.0);
}

TEST(PassiveStiffness, RejectsWhatHasNoBound) {
    const double nan = std::nan("");
    for (const auto& [rate, device, wall] : {std::array{0.0, 4.0, 0.0},
                                             {nan, 4.0, 0.0},
                                             {1000.0, -1.0, 0.0},
                                             {1000.0, nan, 0.0},
                                             {1000.0, 4.0, HUGE_VAL}}) {
        EXPECT_THROW(PassiveStiffness(rate, device, wall), std::invalid_argument);
    }
}

// A mass on a device with damping, held against a wall at x = 0 (the solid
// at x > 0) by a constant push, and a loop that renders the wall as the
// HapticLoop does: each cycle computes the force from the last reply, sends
// it, gets the position of that moment back, and the device holds the force
// for the period (integrated finely).
struct WallRun {
    double peak_to_peak_m = 0.0; ///< over the last half second
    double max_energy_j = 0.0;
    double final_energy_j = 0.0;
    std::uint64_t active_cycles = 0;
    std::uint64_t active_after_contact = 0; ///< cycles with damping in the last half second
};

WallRun RenderWall(double stiffness, bool passivity) {
    constexpr double kMass = 0.2, kDeviceDamping = 4.0, kPush = 2.0, kPeriod = 0.002;
    constexpr int kSubsteps = 200, kCycles = 2000;
    PassivityController controller;
    double x = -0.001, v = 0.0;
    WallRun run;
    double low = HUGE_VAL, high = -HUGE_VAL;
    PassivityCycle reply{{static_cast<float>(x), 0.0f, 0.0f}, {}, {}, kPeriod};
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const float penetration = reply.position[0];
        const Vector3 wall{penetration > 0.0f ? static_cast<float>(-stiffness) * penetration : 0.0f,
                           0.0f, 0.0f};
        const float held = passivity ? controller.Apply(reply, wall)[0] : wall[0];
        reply = {{static_cast<float>(x), 0.0f, 0.0f},
                 {static_cast<float>(v), 0.0f, 0.0f},
                 {held, 0.0f, 0.0f},
                 kPeriod};
        run.max_energy_j = std::max(run.max_energy_j, controller.EnergyJ());
        for (int step = 0; step < kSubsteps; ++step) {
            v += (held + kPush - kDeviceDamping * v) / kMass * (kPeriod / kSubsteps);
            x += v * (kPeriod / kSubsteps);
        }
        if (cycle >= kCycles * 3 / 4) {
            run.active_after_contact += controller.DampingNsm() > 0.0 ? 1 : 0;
            low = std::min(low, x);
            high = std::max(high, x);
        }
    }
    run.peak_to_peak_m = high - low;
    run.final_energy_j = controller.EnergyJ();
    run.active_cycles = controller.ActiveCycles();
    return run;
}

// The loop's force acts a cycle after the reply it was computed from, so a
// wall buzzes on this device from about a third of the bound on; twice the
// bound rings by centimetres.
TEST(PassivityController, SettlesAWallThatBuzzesWithoutIt) {
    const double bound = PassiveStiffness(500.0, 4.0);
    const WallRun off = RenderWall(2.0 * bound, false);
    const WallRun on = RenderWall(2.0 * bound, true);
    EXPECT_GT(off.peak_to_peak_m, 1e-3);
    EXPECT_LT(on.peak_to_peak_m, 1e-6);
    EXPECT_GT(on.active_cycles, 0u);
    // What the wall gave out stays within a few cycles' worth.
    EXPECT_LT(on.max_energy_j, 0.01);
}

TEST(PassivityController, LetsASettledWallBelowTheBoundBe) {
    const WallRun run = RenderWall(0.25 * PassiveStiffness(500.0, 4.0), true);
    EXPECT_EQ(run.active_after_contact, 0u);
    // Pressed in: the wall holds the energy the push put into it.
    EXPECT_LT(run.final_energy_j, 0.0);
}

TEST(PassivityController, PassesADamperThroughBitForBit) {
    PassivityController controller;
    Vector3 position{0.0f, 0.0f, 0.0f};
    Vector3 held{};
    for (int cycle = 0; cycle < 100; ++cycle) {
        const Vector3 velocity{0.3f * std::cos(0.05f * cycle), 0.1f, -0.2f};
        const Vector3 damper{-2.0f * velocity[0], -2.0f * velocity[1], -2.0f * velocity[2]};
        const Vector3 sent = controller.Apply({position, velocity, held, 0.001}, damper);
        ASSERT_EQ(sent, damper);
        for (std::size_t k = 0; k < 3; ++k) {
            position[k] += velocity[k] * 0.001f;
        }
        held = sent;
    }
    EXPECT_LT(controller.EnergyJ(), 0.0);
    EXPECT_EQ(controller.ActiveCycles(), 0u);
}

TEST(PassivityController, AStillHandGetsTheMostDampingNotADivisionByZero) {
    PassivityController controller;
    const Vector3 still{};
    const Vector3 push{2.0f, 0.0f, 0.0f};
    controller.Apply({{0.0f, 0.0f, 0.0f}, still, {1.0f, 0.0f, 0.0f}, 0.001}, push);
    // The force of 1 N did 1 mJ over the millimetre that followed.
    const Vector3 sent = controller.Apply({{0.001f, 0.0f, 0.0f}, still, push, 0.001}, push);
    EXPECT_NEAR(controller.EnergyJ(), 1e-3, 1e-9);
    EXPECT_DOUBLE_EQ(controller.DampingNsm(), PassivityController::kDampingMassKg / 0.001);
    EXPECT_EQ(sent, push);
}

TEST(PassivityController, BrakesOnlyAlongTheRenderedForce) {
    PassivityController controller;
    controller.Apply({{0.0f, 0.0f, 0.0f}, {}, {0.0f, 0.0f, 1.0f}, 0.001}, {});
    // 1 mJ out; the hand now moves along x and z, the wall pushes along z.
    const Vector3 sent =
        controller.Apply({{0.0f, 0.0f, 0.001f}, {0.5f, 0.0f, 0.2f}, {}, 0.001}, {0.0f, 0.0f, 1.0f});
    EXPECT_EQ(sent[0], 0.0f);
    EXPECT_EQ(sent[1], 0.0f);
    EXPECT_LT(sent[2], 1.0f);
    // As much as that damping takes out over the period, and no more.
    EXPECT_NEAR(controller.DampingNsm() * 0.2 * 0.2 * 0.001, 1e-3, 1e-9);
}

} // namespace
