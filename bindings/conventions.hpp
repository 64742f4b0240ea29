#pragma once

// Rules every binding of the module shares: deprecation warnings, the
// three-number list arguments, and the stream argument of device classes.

#include <pybind11/pybind11.h>

#include <array>
#include <optional>
#include <vector>

namespace Torvi::HardwareAPI::IO {
class SerialStream;
}

namespace Torvi::HardwareAPI::Bindings {

namespace py = pybind11;

/// Issues a DeprecationWarning with stack level 1 (attributed to the calling
/// Python line) when constructed, with the interpreter lock held and before
/// any device work. The method then does its work whatever the filters did
/// with the warning; when they turned it into an exception, that exception is
/// raised by RaiseIfPending once the work has been done.
class DeprecationNotice {
public:
    explicit DeprecationNotice(const char* text);

    /// Raises the exception the warning became, if it became one.
    void RaiseIfPending();

private:
    std::optional<py::error_already_set> pending;
};

/// Entries 0 to 2 of a vector argument. A vector with fewer than three
/// entries is refused with ValueError naming the argument and its length,
/// before any device input or output.
std::array<float, 3> FirstThree(const std::vector<float>& values, const char* argument_name);

/// Runs `work` with the interpreter lock released, so that other Python
/// threads run while the device is busy; the lock is taken back when `work`
/// returns or throws. `work` must not touch Python objects.
template <typename Work>
auto Unlocked(Work&& work) {
    py::gil_scoped_release release;
    return work();
}

/// Refuses a missing stream (Python None) with TypeError naming the class:
/// a device without a stream has nothing to talk to.
IO::SerialStream& RequireStream(IO::SerialStream* stream, const char* class_name);

} // namespace Torvi::HardwareAPI::Bindings
