#include "PtySession.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace Torvi::VirtualDevice {

namespace {

constexpr int kSlaveFlags = O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK;

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
        struct stat seen{};
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
    try {
        master_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (master_fd < 0) throw SystemError("cannot open a pseudo-terminal");
        char name[PATH_MAX] = {};
        if (::grantpt(master_fd) != 0 || ::unlockpt(master_fd) != 0 ||
            ::ptsname_r(master_fd, name, sizeof name) != 0) {
            throw SystemError("cannot unlock the pseudo-terminal");
        }
        slave_path = name;

        // Raw from the start: nothing is echoed or translated before a host
        // configures the line. The setting outlives this open.
        int slave = ::open(name, kSlaveFlags);
        if (slave < 0) throw SystemError("cannot open " + slave_path);
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        CloseIfOpen(slave);

        watch_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watch_fd < 0 || ::inotify_add_watch(watch_fd, name, IN_OPEN | IN_CLOSE) < 0) {
            throw SystemError("cannot watch " + slave_path);
        }
        if (!link.empty()) {
            CreateLink(link, slave_path);
            link_path = link;
        }
    } catch (...) {
        HangUp();
        throw;
    }
}

PtySession::~PtySession() { HangUp(); }

PtySession::HostEvents PtySession::CheckHost() {
    HostEvents events;
    if (master_fd < 0) return events;
    // The notifications only say that something happened (identical ones
    // are even merged); the master says whether a host holds the port.
    alignas(inotify_event) char buffer[4096];
    bool notified = false;
    while (::read(watch_fd, buffer, sizeof buffer) > 0)
        notified = true;

    pollfd master{master_fd, 0, 0};
    ::poll(&master, 1, 0);
    const bool present = !(master.revents & POLLHUP);
    events.arrived = present && !host_present;
    events.left = !present && host_present;
    host_present = present;

    if (!present && (events.left || notified)) {
        // What a departed host sent and the device did not take is dropped;
        // so is what the device sent and the host did not read.
        ::tcflush(master_fd, TCIFLUSH);
        if (events.left) DiscardTowardsHost();
    }
    return events;
}

// Reaching the host's side of the queue means opening the slave for a
// moment; the watch reports that open, and the next check finds the port
// still without a host.
void PtySession::DiscardTowardsHost() {
    int slave = ::open(slave_path.c_str(), kSlaveFlags);
    if (slave < 0) return;
    ::tcflush(slave, TCIFLUSH);
    CloseIfOpen(slave);
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

void PtySession::HangUp() {
    RemoveLink();
    CloseIfOpen(watch_fd);
    CloseIfOpen(master_fd);
    host_present = false;
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

void Outbox::Flush(PtySession& session) {
    while (Pending()) {
        const std::size_t put = session.Write(outgoing.data() + sent, outgoing.size() - sent);
        if (put == 0) break;
        sent += put;
    }
    if (!Pending()) Clear();
}

void Outbox::Clear() {
    outgoing.clear();
    sent = 0;
}

} // namespace Torvi::VirtualDevice
