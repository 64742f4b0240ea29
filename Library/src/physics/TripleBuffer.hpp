#pragma once

// What one thread publishes whole and others read without ever making it
// wait: three slots, one the writer fills, one the reader holds, and one in
// between that the two exchange with an atomic swap. The reader always gets
// the newest slot the writer completed, never one being written.

#include <array>
#include <atomic>

namespace Torvi::HardwareAPI::Physics {

template <typename Slot> class TripleBuffer {
public:
    /// Every slot a copy of `initial`, which the reader gets until the
    /// writer publishes (the slots' memory is taken here, never later).
    explicit TripleBuffer(const Slot& initial) : slots_{initial, initial, initial} {}

    /// The writer's slot, to fill before Publish(). The writer's thread only.
    Slot& Back() { return slots_[back_]; }
    /// Hands the filled slot over to the reader's side; the writer goes on
    /// with the slot that was in between. Never waits.
    void Publish() { back_ = middle_.exchange(back_ | kFresh) & kIndex; }

    /// The newest published slot (the initial one before any). One reader
    /// at a time: the caller serialises its readers. Never waits.
    const Slot& Front() {
        if ((middle_.load() & kFresh) != 0) {
            front_ = middle_.exchange(front_) & kIndex;
        }
        return slots_[front_];
    }

private:
    static constexpr unsigned kIndex = 3;
    static constexpr unsigned kFresh = 4; // the slot in between holds an unread publication

    std::array<Slot, 3> slots_;
    unsigned back_ = 0;
    std::atomic<unsigned> middle_{1};
    unsigned front_ = 2;
};

} // namespace Torvi::HardwareAPI::Physics
