#include "support/PtyPair.hpp"

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace TorviTest {

PtyPair::PtyPair() {
    char name[256] = {};
    if (::openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    }
    ::fcntl(master_fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_fd, F_SETFD, FD_CLOEXEC);
    // Raw from the start, so nothing written before the library configures
    // the line is echoed or translated.
    termios raw{};
    ::tcgetattr(slave_fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_fd, TCSANOW, &raw);
    path = name;
}

PtyPair::~PtyPair() {
    if (master_fd >= 0) ::close(master_fd);
    if (slave_fd >= 0) ::close(slave_fd);
}

void PtyPair::Write(const std::vector<uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw std::runtime_error(std::string("pty write failed: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

std::vector<uint8_t> PtyPair::Read(std::size_t n, std::chrono::milliseconds limit) const {
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        uint8_t chunk[1024];
        const ssize_t got = ::read(master_fd, chunk, std::min(sizeof chunk, n - out.size()));
        if (got <= 0) break;
        out.insert(out.end(), chunk, chunk + got);
    }
    return out;
}

std::vector<uint8_t> PtyPair::Drain(std::chrono::milliseconds settle) const {
    std::vector<uint8_t> out;
    for (;;) {
        auto more = Read(4096, settle);
        if (more.empty()) return out;
        out.insert(out.end(), more.begin(), more.end());
    }
}

int PtyPair::QueuedForHost() const {
    int count = 0;
    ::ioctl(slave_fd, FIONREAD, &count);
    return count;
}

} // namespace TorviTest
