#pragma once

// The device side of a fuzz run: a pseudo-terminal whose master has written
// the fuzz input, followed by padding chosen so that every operation the
// host starts inside the input can finish without waiting for a time-out.
// The host opens the slave through the library like any port.

#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include "support/PtyPair.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace TorviFuzz {

class ReplyFeed {
public:
    /// Longest input played: together with the padding it stays well inside
    /// the terminal's input queue (4096 bytes), so the master never blocks.
    static constexpr std::size_t kMaxInput = 2048;

    /// Plays `input` (cut to kMaxInput) then `padding`, and waits until all
    /// of it is queued for the host. Aborts when the terminal cannot be had
    /// or does not deliver: that is a fault of the harness, not a finding.
    ReplyFeed(const uint8_t* input, std::size_t size, const std::vector<uint8_t>& padding);

    Torvi::HardwareAPI::IO::SerialStream& stream() { return *serial; }

    /// Whether the host has not yet read the whole input.
    bool InputLeft() { return Consumed() < input_size; }

    /// Bytes of the feed the host has read so far.
    std::size_t Consumed();

    /// What the host wrote since the last call, without waiting.
    std::vector<uint8_t> TakeHostBytes();

    /// Like TakeHostBytes, but waits (briefly) until at least `expected`
    /// bytes have come: the terminal hands them over asynchronously.
    std::vector<uint8_t> TakeHostBytes(std::size_t expected);

private:
    TorviTest::PtyPair pty;
    std::unique_ptr<Torvi::HardwareAPI::IO::SerialStream> serial;
    std::size_t input_size;
    std::size_t total;
};

/// Stops the run with a message: libFuzzer records the input as a crash.
[[noreturn]] void Fail(const char* what);

} // namespace TorviFuzz
