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

/// Where one reader of a SampleRing has got to: the index of the next sample
/// it takes. Each reader keeps its own, so that readers never take samples
/// from one another.
struct SampleCursor {
    std::uint64_t next = 0;
};

/// A ring of fixed capacity between one writer (a servo thread, once per
/// cycle) and any number of readers, each with a SampleCursor of its own (a
/// broadcast: every reader sees every sample). The writer never waits, never
/// allocates and writes each sample once, whatever the number of readers:
/// when the ring is full it overwrites the oldest sample. A reader counts
/// every sample it did not get, so that each sample pushed after its cursor
/// was made is either taken by it or counted as dropped by it, exactly once;
/// a reader that falls behind loses only its own oldest samples.
///
/// Each slot is a sequence lock: the writer marks the slot odd while it
/// writes and even with the sample's index when done; the reader copies the
/// slot and keeps the copy only when the mark was the one it expected
/// before and after. The slot's words are atomics, so the copy is never a
/// data race, only possibly stale, and a stale copy is detected.
///
/// Push() from one thread only. A cursor is used by one thread at a time
/// (its owner serialises its callers); different cursors may be used at
/// once. The ring keeps one cursor of its own for Pending() and Drain()
/// without one. Capacity 0 keeps nothing.
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

    /// A cursor that takes the samples written from now on.
    SampleCursor Cursor() const noexcept { return {written_.load(std::memory_order_acquire)}; }

    /// Samples written after `cursor` and not yet taken nor known to be
    /// lost, at most Capacity().
    std::size_t Pending(const SampleCursor& cursor) const noexcept {
        const std::uint64_t written = written_.load(std::memory_order_acquire);
        return static_cast<std::size_t>(std::min<std::uint64_t>(written - cursor.next, capacity_));
    }

    /// Hands at most `most` samples after `cursor` to `sink` (called as
    /// sink(const Sample&)), oldest first, advances the cursor past them and
    /// counts those overwritten before they could be taken. Samples written
    /// meanwhile stay for the next drain. Reads the ring only: the writer
    /// and the other cursors never see it.
    template <typename Sink>
    SampleDrain Drain(SampleCursor& cursor, std::size_t most, const Sink& sink) const {
        SampleDrain drain;
        std::uint64_t& next = cursor.next;
        const std::uint64_t written = written_.load(std::memory_order_acquire);
        if (written - next > capacity_) {
            // Lapped: everything older than one ring's worth is gone.
            drain.dropped += written - capacity_ - next;
            next = written - capacity_;
        }
        for (; next < written && drain.taken < most; ++next) {
            Sample sample{};
            if (Read(next, sample)) {
                sink(static_cast<const Sample&>(sample));
                ++drain.taken;
            } else {
                ++drain.dropped;
            }
        }
        return drain;
    }

    /// The ring's own cursor, which starts at the first sample.
    std::size_t Pending() const noexcept { return Pending(own_); }
    template <typename Sink> SampleDrain Drain(std::size_t most, const Sink& sink) {
        return Drain(own_, most, sink);
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
    SampleCursor own_;                      // the cursor of Pending() and Drain()
};

} // namespace Torvi::HardwareAPI::Haptics
