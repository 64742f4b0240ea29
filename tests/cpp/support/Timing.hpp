#pragma once

// Timing a call and capturing what it prints, for tests that bound how long
// a wait takes and check the error lines it leaves.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>

namespace TorviTest {

/// The devices time their waits on the wall clock, which a virtual machine's
/// clock discipline may run a little fast of the steady clock the tests read:
/// a lower bound on a wait, measured here, allows for that much.
constexpr double kWallClockSlack = 0.98;

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// What one call returned, how long it took and what it wrote on stderr.
template <typename Result> struct TimedCall {
    Result result;
    double seconds;
    std::string err;
};

/// Runs `call` with stderr captured. Bind the outcome as
/// `const auto [result, seconds, err] = TimeCapturingStderr([&] { ... });`.
template <typename Call> auto TimeCapturingStderr(Call&& call) -> TimedCall<decltype(call())> {
    ::testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    auto result = std::forward<Call>(call)();
    const double seconds = SecondsSince(start);
    return {std::move(result), seconds, ::testing::internal::GetCapturedStderr()};
}

} // namespace TorviTest
