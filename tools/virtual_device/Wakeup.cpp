#include "Wakeup.hpp"

#include "ExitStatus.hpp"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace Torvi::VirtualDevice {

namespace {

constexpr std::size_t kDiscardChunk = 4096;

timespec ToTimespec(Clock::duration duration) {
    if (duration < Clock::duration::zero()) duration = Clock::duration::zero();
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(duration - whole);
    return timespec{static_cast<time_t>(whole.count()), static_cast<long>(rest.count())};
}

} // namespace

Wakeup AwaitWakeup(PtySession& session, int signal_fd, int stdin_fd, bool want_write,
                   std::optional<Clock::time_point> wake, const Log& log) {
    pollfd fds[4];
    nfds_t count = 0;
    fds[count++] = {signal_fd, POLLIN, 0};
    fds[count++] = {session.WatchFd(), POLLIN, 0};
    // Without a host the master reports a hang-up at every poll; the watch
    // wakes the loop when a host opens the port.
    fds[count++] = {session.HostPresent() ? session.MasterFd() : -1,
                    static_cast<short>(POLLIN | (want_write ? POLLOUT : 0)), 0};
    if (stdin_fd >= 0) fds[count++] = {stdin_fd, POLLIN, 0};

    timespec limit{};
    if (wake) limit = ToTimespec(*wake - Clock::now());
    Wakeup woken;
    const int ready = ::ppoll(fds, count, wake ? &limit : nullptr, nullptr);
    if (ready < 0) {
        if (errno != EINTR) {
            log("poll failed: errno %d", errno);
            woken.exit = ExitStatus::kFailed;
        }
        return woken;
    }
    if (fds[0].revents & POLLIN) {
        signalfd_siginfo info{};
        if (::read(signal_fd, &info, sizeof info) > 0) log("stopping on signal %u", info.ssi_signo);
        woken.exit = ExitStatus::kStopped;
        return woken;
    }
    if (stdin_fd >= 0 && fds[3].revents) {
        char discard[kDiscardChunk];
        const ssize_t got = ::read(stdin_fd, discard, sizeof discard);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            log("standard input closed; stopping");
            woken.exit = ExitStatus::kStopped;
            return woken;
        }
    }
    woken.host_changed = (fds[1].revents & POLLIN) || (fds[2].revents & (POLLHUP | POLLERR));
    woken.input = (fds[2].revents & POLLIN) != 0;
    return woken;
}

} // namespace Torvi::VirtualDevice
