#include "PtySession.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace Torvi::VirtualDevice {

namespace {

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Another device's link, or any file, is never replaced; a dangling link
// left by a device that was killed is.
void CreateLink(const std::string& link, const std::string& target) {
    if (::symlink(target.c_str(), link.c_str()) == 0) return;
    if (errno == EEXIST) {
        struct stat seen {};
        const bool is_link = ::lstat(link.c_str(), &seen) == 0 && S_ISLNK(seen.st_mode);
        const bool dangling = ::stat(link.c_str(), &seen) != 0 && errno == ENOENT;
        if (is_link && dangling && ::unlink(link.c_str()) == 0 &&
            ::symlink(target.c_str(), link.c_str()) == 0) {
            return;
        }
        errno = EEXIST;
    }
    throw SystemError("cannot create the link " + link);
}

} // namespace

PtySession::PtySession(const std::string& link) {
    master_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_fd < 0) throw SystemError("cannot open a pseudo-terminal");
    char name[PATH_MAX] = {};
    if (::grantpt(master_fd) != 0 || ::unlockpt(master_fd) != 0 ||
        ::ptsname_r(master_fd, name, sizeof name) != 0) {
        const auto error = SystemError("cannot unlock the pseudo-terminal");
        CloseIfOpen(master_fd);
        throw error;
    }
    slave_path = name;
    slave_fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave_fd < 0) {
        const auto error = SystemError("cannot open " + slave_path);
        CloseIfOpen(master_fd);
        throw error;
    }
    // Raw from the start: nothing is echoed or translated before the host
    // configures the line.
    termios raw{};
    ::tcgetattr(slave_fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_fd, TCSANOW, &raw);

    // The device's own open above happened before the watch, so only the
    // hosts' opens and closes are counted.
    watch_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd < 0 || ::inotify_add_watch(watch_fd, name, IN_OPEN | IN_CLOSE) < 0) {
        const auto error = SystemError("cannot watch " + slave_path);
        CloseIfOpen(watch_fd);
        CloseIfOpen(slave_fd);
        CloseIfOpen(master_fd);
        throw error;
    }

    if (!link.empty()) {
        try {
            CreateLink(link, slave_path);
        } catch (...) {
            CloseIfOpen(watch_fd);
            CloseIfOpen(slave_fd);
            CloseIfOpen(master_fd);
            throw;
        }
        link_path = link;
    }
}

PtySession::~PtySession() { HangUp(); }

PtySession::HostEvents PtySession::ReadHostEvents() {
    HostEvents events;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(watch_fd, buffer, sizeof buffer);
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_OPEN) {
                if (hosts++ == 0) events.arrived = true;
            } else if (event->mask & IN_CLOSE) {
                // Each open file is closed exactly once, so the count cannot
                // go below zero; guard it anyway.
                if (hosts > 0 && --hosts == 0) events.left = true;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return events;
}

std::size_t PtySession::Read(uint8_t* buffer, std::size_t n) {
    if (master_fd < 0) return 0;
    const ssize_t got = ::read(master_fd, buffer, n);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::size_t PtySession::Write(const uint8_t* bytes, std::size_t n) {
    if (master_fd < 0 || n == 0) return 0;
    const ssize_t put = ::write(master_fd, bytes, n);
    return put > 0 ? static_cast<std::size_t>(put) : 0;
}

void PtySession::DiscardUnread() {
    if (slave_fd >= 0) ::tcflush(slave_fd, TCIFLUSH);
}

int PtySession::QueuedForHost() const {
    int count = 0;
    if (slave_fd >= 0) ::ioctl(slave_fd, FIONREAD, &count);
    return count;
}

void PtySession::HangUp() {
    RemoveLink();
    CloseIfOpen(watch_fd);
    CloseIfOpen(slave_fd);
    CloseIfOpen(master_fd);
    hosts = 0;
}

// Only our own link is removed: the path may have been taken over since.
void PtySession::RemoveLink() {
    if (link_path.empty()) return;
    char target[PATH_MAX] = {};
    const ssize_t length = ::readlink(link_path.c_str(), target, sizeof target - 1);
    if (length > 0 && slave_path == std::string(target, static_cast<std::size_t>(length))) {
        ::unlink(link_path.c_str());
    }
    link_path.clear();
}

} // namespace Torvi::VirtualDevice
