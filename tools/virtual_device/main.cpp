// torvi-virtual-device: plays an Armillar arm or a Handle on a pseudo-terminal
// so that the library, its tests, the demo and the benchmarks run without
// hardware. See --help.

#include "DeviceLoop.hpp"
#include "ExitStatus.hpp"
#include "FaultInjector.hpp"
#include "Log.hpp"
#include "Options.hpp"
#include "PtySession.hpp"
#include "ReplayLoop.hpp"
#include "Session.hpp"
#include "SessionPlayer.hpp"
#include "VirtualArm.hpp"
#include "VirtualHandle.hpp"

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Torvi::VirtualDevice;

namespace {

// Standard input is watched only when it is a pipe or a socket: that is how a
// parent says it has gone. A terminal or /dev/null says nothing of the kind.
int WatchedStdin() {
    struct stat info{};
    if (::fstat(STDIN_FILENO, &info) != 0) return -1;
    return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) ? STDIN_FILENO : -1;
}

// The stop signals are taken through a descriptor, so the loop sees them
// between two polls and the destructors remove the link.
int StopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    if (::sigprocmask(SIG_BLOCK, &stops, nullptr) != 0) return -1;
    return ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
}

const char* LogName(const Options& options) {
    switch (options.kind) {
    case DeviceKind::Arm:
        return "virtual arm";
    case DeviceKind::Replay:
        return "replay";
    case DeviceKind::Handle:
        break;
    }
    return options.wireless ? "virtual wireless handle" : "virtual handle";
}

// Prints the port, the one line of standard output.
void Announce(const PtySession& session, const Options& options, const Log& log) {
    std::printf("%s\n", session.SlavePath().c_str());
    std::fflush(stdout);
    log("playing on %s%s%s", session.SlavePath().c_str(),
        options.link.empty() ? "" : ", linked from ", options.link.c_str());
}

int ReplaySession(const Options& options, int signal_fd, const Log& log) {
    // A file that cannot be played is refused before the port exists.
    SessionPlayer player(LoadSession(options.session_path), options.ignore_timing, options.loop);
    PtySession session(options.link);
    Announce(session, options, log);
    ReplayLoop loop(session, player, WatchedStdin(), signal_fd, log);
    return loop.Run();
}

int PlayDevice(const Options& options, int signal_fd, const Log& log) {
    PtySession session(options.link);
    const Clock::time_point start = Clock::now();
    std::unique_ptr<DeviceModel> model;
    if (options.kind == DeviceKind::Arm)
        model = std::make_unique<VirtualArm>(options.model, start, options.arm);
    else
        model = std::make_unique<VirtualHandle>(options, start);
    FaultInjector faults(options.faults);
    Announce(session, options, log);
    DeviceLoop loop(session, *model, faults, options.stream, WatchedStdin(), signal_fd, log);
    return loop.Run();
}

} // namespace

int main(int argc, char** argv) {
    const ParseOutcome parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.action == ParseOutcome::Action::Help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (parsed.action == ParseOutcome::Action::Error) {
        std::fprintf(stderr, "torvi-virtual-device: %s\n(try --help)\n", parsed.error.c_str());
        return ExitStatus::kUsage;
    }
    const Options& options = parsed.options;
    std::signal(SIGPIPE, SIG_IGN);
    const int signal_fd = StopSignals();
    if (signal_fd < 0) {
        std::perror("torvi-virtual-device: cannot take the stop signals");
        return ExitStatus::kFailed;
    }

    const Log log(options.verbose, LogName(options));
    try {
        return options.kind == DeviceKind::Replay ? ReplaySession(options, signal_fd, log)
                                                  : PlayDevice(options, signal_fd, log);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "torvi-virtual-device: %s\n", error.what());
        return ExitStatus::kFailed;
    }
}
