#pragma once

// A torvi-virtual-device process for tests: started with the given
// arguments, its slave path read from its first line of output, stopped
// (SIGTERM, then SIGKILL) when the object goes.

#include <string>
#include <sys/types.h>
#include <vector>

namespace TorviTest {

class VirtualDeviceProcess {
public:
    /// Starts the program built with the tests (the tests under tools/ are
    /// built only together with it). Throws std::runtime_error when it
    /// cannot be started or prints no path in time, which fails the test.
    explicit VirtualDeviceProcess(const std::vector<std::string>& arguments);
    ~VirtualDeviceProcess();

    VirtualDeviceProcess(const VirtualDeviceProcess&) = delete;
    VirtualDeviceProcess& operator=(const VirtualDeviceProcess&) = delete;

    const std::string& path() const { return slave_path; }

    /// Stops the device and returns its exit status (-1 if it was killed).
    int Stop();

private:
    pid_t pid = -1;
    int stdin_fd = -1;
    int stdout_fd = -1;
    std::string slave_path;
    int status = -1;
};

} // namespace TorviTest
