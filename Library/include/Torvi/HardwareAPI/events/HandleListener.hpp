#pragma once

#include "Torvi/HardwareAPI/events/EventTap.hpp"
#include "Torvi/HardwareAPI/events/HandleEvent.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Torvi::HardwareAPI::Devices {
class Handle;
}

namespace Torvi::HardwareAPI::Events {

class HandleEventDecoder;

/// A descriptor (an eventfd) that an event loop on another thread can watch
/// for a listener's events: once armed, it becomes readable when the
/// listener queues an event or ends. The loop then clears it, takes what is
/// queued, and arms it again before it waits once more.
class EventSignal {
public:
    /// Throws std::system_error when no eventfd can be had.
    EventSignal();
    ~EventSignal();

    EventSignal(const EventSignal&) = delete;
    EventSignal& operator=(const EventSignal&) = delete;

    int Fd() const { return fd_; }
    /// The next Notify makes the descriptor readable.
    void Arm() { armed_.store(true); }
    /// Empties the descriptor.
    void Clear();
    /// When armed: disarms and makes the descriptor readable. Any thread;
    /// never blocks.
    void Notify();

private:
    int fd_ = -1;
    std::atomic<bool> armed_{false};
};

/// Listens to one handle on a native thread of its own, the reader: it
/// waits for the handle's bytes, decodes each reply into a HandleEvent
/// stamped with the moment its last byte was read, and queues it. Any thread
/// takes the events (Next), looks at the newest status (Latest) and asks for
/// writes, which the reader makes between two reads, in the order asked.
///
/// While it listens the listener has the handle and its stream to itself
/// (Listening() tells the bindings to refuse every other use); a second
/// listener on the same handle is refused. Only the handle's send operations
/// and its stream are used: none of its event handlers is called.
///
/// The queue holds at most `maxlen` events; when it is full the oldest goes
/// and is counted (Dropped). The reader never waits for a consumer: it takes
/// only locks that are held for a copy.
///
/// Failure: a hang-up, a failed read or a failed write ends the reader;
/// Error() then says why, and the events queued before stay to be taken.
/// A silent handle is no failure: the reader waits as long as it takes.
/// Nothing is thrown from the reader.
class HandleListener {
public:
    static constexpr std::size_t kDefaultMaxlen = 1024;
    /// The largest queue allowed (each event holds a whole status message).
    static constexpr std::size_t kMaxMaxlen = 65536;
    /// The bytes of a reply that stop coming for this long are given up and
    /// counted as skipped, so that the next reply is read from its own
    /// header code.
    static constexpr std::chrono::milliseconds kIncompleteAfter{250};

    /// A listener for `handle` (borrowed: it and its stream must outlive the
    /// listener). Throws std::invalid_argument for a `maxlen` of 0 or above
    /// kMaxMaxlen. Does not start.
    HandleListener(Devices::Handle& handle, std::size_t maxlen);
    /// Stops the listener as Stop() does.
    ~HandleListener();

    HandleListener(const HandleListener&) = delete;
    HandleListener& operator=(const HandleListener&) = delete;

    /// Claims the handle and starts the reader. Throws std::runtime_error
    /// when the handle already has a listener or when this one has run
    /// before (a listener runs once), std::invalid_argument when the handle
    /// has no stream, std::system_error when no thread can be made. On a
    /// stream that is not open or has failed before, the reader ends at once
    /// with the reason in Error().
    void Start();
    /// Ends the reader, leaving the queued events to be taken, and gives the
    /// handle back. Returns within a few milliseconds whatever the handle
    /// does: the reader never blocks outside its wait, which this wakes. Any
    /// number of times, also before Start().
    void Stop();

    /// How a Next ended.
    enum class Taken {
        Event,     ///< `event` holds the oldest queued event, now removed
        TimedOut,  ///< nothing came within the time-out
        Ended,     ///< nothing is queued and the reader has ended
        Cancelled, ///< a CancellationScope of the calling thread asked to stop
    };
    /// Seconds of a time-out beyond which it counts as none: about 70 years,
    /// still within what the clock counts.
    static constexpr double kLongestTimeoutSeconds = 2.2e9;
    /// The oldest queued event, waiting for one at most `timeout` (without
    /// limit when empty or beyond kLongestTimeoutSeconds; zero looks without
    /// waiting). The wait also ends when
    /// the reader ends, and at the coarse check interval of CancellationPoll
    /// when a CancellationScope of the calling thread asks.
    Taken Next(HandleEvent& event, std::optional<std::chrono::duration<double>> timeout);

