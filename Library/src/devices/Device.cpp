#include "Torvi/HardwareAPI/devices/Device.hpp"

#include "Torvi/HardwareAPI/devices/Cancellation.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"
#include "serial/ErrorLine.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace Torvi::HardwareAPI::Devices {

using IO::ErrorLine;
using IO::ReportError;

// The device layer's error lines. Source and line are fixed numbers that
// tools and users match on, not this file's own line numbers.
namespace ErrorLines {
inline constexpr const char* kDeviceSource = "Library/src/Device";

inline constexpr ErrorLine kHeaderCodeTimeout{kDeviceSource, 58, "timeout waiting for header code"};
inline constexpr ErrorLine kUnableToReadHeaderCode{kDeviceSource, 75,
                                                   "unable to read header code from stream"};
// A fixed-length read that times out reports with the header-code wording;
// the line number tells the two apart.
inline constexpr ErrorLine kPayloadTimeout{kDeviceSource, 87, "timeout waiting for header code"};
inline constexpr ErrorLine kUnableToReadBytes{kDeviceSource, 97,
                                              "unable to read '%zu' bytes from stream"};
// A request to read more than the receive buffer holds is refused rather than
// allowed to run past the end of the buffer.
inline constexpr ErrorLine kReadExceedsBuffer{kDeviceSource, 103,
                                              "unable to read '%zu' bytes into the receive buffer"};
// A send larger than the send buffer, or without a stream, is reported as
// the serial layer's failed write of that many bytes.
using IO::ErrorLines::kUnableToWrite;
} // namespace ErrorLines

Device::Device(IO::SerialStream* stream_)
    : timeout(kDefaultTimeout), stream(stream_), send_buffer(new uint8_t[kBufferSize]()),
      receive_buffer(new uint8_t[kBufferSize]()) {}

void Device::Send(std::size_t n) {
    if (n > kBufferSize) {
        errno = EINVAL;
        ReportError(ErrorLines::kUnableToWrite, n);
        return;
    }
    if (stream == nullptr) {
        errno = EBADF;
        ReportError(ErrorLines::kUnableToWrite, n);
        return;
    }
    stream->Write(send_buffer.get(), n);
}

int Device::Available() const { return stream != nullptr ? stream->Available() : 0; }

bool Device::TimedOut(std::time_t start) const {
    return timeout > 0 && std::difftime(std::time(nullptr), start) > timeout;
}

Device::QueueWait Device::AwaitQueued(unsigned n, int& queued) {
    wait_cancelled = false;
    // A reply already queued is taken without reading a clock.
    queued = Available();
    if (stream != nullptr && queued >= static_cast<int>(n)) {
        return QueueWait::Ready;
    }
    const std::time_t start = std::time(nullptr);
    CancellationPoll cancellation;
    // Poll the queue without pausing: a reply is taken the moment it is
    // complete, and nothing is consumed before, so the read that follows
    // never blocks. The clocks are read only every kPollsPerClockCheck
    // polls: a poll is a system call, a clock read is not, and the wait
    // ends at most that many polls after its limit.
    for (unsigned polls = 1;; ++polls) {
        queued = Available();
        if (stream != nullptr && queued >= static_cast<int>(n)) {
            return QueueWait::Ready;
        }
        if (polls % kPollsPerClockCheck != 0) {
            continue;
        }
        if (TimedOut(start)) {
            return QueueWait::TimedOut;
        }
        if (cancellation.Cancelled()) {
            wait_cancelled = true;
            return QueueWait::Cancelled;
        }
    }
}

uint8_t Device::AwaitHeaderCode() { return AwaitFrame(0).code; }

bool Device::AwaitReady(unsigned n, int& queued, const ErrorLine& timeout_line) {
    const QueueWait wait = AwaitQueued(n, queued);
    if (wait == QueueWait::TimedOut) {
        ReportError(timeout_line);
    }
    return wait == QueueWait::Ready;
}

Device::Frame Device::AwaitFrame(unsigned n) {
    int queued = 0;
    if (!AwaitReady(1, queued, ErrorLines::kHeaderCodeTimeout)) {
        return {};
    }
    // The payload comes with the code when it is queued whole already, as a
    // reply written in one piece is; otherwise only the code is read.
    const bool whole = n > 0 && n < kBufferSize && queued > static_cast<int>(n);
    const unsigned count = whole ? n + 1 : 1;
    uint8_t* const buffer = receive_buffer.get();
    stream->read(reinterpret_cast<char*>(buffer), count);
    if (!stream->good()) {
        // The port's buffer returns nothing from a read that failed, so the
        // code was not read either: the header code's line. A short read
        // ends silently, as it does for the code alone.
        if (!stream->eof()) {
            ReportError(ErrorLines::kUnableToReadHeaderCode);
        }
        return {};
    }
    const Frame frame{buffer[0], whole ? n : 0};
    if (whole) {
        std::memmove(buffer, buffer + 1, n);
    }
    return frame;
}

unsigned Device::AwaitBytes(unsigned n) {
    wait_cancelled = false;
    if (n > kBufferSize) {
        errno = EINVAL;
        ReportError(ErrorLines::kReadExceedsBuffer, static_cast<std::size_t>(n));
        return 0;
    }
    int queued = 0;
    if (!AwaitReady(n, queued, ErrorLines::kPayloadTimeout)) {
        return 0;
    }
    stream->read(reinterpret_cast<char*>(receive_buffer.get()), n);
    if (stream->good()) {
        return static_cast<unsigned>(stream->gcount());
    }
    if (!stream->eof()) {
        ReportError(ErrorLines::kUnableToReadBytes, static_cast<std::size_t>(n));
    }
    return 0;
}

} // namespace Torvi::HardwareAPI::Devices
