#pragma once

// Plays the device's side of a recorded session, line by line in the file's
// order: a line the device sent goes out at its recorded time, counted from
// the end of the host's last request (or from the start of the playback); a
// line the host sent is waited for and its bytes checked, one by one, as
// they come, however the host splits or joins its writes. Pure: it is told
// the time and what the host wrote, and says what to send and when; the
// replay loop carries the bytes.

#include "Session.hpp"

#include <optional>

namespace Torvi::VirtualDevice {

class SessionPlayer {
public:
    /// Host bytes that differ from the session: the line they were checked
    /// against (last line + 1 for bytes after the end), its bytes, and what
    /// the host sent in their place (at most as many).
    struct Mismatch {
        std::size_t line = 0;
        Bytes expected;
        Bytes received;
    };
    enum class Outcome { Playing, Mismatch, HangUp };

    /// `ignore_timing` sends each device line as soon as the lines before it
    /// are done; `loop` starts over after the last line.
    SessionPlayer(Session session, bool ignore_timing, bool loop);

    /// Starts the playback, or resumes it after the host came back: the
    /// lines still to play are timed from `now`.
    void Begin(Clock::time_point now);

    /// Bytes the host wrote, checked when their line comes.
    void Received(const uint8_t* bytes, std::size_t n);

    /// Plays every line due at `now`, appending what the device sends to
    /// `out`. Mismatch: see LastMismatch(); HangUp: a hang-up line is due.
    Outcome Play(Clock::time_point now, Bytes& out);

    const Mismatch& LastMismatch() const { return mismatch; }
    const Session& Played() const { return session; }

    /// When Play has something to do without hearing from the host; nothing
    /// while it waits for the host (or has played everything).
    std::optional<Clock::time_point> NextDue() const;

private:
    Clock::time_point DueAt(const SessionLine& line) const;
    enum class Check { Whole, Partial, Differs };
    /// Checks the received bytes against the host line `line`.
    Check Match(const SessionLine& line);
    bool AtEnd(Clock::time_point now, bool& wrapped);

    Session session;
    bool ignore_timing;
    bool loop;
    bool begun = false;
    std::size_t next = 0;    // the line to play next
    std::size_t matched = 0; // bytes of the next (host) line checked so far
    Bytes received;          // host bytes not checked yet
    Clock::time_point anchor_at;
    double anchor_time = 0.0;
    Mismatch mismatch;
};

} // namespace Torvi::VirtualDevice
