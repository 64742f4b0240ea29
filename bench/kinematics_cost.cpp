// torvi-bench-kinematics: the cost of the host-side forward kinematics alone,
// the computation that get_end_effector_position(False) adds to a joint-state
// exchange. Times ForwardKinematics over a table of poses across the arm's
// range for SECONDS and prints one JSON object: calls made and nanoseconds
// per call (wall and process CPU).

#include "Torvi/HardwareAPI/devices/ArmillarKinematics.hpp"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

using Torvi::HardwareAPI::Devices::ForwardKinematics;
using Torvi::HardwareAPI::Devices::SharedKinematics;
using Angles = std::array<float, 3>;

constexpr int kPoses = 256;
constexpr int kCallsPerCheck = 4096; // calls between two looks at the clock

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Raw angles in degrees, spread over a head turn of +-30 and arm joints that
// open from -10..-60 and 10..60: every pose closes, as the arm's own do.
std::vector<Angles> Poses() {
    std::vector<Angles> poses;
    for (int k = 0; k < kPoses; ++k) {
        const float t = static_cast<float>(k) / kPoses;
        poses.push_back({-30.0f + 60.0f * t, -10.0f - 50.0f * t, 10.0f + 50.0f * (1.0f - t)});
    }
    return poses;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc == 2 ? std::atof(argv[1]) : 0.5;
    if (!(seconds > 0.0)) {
        std::fprintf(stderr, "usage: %s [SECONDS]\n", argv[0]);
        return 2;
    }
    const std::vector<Angles> poses = Poses();
    const auto& model = SharedKinematics();
    volatile float sink = 0.0f; // keeps the results alive
    using Clock = std::chrono::steady_clock;
    const double cpu_start = CpuSeconds();
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    long calls = 0;
    Clock::time_point now = start;
    while (now < deadline) {
        for (int i = 0; i < kCallsPerCheck; ++i) {
            const Angles position = ForwardKinematics(model, poses[(calls + i) % kPoses]);
            sink = sink + position[0];
        }
        calls += kCallsPerCheck;
        now = Clock::now();
    }
    const double wall = std::chrono::duration<double>(now - start).count();
    const double cpu = CpuSeconds() - cpu_start;
    std::printf("{\"calls\": %ld, \"wall_ns\": %.2f, \"cpu_ns\": %.2f, \"finite\": %s}\n", calls,
                wall / calls * 1e9, cpu / calls * 1e9,
                static_cast<float>(sink) == static_cast<float>(sink) ? "true" : "false");
    return 0;
}
