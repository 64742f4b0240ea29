#include "support/VirtualDeviceProcess.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef TORVI_VIRTUAL_DEVICE
#error "TORVI_VIRTUAL_DEVICE names the program; the tests of the tools are built only with it"
#endif

extern char** environ;

namespace TorviTest {

namespace {
constexpr int kStartWaitMs = 10000;
constexpr int kStopWaitMs = 5000;

void CloseIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}
} // namespace

VirtualDeviceProcess::VirtualDeviceProcess(const std::vector<std::string>& arguments) {
    int to_child[2], from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
    if (::pipe2(from_child, O_CLOEXEC) != 0) {
        ::close(to_child[0]);
        ::close(to_child[1]);
        throw std::runtime_error(std::strerror(errno));
    }
    std::vector<std::string> argv_strings{TORVI_VIRTUAL_DEVICE};
    argv_strings.insert(argv_strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argv_strings)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    // The child's standard input is a pipe, so the device also ends when the
    // test process dies.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
    stdin_fd = to_child[1];
    stdout_fd = from_child[0];
    if (spawned != 0) {
        pid = -1;
        CloseIfOpen(stdin_fd);
        CloseIfOpen(stdout_fd);
        throw std::runtime_error(std::string("cannot start torvi-virtual-device: ") +
                                 std::strerror(spawned));
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
    std::string line;
    while (line.empty() || line.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{stdout_fd, POLLIN, 0};
        char c = 0;
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
            ::read(stdout_fd, &c, 1) != 1) {
            Stop();
            throw std::runtime_error("torvi-virtual-device printed no path");
        }
        line += c;
    }
    line.pop_back();
    slave_path = line;
}

VirtualDeviceProcess::~VirtualDeviceProcess() { Stop(); }

int VirtualDeviceProcess::Stop() {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        int wait_status = 0;
        pid_t done = 0;
        for (int waited = 0; waited < kStopWaitMs && done == 0; ++waited) {
            done = ::waitpid(pid, &wait_status, WNOHANG);
            if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (done == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &wait_status, 0);
        }
        status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
        pid = -1;
    }
    CloseIfOpen(stdin_fd);
    CloseIfOpen(stdout_fd);
    return status;
}

} // namespace TorviTest
