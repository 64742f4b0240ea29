#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include "serial/ErrorLine.hpp"
#include "serial/serialib.hpp"

#include <poll.h>
#include <sys/ioctl.h>

namespace Torvi::HardwareAPI::IO {

namespace {
// What an error line shows for a stream built without a path.
constexpr const char* kNoPathText = "(null)";
} // namespace

SerialStream::SerialStream(const char* path_, bool open_now_)
    : std::iostream(nullptr), path(path_ != nullptr ? path_ : ""), has_path(path_ != nullptr),
      open_now(open_now_) {
    if (open_now && Open() < 0) {
        ReportError(ErrorLines::kUnableToOpenStream, has_path ? path.c_str() : kNoPathText);
    }
}

SerialStream::~SerialStream() {
    if (buffer) {
        buffer->CloseTty();
    }
}

int8_t SerialStream::Open() {
    buffer = std::make_unique<serialib>();
    // Installing the buffer also resets the stream state to good.
    rdbuf(buffer.get());
    const int status = buffer->OpenTty(has_path ? path.c_str() : nullptr);
    if (status >= 0) {
        buffer->AssertDtr();
    } else {
        ReportError(ErrorLines::kUnableToOpenPort, has_path ? path.c_str() : kNoPathText);
    }
    return static_cast<int8_t>(status);
}

void SerialStream::Close() {
    if (buffer) {
        buffer->CloseTty();
    }
}

int SerialStream::Available() {
    if (!buffer || buffer->Descriptor() < 0) {
        return 0;
    }
    int count = 0;
    if (::ioctl(buffer->Descriptor(), FIONREAD, &count) != 0) {
        return 0;
    }
    return count;
}

bool SerialStream::WaitReadable(int timeout_ms) {
    if (!buffer || buffer->Descriptor() < 0) {
        return false;
    }
    pollfd port{buffer->Descriptor(), POLLIN, 0};
    // EINTR counts as a time-out: the caller looks again.
    return ::poll(&port, 1, timeout_ms) > 0;
}

SerialStream::InputReady SerialStream::WaitInput(int wake_fd, int timeout_ms) {
    InputReady ready;
    if (!IsOpen()) {
        return ready;
    }
    pollfd fds[2] = {{buffer->Descriptor(), POLLIN, 0}, {wake_fd, POLLIN, 0}};
    // EINTR counts as a time-out: the caller looks again.
    if (::poll(fds, 2, timeout_ms) > 0) {
        ready.port = fds[0].revents != 0;
        ready.woken = fds[1].revents != 0;
    }
    return ready;
}

bool SerialStream::IsOpen() const { return buffer && buffer->Descriptor() >= 0; }

void SerialStream::Write(const uint8_t* data, size_t n) {
    write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    // A stream that already hit end of file on a short read stays silent.
    if (!good() && !eof()) {
        ReportError(ErrorLines::kUnableToWrite, n);
    }
}

std::wstring SerialStream::ErrnoText(int error_number) { return IO::ErrnoText(error_number); }

} // namespace Torvi::HardwareAPI::IO
