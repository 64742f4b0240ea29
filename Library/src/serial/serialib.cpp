#include "serial/serialib.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

namespace Torvi::HardwareAPI::IO {

namespace {

constexpr speed_t kBaudRate = B115200;
constexpr int kOpenFailed = -2;
constexpr int kReadFailed = -2;
constexpr long kReadLimitMs = 1000;     // total wait of one ReadTimed call
constexpr useconds_t kReadPollUs = 100; // pause between two empty reads

long ElapsedMs(const timeval& start) {
    timeval now{};
    gettimeofday(&now, nullptr);
    long seconds = now.tv_sec - start.tv_sec;
    long micros = now.tv_usec - start.tv_usec;
    if (micros < 0) {
        micros += 1000000;
        seconds -= 1;
    }
    return seconds * 1000 + micros / 1000;
}

} // namespace

serialib::~serialib() { CloseTty(); }

int serialib::OpenTty(const char* path) {
    if (path == nullptr) {
        // open() would fail the same way; asking it with a null path is not allowed.
        errno = EFAULT;
        return kOpenFailed;
    }
    fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        return kOpenFailed;
    }
    ::fcntl(fd, F_SETFL, O_NONBLOCK);

    termios options{};
    ::tcgetattr(fd, &options);
    // Start from a clean slate: every flag not set below stays off, which
    // gives a raw, non-canonical line without echo, signals or translation.
    options = termios{};
    ::cfsetispeed(&options, kBaudRate);
    ::cfsetospeed(&options, kBaudRate);
    options.c_cflag |= CLOCAL | CREAD | CS8;
    options.c_iflag |= IGNBRK | IGNPAR;
    options.c_cc[VTIME] = 0;
    options.c_cc[VMIN] = 0;
    ::tcsetattr(fd, TCSANOW, &options);
    return 1;
}

void serialib::CloseTty() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void serialib::AssertDtr() {
    int bits = 0;
    ::ioctl(fd, TIOCMGET, &bits);
    bits |= TIOCM_DTR;
    ::ioctl(fd, TIOCMSET, &bits);
}

int serialib::ReadTimed(char* buffer, int n) {
    timeval start{};
    gettimeofday(&start, nullptr);
    int count = 0;
    // The time check comes first, so at least one read is always made.
    while (ElapsedMs(start) < kReadLimitMs) {
        const ssize_t got = ::read(fd, buffer + count, static_cast<size_t>(n - count));
        if (got == -1) {
            return kReadFailed;
        }
        if (got > 0) {
            count += static_cast<int>(got);
            if (count >= n) {
                return count;
            }
        }
        ::usleep(kReadPollUs);
    }
    return count;
}

std::streambuf* serialib::setbuf(char_type*, std::streamsize) { return this; }

std::streamsize serialib::showmanyc() {
    if (fd == -1) {
        return 0;
    }
    if (has_pending) {
        return 1;
    }
    const int saved_flags = ::fcntl(fd, F_GETFL);
    if (::fcntl(fd, F_SETFL, saved_flags | O_NONBLOCK) == -1) {
        return -1;
    }
    std::streamsize result = 0;
    if (ReadTimed(&pending_byte, 1) == 1) {
        has_pending = true;
        result = 1;
    }
    if (::fcntl(fd, F_SETFL, saved_flags) == -1) {
        return -1;
    }
    return result;
}

std::streamsize serialib::xsgetn(char_type* out, std::streamsize n) {
    if (fd == -1 || n <= 0) {
        return 0;
    }
    if (has_pending) {
        out[0] = pending_byte;
        has_pending = false;
        if (n == 1) {
            return 1;
        }
        const int got = ReadTimed(out + 1, static_cast<int>(n - 1));
        return got < 0 ? 0 : got + 1;
    }
    const int got = ReadTimed(out, static_cast<int>(n));
    return got < 0 ? 0 : got;
}

serialib::int_type serialib::underflow() {
    if (fd == -1) {
        return traits_type::eof();
    }
    if (has_pending) {
        return traits_type::to_int_type(pending_byte);
    }
    char c = 0;
    if (ReadTimed(&c, 1) != 1) {
        return traits_type::eof();
    }
    pending_byte = c;
    has_pending = true;
    return traits_type::to_int_type(c);
}

serialib::int_type serialib::uflow() {
    const int_type c = underflow();
    has_pending = false;
    return c;
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (has_pending || traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::eof();
    }
    pending_byte = traits_type::to_char_type(c);
    has_pending = true;
    return c;
}

std::streamsize serialib::xsputn(const char_type* s, std::streamsize n) {
    if (n <= 0 || fd == -1) {
        return 0;
    }
    // One write, no retry: a short write is a failed write.
    const ssize_t written = ::write(fd, s, static_cast<size_t>(n));
    return written == n ? n : 0;
}

serialib::int_type serialib::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()) || fd == -1) {
        return traits_type::eof();
    }
    const char byte = traits_type::to_char_type(c);
    return ::write(fd, &byte, 1) == 1 ? c : traits_type::eof();
}

} // namespace Torvi::HardwareAPI::IO