    /// The newest "status" or "status_frame" event decoded so far, whether
    /// or not it has been taken or dropped; empty before the first.
    std::optional<HandleEvent> Latest() const;
    std::uint64_t Dropped() const;
    std::uint64_t Skipped() const { return skipped_.load(); }
    /// True from Start() until the reader ends (Stop() or a failure).
    bool Running() const { return running_.load(); }
    /// Why the reader ended by itself; empty otherwise.
    std::optional<std::string> Error() const;
    std::size_t Maxlen() const { return capacity_; }

    // Writes made by the reader between two reads, in the order asked. Each
    // returns once its bytes have been written, within about one read's
    // processing. Each throws std::runtime_error, writing nothing, when the
    // listener is not running or stops before the write, and when the write
    // fails (which ends the listener). A wait cancelled through a
    // CancellationScope returns at once; the write is still made.

    /// The status request (0xDA); the next status reply is read as the
    /// stuffed frame that answers it.
    void RequestStatus();
    /// The wakeup request (0x0A).
    void SendDeviceWakeup();
    /// The HandleState request with `user_data` (at most 255 bytes; longer
    /// is refused with std::invalid_argument).
    void SendHandleState(uint16_t device_id, std::vector<uint8_t> user_data);

    /// `signal` is notified, once armed, of every event queued and of the
    /// reader's end, until Unwatch. Any thread.
    void Watch(const std::shared_ptr<EventSignal>& signal);
    void Unwatch(const std::shared_ptr<EventSignal>& signal);

    /// A tap of `maxlen` events (see EventTap): from now until Untap, every
    /// event queued is copied into it as well, whoever takes the events from
    /// this listener. Any thread; std::invalid_argument for a `maxlen` as
    /// EventTap refuses.
    std::shared_ptr<EventTap> Tap(std::size_t maxlen = kDefaultMaxlen);
    void Untap(const std::shared_ptr<EventTap>& tap);

    /// Whether a listener has `handle` now. Any thread.
    static bool Listening(const Devices::Handle& handle);

private:
    struct Write {
        enum class Kind { Status, Wakeup, State } kind;
        uint16_t device_id = 0;
        std::vector<uint8_t> user_data;
    };

    void Run();
    void Finish();
    /// Makes the asked writes; false when one failed.
    bool MakeWrites();
    /// Reads what the port has queued and queues its events; false when the
    /// port hung up or the read failed.
    bool ReadQueued(std::vector<uint8_t>& chunk, std::vector<HandleEvent>& decoded);
    int WaitTimeoutMs() const;
    void Publish(const std::vector<HandleEvent>& events);
    void Fail(std::string reason);
    void Wake();
    void Ask(Write write);
    /// Waits on `changed` for `done`, in slices so that a CancellationScope
    /// of the calling thread is looked at; false when it asked to stop.
    template <typename Predicate>
    bool WaitCancellably(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                         std::optional<std::chrono::steady_clock::time_point> deadline,
                         Predicate done);

    Devices::Handle& handle_;
    const std::size_t capacity_;
    std::unique_ptr<HandleEventDecoder> decoder_; // the reader's own
    int wake_fd_ = -1;                            // an eventfd that ends the reader's wait

    std::thread thread_;
    bool started_ = false;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    std::atomic<std::uint64_t> skipped_{0};

    // The queue, a ring of capacity_ events allocated once, and what the
    // reader publishes with it. Held only to copy.
    mutable std::mutex queue_mutex_;
    std::condition_variable queue_changed_;
    std::vector<HandleEvent> ring_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::uint64_t dropped_ = 0;
    std::optional<HandleEvent> latest_;
    std::optional<std::string> error_;
    bool finished_ = true; // the reader has ended (or never started)
    std::vector<std::shared_ptr<EventSignal>> signals_;
    std::vector<std::shared_ptr<EventTap>> taps_;

    // The writes asked and not yet made, and how many have been made.
    std::mutex writes_mutex_;
    std::condition_variable writes_changed_;
    std::deque<Write> writes_;
    std::uint64_t writes_asked_ = 0;
    std::uint64_t writes_made_ = 0;
    bool writes_closed_ = true; // no more writes are made
};

} // namespace Torvi::HardwareAPI::Events
