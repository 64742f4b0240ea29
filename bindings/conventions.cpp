#include "conventions.hpp"

#include "Torvi/HardwareAPI/devices/UUID.hpp"

#include <string>

namespace Torvi::HardwareAPI::Bindings {

namespace {
constexpr int kWarningStackLevel = 1;
constexpr std::size_t kVectorLength = 3;

/// The 16 bytes as 32 lower-case hexadecimal digits, first byte first, with
/// no separators.
std::string HexText(const UUID& identifier) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * UUID::kSize);
    for (uint8_t byte : identifier.data()) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}
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

py::object StandardUUID(const UUID& identifier) {
    py::object uuid_class = py::module_::import("uuid").attr("UUID");
    return uuid_class(py::arg("hex") = HexText(identifier));
}

} // namespace Torvi::HardwareAPI::Bindings
