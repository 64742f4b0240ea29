// What readers of the record cost the loop's thread: one
// SampleRing<LoopSample>::Push while 0, 1 or 3 reader threads drain cursors
// of their own every millisecond. Two ways: unpaced, the writer pushing as
// fast as it can (its processor time per push; the readers then always
// read the lines it is writing, a worst case), and paced, one push every
// 20 us as a 50 kHz loop would (each push timed alone: median and p99,
// which include the clock's own cost). The conditions take turns over
// several rounds; printed as JSON, the median of the rounds for each.

#include "Torvi/HardwareAPI/haptics/HapticLoop.hpp"
#include "Torvi/HardwareAPI/haptics/SampleRing.hpp"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Torvi::HardwareAPI::Haptics::HapticLoop;
using Torvi::HardwareAPI::Haptics::LoopSample;
using Torvi::HardwareAPI::Haptics::SampleCursor;
using Torvi::HardwareAPI::Haptics::SampleRing;

constexpr std::uint64_t kPushes = 2'000'000;
constexpr std::uint64_t kPacedPushes = 25'000;
constexpr std::chrono::microseconds kPace{20};
constexpr int kRounds = 7;
constexpr std::chrono::milliseconds kDrainInterval{1};
constexpr std::size_t kReaderCounts[] = {0, 1, 3};

double ThreadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

struct Cost {
    double unpaced_ns = 0.0; ///< processor time per push
    double paced_p50_ns = 0.0;
    double paced_p99_ns = 0.0;
};

/// Pushes `count` samples, one every `pace` (zero: at once).
std::vector<double> Write(SampleRing<LoopSample>& ring, std::uint64_t count,
                          std::chrono::microseconds pace) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> took;
    took.reserve(pace.count() > 0 ? count : 1);
    const double started = ThreadCpuNs();
    Clock::time_point due = Clock::now();
    for (std::uint64_t i = 0; i < count; ++i) {
        if (pace.count() == 0) {
            ring.Push(LoopSample{i, static_cast<double>(i)});
            continue;
        }
        due += pace;
        while (Clock::now() < due) {
        }
        const Clock::time_point before = Clock::now();
        ring.Push(LoopSample{i, static_cast<double>(i)});
        took.push_back(std::chrono::duration<double, std::nano>(Clock::now() - before).count());
    }
    if (pace.count() == 0) {
        took.push_back((ThreadCpuNs() - started) / static_cast<double>(count));
    }
    return took;
}

double Percentile(std::vector<double> values, double fraction) {
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

/// The writer's figures with `readers` draining, and whether each reader
/// accounted for every sample (taken or counted as dropped).
std::pair<std::vector<double>, bool> Run(std::size_t readers, std::uint64_t count,
                                         std::chrono::microseconds pace) {
    SampleRing<LoopSample> ring(HapticLoop::kDefaultRecordCapacity);
    std::atomic<bool> done{false};
    std::vector<std::uint64_t> accounted(readers, 0);
    std::vector<std::thread> threads;
    for (std::size_t r = 0; r < readers; ++r) {
        threads.emplace_back([&, r] {
            SampleCursor cursor;
            double sum = 0.0;
            for (bool last = false; !last;) {
                last = done.load();
                const auto drain = ring.Drain(cursor, ring.Capacity(),
                                              [&](const LoopSample& s) { sum += s.time; });
                accounted[r] += drain.taken + drain.dropped;
                std::this_thread::sleep_for(kDrainInterval);
            }
            accounted[r] += sum < 0.0 ? 1 : 0; // keeps the copies from being optimised away
        });
    }
    std::vector<double> took = Write(ring, count, pace);
    done.store(true);
    for (auto& thread : threads) {
        thread.join();
    }
    const bool whole = std::all_of(accounted.begin(), accounted.end(),
                                   [&](std::uint64_t n) { return n == count; });
    return {std::move(took), whole};
}

std::pair<Cost, bool> PushCost(std::size_t readers) {
    const auto [unpaced, whole] = Run(readers, kPushes, std::chrono::microseconds(0));
    const auto [paced, paced_whole] = Run(readers, kPacedPushes, kPace);
    return {Cost{unpaced[0], Percentile(paced, 0.5), Percentile(paced, 0.99)},
            whole && paced_whole};
}

} // namespace

int main() {
    std::vector<std::vector<Cost>> costs(std::size(kReaderCounts));
    bool whole = true;
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t k = 0; k < std::size(kReaderCounts); ++k) {
            const std::size_t index =
                (k + static_cast<std::size_t>(round)) % std::size(kReaderCounts);
            const auto [cost, complete] = PushCost(kReaderCounts[index]);
            costs[index].push_back(cost);
            whole = whole && complete;
        }
    }
    std::string json = "{";
    for (std::size_t k = 0; k < costs.size(); ++k) {
        const auto median = [&](double Cost::* figure) {
            std::vector<double> values;
            for (const Cost& cost : costs[k]) {
                values.push_back(cost.*figure);
            }
            return Percentile(values, 0.5);
        };
        char figure[192];
        std::snprintf(figure, sizeof figure,
                      "\"%zu\": {\"unpaced_ns\": %.2f, \"paced_p50_ns\": %.1f, "
                      "\"paced_p99_ns\": %.1f}, ",
                      kReaderCounts[k], median(&Cost::unpaced_ns), median(&Cost::paced_p50_ns),
                      median(&Cost::paced_p99_ns));
        json += figure;
    }
    json += std::string("\"every_reader_accounted_for_every_sample\": ") +
            (whole ? "true" : "false") + "}";
    std::puts(json.c_str());
}
