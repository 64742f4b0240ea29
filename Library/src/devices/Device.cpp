#include "Torvi/HardwareAPI/devices/Device.hpp"

#include "Torvi/HardwareAPI/devices/Cancellation.hpp"

#include "Torvi/HardwareAPI/serial/ErrorLine.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <cerrno>
#include <ctime>

namespace Torvi::HardwareAPI::Devices {

using IO::ReportError;
namespace ErrorLines = IO::ErrorLines;

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

uint8_t Device::AwaitHeaderCode() {
    const std::time_t start = std::time(nullptr);
    CancellationPoll cancellation;
    wait_cancelled = false;
    // Poll the queue without pausing: a reply is taken the moment it lands.
    for (;;) {
        if (Available() >= 1) {
            stream->read(reinterpret_cast<char*>(receive_buffer.get()), 1);
            if (stream->good()) {
                return receive_buffer[0];
            }
            if (!stream->eof()) {
                ReportError(ErrorLines::kUnableToReadHeaderCode);
            }
            return 0;
        }
        if (TimedOut(start)) {
            ReportError(ErrorLines::kHeaderCodeTimeout);
            return 0;
        }
        if (cancellation.Cancelled()) {
            wait_cancelled = true;
            return 0;
        }
    }
}

unsigned Device::AwaitBytes(unsigned n) {
    wait_cancelled = false;
    if (n > kBufferSize) {
        errno = EINVAL;
        ReportError(ErrorLines::kReadExceedsBuffer, static_cast<std::size_t>(n));
        return 0;
    }
    const std::time_t start = std::time(nullptr);
    CancellationPoll cancellation;
    // Nothing is consumed until the whole payload is queued, so the read
    // below never blocks.
    for (;;) {
        if (stream != nullptr && Available() >= static_cast<int>(n)) {
            stream->read(reinterpret_cast<char*>(receive_buffer.get()), n);
            if (stream->good()) {
                return static_cast<unsigned>(stream->gcount());
            }
            if (!stream->eof()) {
                ReportError(ErrorLines::kUnableToReadBytes, static_cast<std::size_t>(n));
            }
            return 0;
        }
        if (TimedOut(start)) {
            ReportError(ErrorLines::kPayloadTimeout);
            return 0;
        }
        if (cancellation.Cancelled()) {
            wait_cancelled = true;
            return 0;
        }
    }
}

} // namespace Torvi::HardwareAPI::Devices
