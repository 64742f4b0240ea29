#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

namespace Torvi::HardwareAPI::Haptics {

/// What one drain of a SampleRing took and lost.
struct SampleDrain {
    std::size_t taken = 0;     ///< samples handed to the sink
    std::uint64_t dropped = 0; ///< samples overwritten before they were taken
};

/// A ring of fixed capacity between one writer (a servo thread, once per
/// cycle) and one reader. The writer never waits and never allocates: when
/// the ring is full it overwrites the oldest sample. The reader counts every
/// sample it did not get, so that each sample ever pushed is either taken or
/// counted as dropped, exactly once.
///
/// Each slot is a sequence lock: the writer marks the slot odd while it
/// writes and even with the sample's index when done; the reader copies the
/// slot and keeps the copy only when the mark was the one it expected
/// before and after. The slot's words are atomics, so the copy is never a
/// data race, only possibly stale, and a stale copy is detected.
///
/// Push() from one thread only; Pending() and Drain() from one thread at a
/// time (the owner serialises its readers). Capacity 0 keeps nothing.
template <typename Sample> class SampleRing {
    static_assert(std::is_trivially_copyable_v<Sample>, "samples are copied as bytes");

public:
    explicit SampleRing(std::size_t capacity)
        : capacity_(capacity), slots_(capacity > 0 ? std::make_unique<Slot[]>(capacity) : nullptr) {
    }

    std::size_t Capacity() const noexcept { return capacity_; }

    /// Writer only. Constant time; overwrites the oldest sample when full.
    void Push(const Sample& sample) noexcept {
        if (capacity_ == 0) {
            return;
        }
        const std::uint64_t index = written_.load(std::memory_order_relaxed);
        Slot& slot = slots_[index % capacity_];
        slot.mark.store(Writing(index), std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        std::array<std::uint64_t, kWords> words{};
        std::memcpy(words.data(), &sample, sizeof(Sample));
        for (std::size_t i = 0; i < kWords; ++i) {
            slot.words[i].store(words[i], std::memory_order_relaxed);
        }
        slot.mark.store(Written(index), std::memory_order_release);
        written_.store(index + 1, std::memory_order_release);
    }

    /// Reader only. Samples written and not yet taken nor known to be lost,
    /// at most Capacity().
    std::size_t Pending() const noexcept {
        const std::uint64_t written = written_.load(std::memory_order_acquire);
        return static_cast<std::size_t>(std::min<std::uint64_t>(written - next_, capacity_));
    }

    /// Reader only. Hands at most `most` samples to `sink` (called as
    /// sink(const Sample&)), oldest first, and counts those overwritten
    /// before they could be taken. Samples written meanwhile stay for the
    /// next drain.
    template <typename Sink> SampleDrain Drain(std::size_t most, const Sink& sink) {
        SampleDrain drain;
        const std::uint64_t written = written_.load(std::memory_order_acquire);
        if (written - next_ > capacity_) {
            // Lapped: everything older than one ring's worth is gone.
            drain.dropped += written - capacity_ - next_;
            next_ = written - capacity_;
        }
        for (; next_ < written && drain.taken < most; ++next_) {
            Sample sample{};
            if (Read(next_, sample)) {
                sink(static_cast<const Sample&>(sample));
                ++drain.taken;
            } else {
                ++drain.dropped;
            }
        }
        return drain;
    }

private:
    static constexpr std::size_t kWords =
        (sizeof(Sample) + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);

    struct Slot {
        std::atomic<std::uint64_t> mark{0};
        std::array<std::atomic<std::uint64_t>, kWords> words{};
    };

    static std::uint64_t Writing(std::uint64_t index) { return 2 * index + 1; }
    static std::uint64_t Written(std::uint64_t index) { return 2 * index + 2; }

    /// Copies sample `index` out of its slot; false when the writer has
    /// overwritten it (before or during the copy).
    bool Read(std::uint64_t index, Sample& sample) const {
        const Slot& slot = slots_[index % capacity_];
        const std::uint64_t before = slot.mark.load(std::memory_order_acquire);
        if (before != Written(index)) {
            return false;
        }
        std::array<std::uint64_t, kWords> words{};
        for (std::size_t i = 0; i < kWords; ++i) {
            words[i] = slot.words[i].load(std::memory_order_relaxed);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (slot.mark.load(std::memory_order_relaxed) != before) {
            return false;
        }
        std::memcpy(static_cast<void*>(&sample), words.data(), sizeof(Sample));
        return true;
    }

    const std::size_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    std::atomic<std::uint64_t> written_{0}; // advanced by the writer only
    std::uint64_t next_ = 0;                // the reader's next index
};

} // namespace Torvi::HardwareAPI::Haptics
