#include "SessionPlayer.hpp"

#include <algorithm>
#include <utility>

namespace Torvi::VirtualDevice {

using Direction = SessionLine::Direction;

SessionPlayer::SessionPlayer(Session session, bool ignore_timing, bool loop)
    : session(std::move(session)), ignore_timing(ignore_timing), loop(loop) {}

void SessionPlayer::Begin(Clock::time_point now) {
    anchor_at = now;
    // From the start the lines keep their recorded times; on a resume the
    // next line is due at once rather than in a burst of everything missed.
    anchor_time = begun && next < session.lines.size() ? session.lines[next].time : 0.0;
    begun = true;
}

void SessionPlayer::Received(const uint8_t* bytes, std::size_t n) {
    received.insert(received.end(), bytes, bytes + n);
}

Clock::time_point SessionPlayer::DueAt(const SessionLine& line) const {
    if (ignore_timing) return anchor_at;
    const double delay = std::max(0.0, line.time - anchor_time);
    return anchor_at +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay));
}

SessionPlayer::Check SessionPlayer::Match(const SessionLine& line) {
    const std::size_t n = std::min(received.size(), line.bytes.size() - matched);
    for (std::size_t i = 0; i < n; ++i) {
        if (received[i] != line.bytes[matched + i]) {
            mismatch.line = line.number;
            mismatch.expected = line.bytes;
            mismatch.received.assign(line.bytes.begin(),
                                     line.bytes.begin() + static_cast<std::ptrdiff_t>(matched));
            mismatch.received.insert(mismatch.received.end(), received.begin(),
                                     received.begin() + static_cast<std::ptrdiff_t>(n));
            return Check::Differs;
        }
    }
    matched += n;
    received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(n));
    return matched == line.bytes.size() ? Check::Whole : Check::Partial;
}

// At the end of the lines: true when playing stops for this call. Starts
// over once per call with --loop, so that a session without host lines
// cannot keep one call going.
bool SessionPlayer::AtEnd(Clock::time_point now, bool& wrapped) {
    if (!loop || session.lines.empty() || wrapped) return true;
    wrapped = true;
    next = 0;
    anchor_at = now;
    anchor_time = 0.0;
    return false;
}

SessionPlayer::Outcome SessionPlayer::Play(Clock::time_point now, Bytes& out) {
    if (!begun) return Outcome::Playing;
    bool wrapped = false;
    for (;;) {
        if (next == session.lines.size() && AtEnd(now, wrapped)) {
            if (loop || received.empty()) return Outcome::Playing;
            mismatch = Mismatch{session.last_line + 1, {}, received};
            return Outcome::Mismatch;
        }
        const SessionLine& line = session.lines[next];
        if (line.direction == Direction::ToDevice) {
            const Check check = Match(line);
            if (check != Check::Whole) {
                return check == Check::Differs ? Outcome::Mismatch : Outcome::Playing;
            }
            matched = 0;
            anchor_at = now;
            anchor_time = line.time;
        } else {
            if (DueAt(line) > now) return Outcome::Playing;
            if (line.direction == Direction::HangUp) return Outcome::HangUp;
            out.insert(out.end(), line.bytes.begin(), line.bytes.end());
        }
        ++next;
    }
}

std::optional<Clock::time_point> SessionPlayer::NextDue() const {
    if (!begun) return std::nullopt;
    if (next == session.lines.size()) {
        // Starting over is due at once.
        return loop && !session.lines.empty() ? std::optional<Clock::time_point>(anchor_at)
                                              : std::nullopt;
    }
    const SessionLine& line = session.lines[next];
    if (line.direction == Direction::ToDevice) return std::nullopt;
    return DueAt(line);
}

} // namespace Torvi::VirtualDevice
