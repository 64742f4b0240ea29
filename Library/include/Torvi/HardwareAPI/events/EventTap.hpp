#pragma once

#include "Torvi/HardwareAPI/events/HandleEvent.hpp"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace Torvi::HardwareAPI::Events {

class HandleListener;

/// A second queue of a HandleListener's events (HandleListener::Tap): the
/// reader copies every event it queues into each of its taps as well, so
/// that a consumer beside the program (a stream, a log) sees every event
/// without taking any from the listener's own queue, which the program
/// iterates as before. A tap holds at most its `maxlen` events; when full the
/// oldest goes, counted in Dropped(). The reader never waits for a tap's
/// consumer: it holds the tap's lock for a copy. Any thread.
class EventTap {
public:
    /// Throws std::invalid_argument for a `maxlen` of 0 or above
    /// HandleListener::kMaxMaxlen.
    explicit EventTap(std::size_t maxlen);

    ~EventTap() = default;

    EventTap(const EventTap&) = delete;
    EventTap& operator=(const EventTap&) = delete;

    /// Moves the queued events to the end of `out`, oldest first; returns
    /// how many. Never waits.
    std::size_t TakeAll(std::vector<HandleEvent>& out);
    std::uint64_t Dropped() const;
    std::size_t Maxlen() const { return ring_.size(); }

private:
    friend class HandleListener;
    /// The listener's reader: queues a copy of `event`.
    void Push(const HandleEvent& event);

    mutable std::mutex mutex_; // held only to copy
    std::vector<HandleEvent> ring_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::uint64_t dropped_ = 0;
};

} // namespace Torvi::HardwareAPI::Events
