#pragma once

// Cuts the bytes a handle sends into its replies and decodes each into an
// event. Pure: it is handed the bytes and the time they were read, and keeps
// only what a reply split over two reads needs, so it is checked from
// known-answer tables without a port.

#include "Torvi/HardwareAPI/events/HandleEvent.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Torvi::HardwareAPI::Events {

class HandleEventDecoder {
public:
    /// Takes `n` bytes read at `time` and appends to `out` an event for every
    /// reply they complete, in order, each stamped with `time`. A byte that
    /// starts no reply is skipped and counted; the bytes of a reply that has
    /// not all arrived are held for the next call.
    void Feed(const uint8_t* bytes, std::size_t n, double time, std::vector<HandleEvent>& out);

    /// A status request has been written: the next status reply (0xDA) is
    /// the stuffed frame that answers it, not a status message.
    void ExpectStatusFrame() { ++frames_expected_; }

    /// Whether the bytes of a reply that has not all arrived are held, and
    /// the time of the read that brought its first byte.
    bool Incomplete() const { return !pending_.empty(); }
    double IncompleteSince() const { return pending_since_; }

    /// Gives up the held bytes of a reply whose rest never came; they count
    /// as skipped, and the next byte read is taken as a header code.
    void DropIncomplete();

    /// Bytes skipped so far: those that start no reply, and those of
    /// replies given up by DropIncomplete.
    std::uint64_t Skipped() const { return skipped_; }

private:
    HandleEvent Decode(const uint8_t* reply, bool status_frame, double time);

    std::vector<uint8_t> pending_;
    double pending_since_ = 0.0;
    std::size_t frames_expected_ = 0;
    std::uint64_t skipped_ = 0;
};

} // namespace Torvi::HardwareAPI::Events
