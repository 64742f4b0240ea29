#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>

namespace Torvi::HardwareAPI::IO {
class SerialStream;
struct ErrorLine;
} // namespace Torvi::HardwareAPI::IO

namespace Torvi::HardwareAPI::Devices {

/// What every device needs to talk over a serial stream, and the framing all
/// device protocols share: a request is one write of the first n bytes of
/// `send_buffer`; a reply is a header code, then a payload whose length the
/// code fixes, both read to offset 0 of `receive_buffer`.
///
/// A device borrows its stream: the stream's owner keeps it alive for as long
/// as the device is used. A device is used by one thread at a time.
class Device {
public:
    static constexpr std::size_t kBufferSize = 1024; ///< bytes in each buffer
    static constexpr float kDefaultTimeout = 5.0f;   ///< seconds per wait

    /// A device on `stream` (borrowed; may be null, in which case every send
    /// fails with an error line and every wait times out).
    explicit Device(IO::SerialStream* stream);

    /// Writes bytes 0 to n-1 of `send_buffer` in one write. A failure shows
    /// as an error line and a bad stream; nothing is returned.
    void Send(std::size_t n);

    /// The next byte of the stream, or 0 on time-out or failure (with an error
    /// line, except after a short read, which is silent). A wait cancelled
    /// through a CancellationScope of the calling thread returns 0 without a
    /// line.
    uint8_t AwaitHeaderCode();

    /// What AwaitFrame read: the header code (0 as from AwaitHeaderCode) and
    /// how many payload bytes came with it into `receive_buffer[0..]`.
    struct Frame {
        uint8_t code = 0;
        unsigned taken = 0; ///< the `n` asked for, or 0 when only the code was read
    };
    /// AwaitHeaderCode, with the same wait, time-out and error lines, for a
    /// reply whose payload will be `n` bytes: when the `n` bytes after the
    /// code are already queued as the code arrives, they are read with it in
    /// one call into `receive_buffer[0..n-1]`, whatever the code (`taken`
    /// is n); otherwise only the code is read (`taken` is 0) and the caller
    /// goes on with AwaitBytes as after AwaitHeaderCode.
    Frame AwaitFrame(unsigned n);

    /// Waits until `n` bytes are queued and reads them into
    /// `receive_buffer[0..n-1]`. Returns n, or 0 on time-out or failure. Bytes
    /// that arrived are left queued when the wait times out. A count above the
    /// buffer size is refused with an error line. Cancelled like
    /// AwaitHeaderCode.
    unsigned AwaitBytes(unsigned n);

    /// True when the last AwaitHeaderCode or AwaitBytes ended because it was
    /// cancelled, rather than by a reply, a failure or its time-out.
    bool WaitCancelled() const { return wait_cancelled; }

    /// Limit of each wait, in seconds; 0 or less waits without limit. The
    /// wait is measured in whole calendar seconds, so 5.0 gives 5 to 6 s.
    float timeout;
    /// The stream the device talks over; borrowed, never owned.
    IO::SerialStream* stream;
    /// Where requests are built: header code at byte 0, payload from byte 1.
    std::unique_ptr<uint8_t[]> send_buffer;
    /// Where replies land, from byte 0.
    std::unique_ptr<uint8_t[]> receive_buffer;

private:
    bool wait_cancelled = false;

    /// How a wait for queued bytes ended.
    enum class QueueWait { Ready, TimedOut, Cancelled };
    /// Polls until `n` bytes are queued, the time-out passes or the wait is
    /// cancelled; consumes nothing. `queued`: the count the last poll saw.
    QueueWait AwaitQueued(unsigned n, int& queued);
    /// AwaitQueued, a time-out reported as `timeout_line`; true when ready.
    bool AwaitReady(unsigned n, int& queued, const IO::ErrorLine& timeout_line);
    /// Polls of the queue between two looks at the clocks (the time-out's
    /// and the cancellation's): a few microseconds of polling.
    static constexpr unsigned kPollsPerClockCheck = 16;
    int Available() const;
    bool TimedOut(std::time_t start) const;
};

} // namespace Torvi::HardwareAPI::Devices
