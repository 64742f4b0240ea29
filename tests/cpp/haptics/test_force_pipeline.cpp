// The force pipeline's stages, each fed cycles without a loop or a device,
// and the pipeline's order: what the record calls `requested` and `force`.

#include "haptics/CycleTask.hpp"
#include "haptics/Fade.hpp"
#include "haptics/ForcePipeline.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

using namespace Torvi::HardwareAPI::Haptics;

/// A cycle `since_start_s` into the run, `step_s` after the previous one.
CycleInput At(double since_start_s, double step_s = 0.001) {
    return {{}, {}, step_s, since_start_s};
}

float Length(const Vector3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

TEST(SoftStartStage, RampsOverTheLengthTakenAtBegin) {
    SoftStart stage;
    stage.Set(2.0);
    stage.Begin();
    stage.Set(0.0); // for the next run only
    const Vector3 force{4.0f, -2.0f, 0.0f};
    EXPECT_EQ(stage.Apply(At(0.0), force), (Vector3{0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(stage.Apply(At(0.5), force), (Vector3{1.0f, -0.5f, 0.0f}));
    EXPECT_EQ(stage.Apply(At(3.0), force), force);
    EXPECT_THROW(stage.Set(-1.0), std::invalid_argument);
    EXPECT_EQ(stage.SecondsSet(), 0.0);
}

TEST(ForceRateLimitStage, StepsFromTheLastForceItLetThrough) {
    ForceRateLimit stage;
    stage.Set(1000.0f); // 1 N per 1 ms cycle
    stage.Begin();
    const Vector3 target{3.0f, 0.0f, 0.0f};
    EXPECT_EQ(stage.Apply(At(0.001), target), (Vector3{1.0f, 0.0f, 0.0f}));
    EXPECT_EQ(stage.Apply(At(0.002), target), (Vector3{2.0f, 0.0f, 0.0f}));
    // A longer step allows a longer change.
    EXPECT_EQ(stage.Apply(At(0.004, 0.002), Vector3{}), (Vector3{0.0f, 0.0f, 0.0f}));
    // Without a limit it passes the force and still remembers it, so that a
    // limit set again is measured from the force last sent.
    stage.Set(std::nullopt);
    EXPECT_EQ(stage.Apply(At(0.005), target), target);
    stage.Set(1000.0f);
    EXPECT_EQ(stage.Apply(At(0.006), Vector3{}), (Vector3{2.0f, 0.0f, 0.0f}));
    stage.Begin(); // a new run starts from the first cycle's zero force
    EXPECT_EQ(stage.Apply(At(0.001), target), (Vector3{1.0f, 0.0f, 0.0f}));
    EXPECT_THROW(stage.Set(0.0f), std::invalid_argument);
    EXPECT_EQ(stage.Get(), std::optional<float>(1000.0f));
}

TEST(ExternalForceStage, ReadsTheLastFiniteForceSet) {
    ExternalForce stage;
    stage.Set({1.0f, 2.0f, 3.0f});
    EXPECT_THROW(stage.Set({0.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f}),
                 std::invalid_argument);
    EXPECT_EQ(stage.Read(), (Vector3{1.0f, 2.0f, 3.0f}));
    stage.Set({-4.0f, 0.5f, 0.0f});
    EXPECT_EQ(stage.Read(), (Vector3{-4.0f, 0.5f, 0.0f}));
}

TEST(FadeStage, RampsFromItsFirstCycleAndEndsAFadeOut) {
    constexpr Nanoseconds kTenMs = 10'000'000;
    Fade in(0.0, 1.0, kTenMs);
    EXPECT_DOUBLE_EQ(in.Advance(5 * kTenMs), 0.0); // counted from here
    EXPECT_DOUBLE_EQ(in.Advance(5 * kTenMs + kTenMs / 2), 0.5);
    EXPECT_FALSE(in.Over());
    EXPECT_DOUBLE_EQ(in.Advance(7 * kTenMs), 1.0);
    EXPECT_TRUE(in.Over());
    EXPECT_FALSE(in.Gone()); // a fade-in stays when it is over

    Fade out(0.5, 0.0, kTenMs); // turned around half-way in
    EXPECT_DOUBLE_EQ(out.Scale(), 0.5);
    EXPECT_DOUBLE_EQ(out.Advance(0), 0.5);
    EXPECT_DOUBLE_EQ(out.Advance(kTenMs), 0.0);
    EXPECT_TRUE(out.Gone());
    EXPECT_THROW(FadeLength(-0.1), std::invalid_argument);
    EXPECT_EQ(FadeLength(0.01), kTenMs);
}

class ConstantTask final : public CycleTask {
public:
    explicit ConstantTask(Vector3 force) : force_(force) {}
    void Step(const CycleInput&, Nanoseconds, Vector3& total) override {
        for (std::size_t i = 0; i < total.size(); ++i) {
            total[i] += force_[i];
        }
    }

private:
    Vector3 force_;
};

TEST(ForcePipelineOrder, RequestedIsBeforeTheClampAndSentAfterTheRateLimit) {
    ForcePipeline pipeline(std::nullopt, 2.0f); // clamp at 2 N
    pipeline.soft_start.Set(1.0);
    pipeline.rate_limit.Set(500.0f); // 0.5 N per 1 ms cycle
    pipeline.Begin();
    pipeline.external.Set({1.0f, 0.0f, 0.0f});
    ConstantTask push({7.0f, 0.0f, 0.0f});
    CycleTasks tasks;
    tasks.Append(push);
    tasks.Append(push);
    // Half-way through the soft start: (1 + 7 + 7) * 0.5.
    const CycleForces first = pipeline.Run(At(0.5), 0, tasks);
    EXPECT_EQ(first.requested, (Vector3{7.5f, 0.0f, 0.0f}));
    EXPECT_EQ(first.sent, (Vector3{0.5f, 0.0f, 0.0f})); // clamped to 2, limited to 0.5
    for (int i = 0; i < 10; ++i) {
        pipeline.Run(At(0.5), 0, tasks);
    }
    EXPECT_FLOAT_EQ(Length(pipeline.Run(At(0.5), 0, tasks).sent), 2.0f);
}

} // namespace
