#pragma once

// How long the recent steps of a scene took: the loop's thread writes each
// duration into a ring of atomics, any thread reads a percentile of it.

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Torvi::HardwareAPI::Physics {

class StepTimes {
public:
    /// The steps the percentile covers.
    static constexpr std::size_t kWindow = 1024;

    /// The loop's thread: one step took `microseconds`.
    void Add(float microseconds) {
        const std::uint64_t count = count_.load(std::memory_order_relaxed);
        ring_[count % kWindow].store(microseconds, std::memory_order_relaxed);
        count_.store(count + 1, std::memory_order_release);
    }

    /// The `fraction` percentile (0.99: the 99th) of the last kWindow steps,
    /// microseconds; 0 before any step. Any thread.
    double Percentile(double fraction) const {
        const std::uint64_t count = count_.load(std::memory_order_acquire);
        const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(count, kWindow));
        if (kept == 0) {
            return 0.0;
        }
        std::vector<float> times(kept);
        for (std::size_t i = 0; i < kept; ++i) {
            times[i] = ring_[i].load(std::memory_order_relaxed);
        }
        const auto rank =
            static_cast<std::size_t>(std::lround(fraction * static_cast<double>(kept - 1)));
        std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(rank),
                         times.end());
        return times[rank];
    }

private:
    std::array<std::atomic<float>, kWindow> ring_{};
    std::atomic<std::uint64_t> count_{0};
};

} // namespace Torvi::HardwareAPI::Physics
