#pragma once

#include "Torvi/HardwareAPI/haptics/LoopSample.hpp"
#include "Torvi/HardwareAPI/haptics/SampleRing.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace Torvi::HardwareAPI::Haptics {

/// The record of a loop's cycles as the loop's thread writes it.
using SampleRecord = SampleRing<LoopSample>;

/// One reader of a loop's record (HapticLoop::Reader): it takes every cycle
/// recorded after it was made, oldest first, at its own pace. Readers never
/// take samples from one another and the loop never waits for any of them:
/// one that falls behind loses its own oldest samples, each counted once in
/// its `dropped`. Taking costs the reader's thread only.
///
/// Callable from any thread; concurrent callers of one reader take turns,
/// different readers never wait for each other.
class LoopReader {
public:
    /// A reader of `record` from the next sample written on.
    explicit LoopReader(std::shared_ptr<const SampleRecord> record)
        : record_(std::move(record)), cursor_(record_->Cursor()) {}

    ~LoopReader() = default;

    LoopReader(const LoopReader&) = delete;
    LoopReader& operator=(const LoopReader&) = delete;

    std::size_t Capacity() const { return record_->Capacity(); }

    /// Samples recorded and not yet taken by this reader (at most Capacity()).
    std::size_t Pending() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return record_->Pending(cursor_);
    }

    /// Hands at most `most` of this reader's oldest samples not yet taken to
    /// `sink`, oldest first, on the calling thread; `dropped` counts the
    /// cycles overwritten since its previous call before it could take them.
    SampleDrain Take(std::size_t most, const std::function<void(const LoopSample&)>& sink) {
        std::lock_guard<std::mutex> lock(mutex_);
        return record_->Drain(cursor_, most, sink);
    }

private:
    std::shared_ptr<const SampleRecord> record_;
    mutable std::mutex mutex_; // one caller of this reader at a time
    SampleCursor cursor_;
};

} // namespace Torvi::HardwareAPI::Haptics
