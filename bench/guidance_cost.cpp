// torvi-bench-guidance: what the guidance effects and the gentle forces add
// to one cycle of the haptic loop, timed as the loop's thread runs them: each
// effect's Render through the Effect interface (a Spring beside them for
// reference), and the per-cycle arithmetic of a fade or the soft start (a
// ramp and a scaling) and of the rate limit (LimitChange), beside the clamp
// every cycle already makes, the passivity controller (observing, and
// damping on every call), and the record's one sample a cycle (a full
// ring of the default capacity, overwriting its oldest). The hand walks a fixed path in and out of
// the line and the fence. Prints one JSON object: nanoseconds per call, the median of several
// repetitions, each including the harness's own call (baseline_ns).

#include "Torvi/HardwareAPI/haptics/Effects.hpp"
#include "Torvi/HardwareAPI/haptics/HapticLoop.hpp"
#include "Torvi/HardwareAPI/haptics/MoveTo.hpp"
#include "Torvi/HardwareAPI/haptics/Passivity.hpp"
#include "Torvi/HardwareAPI/haptics/SampleRing.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI::Haptics;
using Clock = std::chrono::steady_clock;

constexpr int kRepetitions = 7;
constexpr int kCalls = 200'000;
constexpr int kPathPoints = 1024;
constexpr double kCycleSeconds = 0.001;
constexpr double kFadeSeconds = 1e6; // never over: every call ramps

/// Hand positions on a circle of 2 cm around the origin, tilted so that every
/// coordinate varies: in and out of a 1 cm box and off a segment.
std::vector<Vector3> Path() {
    std::vector<Vector3> path;
    for (int i = 0; i < kPathPoints; ++i) {
        const double angle = 2.0 * 3.141592653589793 * i / kPathPoints;
        path.push_back({static_cast<float>(0.02 * std::cos(angle)),
                        static_cast<float>(0.02 * std::sin(angle)),
                        static_cast<float>(0.01 * std::sin(3.0 * angle))});
    }
    return path;
}

/// Median nanoseconds per call of `call(i)`, the sum of whose results is
/// kept so that nothing is optimised away.
double TimePerCall(const std::function<Vector3(int)>& call, float& sink) {
    std::vector<double> per_call;
    for (int r = 0; r < kRepetitions; ++r) {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < kCalls; ++i) {
            sink += call(i)[0];
        }
        const auto elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start);
        per_call.push_back(elapsed.count() / kCalls);
    }
    std::nth_element(per_call.begin(), per_call.begin() + kRepetitions / 2, per_call.end());
    return per_call[kRepetitions / 2];
}

/// The effect's Render as the loop calls it, for the path's hand positions.
std::function<Vector3(int)> Rendering(Effect& effect, const std::vector<Vector3>& path) {
    effect.Restart();
    return [&effect, &path](int i) {
        const CycleInput cycle{path[static_cast<std::size_t>(i % kPathPoints)],
                               {0.01f, -0.02f, 0.0f},
                               kCycleSeconds,
                               kCycleSeconds * i};
        return effect.Render(cycle);
    };
}

using Cases = std::vector<std::pair<std::string, std::function<Vector3(int)>>>;

/// Times each case and prints the figures as one JSON object.
void PrintFigures(const Cases& cases) {
    float sink = 0.0f;
    std::string json = "{";
    for (const auto& [name, call] : cases) {
        json += (json.size() > 1 ? ", \"" : "\"") + name + "\": ";
        char figure[32];
        std::snprintf(figure, sizeof figure, "%.2f", TimePerCall(call, sink));
        json += figure;
    }
    std::printf("%s, \"finite\": %s}\n", json.c_str(), std::isfinite(sink) ? "true" : "false");
}

} // namespace

int main() {
    const std::vector<Vector3> path = Path();
    Spring spring(SpringParameters{{0, 0, 0}, 300.0f});
    // A target it never reaches: the anchor travels on every call.
    MoveTo move(MoveToParameters{{1000.0f, 0, 0}, 300.0f, 5.0f, 0.05f, 0.001f});
    Line line(LineParameters{{-0.01f, 0, 0}, {0.01f, 0, 0}, 400.0f, 2.0f});
    Fence fence(FenceParameters{{-0.01f, -0.01f, -0.01f}, {0.01f, 0.01f, 0.01f}, 800.0f, 2.0f});
    const auto force = [&path](int i) { return path[static_cast<std::size_t>(i % kPathPoints)]; };
    SampleRing<LoopSample> record(HapticLoop::kDefaultRecordCapacity);
    PassivityController observing;
    PassivityController damping;

    const Cases cases{
        // The harness alone: what every other figure includes.
        {"baseline_ns", force},
        {"spring_render_ns", Rendering(spring, path)},
        {"move_to_render_ns", Rendering(move, path)},
        {"line_render_ns", Rendering(line, path)},
        {"fence_render_ns", Rendering(fence, path)},
        {"clamp_ns", [&](int i) { return ForceLaws::Clamp(force(i), 0.015f); }},
        {"fade_ns",
         [&](int i) {
             const auto scale =
                 static_cast<float>(ForceLaws::Ramp(kCycleSeconds * i, kFadeSeconds));
             const Vector3 f = force(i);
             return Vector3{f[0] * scale, f[1] * scale, f[2] * scale};
         }},
        {"rate_limit_ns",
         [&](int i) { return ForceLaws::LimitChange(force(i), force(i + 1), 1e-4f); }},
        {"passivity_observe_ns",
         [&](int i) {
             // The hand walks the path against a spring: the energy it
             // observes stays at or below zero, the controller never acts.
             const Vector3 at = force(i);
             const Vector3 pull{-300.0f * at[0], -300.0f * at[1], -300.0f * at[2]};
             return observing.Apply({at, {0.01f, -0.02f, 0.0f}, pull, kCycleSeconds}, pull);
         }},
        {"passivity_damp_ns",
         [&](int i) {
             // Pushed along its motion every cycle: energy out, damping added.
             const Vector3 at = force(i);
             const Vector3 next = force(i + 1);
             const auto step = static_cast<float>(1.0 / kCycleSeconds);
             const Vector3 along{(next[0] - at[0]) * step, (next[1] - at[1]) * step,
                                 (next[2] - at[2]) * step};
             return damping.Apply({at, along, along, kCycleSeconds}, along);
         }},
        {"record_ns",
         [&](int i) {
             const Vector3 f = force(i);
             record.Push(
                 LoopSample{static_cast<std::uint64_t>(i), kCycleSeconds * i, f, f, f, f, 1000.0f});
             return f;
         }},
    };
    PrintFigures(cases);
    return 0;
}
