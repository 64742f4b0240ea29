#pragma once

// What the loop publishes of its cycles: the last state, the statistics
// (counts, the window of periods and wake-ups behind the percentiles), the
// error that ended it, and the record of every cycle (a SampleRing). The
// loop's thread writes each cycle; any thread reads a copy.

#include "Torvi/HardwareAPI/haptics/HapticLoop.hpp"
#include "Torvi/HardwareAPI/haptics/LoopReader.hpp"
#include "Torvi/HardwareAPI/haptics/SampleRing.hpp"
#include "haptics/ForcePipeline.hpp"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Torvi::HardwareAPI::Haptics {

class LoopRecord {
public:
    /// The ring of `capacity` samples is allocated here (0: nothing is
    /// recorded); std::bad_alloc when it cannot be.
    explicit LoopRecord(std::size_t capacity);

    /// Before a run: the state, the statistics and the error start afresh
    /// (the samples not yet taken stay).
    void Begin();
    /// The loop's thread, once it knows its scheduling.
    void SetRealtime(bool realtime);
    /// The loop's thread: a finished cycle and what its pipeline made of
    /// it; a negative `period_us` marks the first cycle, which has none.
    void Cycle(const LoopState& state, const CycleForces& forces, double period_us,
               double lateness_us, bool overrun);
    /// A failed exchange, and why.
    void Fail(std::string reason);

    LoopState State() const;
    LoopStats Stats() const;
    std::vector<float> PeriodsUs() const;
    std::optional<std::string> Error() const;

    std::size_t Capacity() const { return samples_->Capacity(); }
    /// The loop's own reader (TakeSamples), which starts at the first sample.
    LoopReader& OwnReader() { return own_reader_; }
    const LoopReader& OwnReader() const { return own_reader_; }
    /// A reader from the next sample on.
    std::unique_ptr<LoopReader> Reader() const;

private:
    using Clock = std::chrono::steady_clock;

    /// Keeps a period and a wake-up in the window. published_mutex_ held.
    void Keep(double period_us, double lateness_us);

    // Written by the loop's thread only; shared with the readers, which may
    // outlive the loop.
    std::shared_ptr<SampleRecord> samples_;
    LoopReader own_reader_;

    mutable std::mutex published_mutex_; // held only to copy
    LoopState state_;
    LoopStats stats_;
    std::vector<float> periods_;  // ring of the last kPeriodWindow periods
    std::vector<float> lateness_; // ring of the last kPeriodWindow wake-ups
    std::size_t next_period_ = 0;
    Clock::time_point started_at_;
    Clock::time_point last_cycle_at_;
    std::optional<std::string> error_;
};

} // namespace Torvi::HardwareAPI::Haptics
