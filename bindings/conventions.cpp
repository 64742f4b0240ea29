#include "conventions.hpp"

#include <string>

namespace Torvi::HardwareAPI::Bindings {

namespace {
constexpr int kWarningStackLevel = 1;
constexpr std::size_t kVectorLength = 3;
} // namespace

DeprecationNotice::DeprecationNotice(const char* text) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, text, kWarningStackLevel) < 0) {
        // Take the exception out of the interpreter so that the work can run;
        // it is raised again afterwards.
        pending.emplace();
    }
}

void DeprecationNotice::RaiseIfPending() {
    if (pending) {
        py::error_already_set error = *pending;
        pending.reset();
        throw error;
    }
}

std::array<float, 3> FirstThree(const std::vector<float>& values, const char* argument_name) {
    if (values.size() < kVectorLength) {
        throw py::value_error(std::string(argument_name) + " must hold at least 3 numbers, got " +
                              std::to_string(values.size()));
    }
    return {values[0], values[1], values[2]};
}

IO::SerialStream& RequireStream(IO::SerialStream* stream, const char* class_name) {
    if (stream == nullptr) {
        throw py::type_error(std::string(class_name) + " needs a SerialStream, not None");
    }
    return *stream;
}

} // namespace Torvi::HardwareAPI::Bindings
