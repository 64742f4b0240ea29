#include "conventions.hpp"

#include "Torvi/HardwareAPI/devices/UUID.hpp"

#include <pythread.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
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
/// The thread identifier of the interpreter's main thread, the only thread
/// on which Python runs signal handlers.
unsigned long main_thread_ident = 0;
} // namespace

py::module_ DefSubmodule(py::module_& m, const char* name, const char* doc) {
    py::module_ submodule = m.def_submodule(name, doc);
    const std::string qualified = py::str(m.attr("__name__")).cast<std::string>() + "." + name;
    py::module_::import("sys").attr("modules")[qualified.c_str()] = submodule;
    return submodule;
}

void RememberMainThread() {
    main_thread_ident =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
}

bool OnMainThread() { return PyThread_get_thread_ident() == main_thread_ident; }

SignalWatch::SignalWatch() {
    if (OnMainThread()) {
        scope.emplace([this] { return Signalled(); });
    }
}

bool SignalWatch::Signalled() {
    if (raised) {
        return true;
    }
    // Called from the waits, with the lock released or held; take it (again)
    // for the check.
    py::gil_scoped_acquire lock;
    if (PyErr_CheckSignals() != 0) {
        raised.emplace();
        return true;
    }
    return false;
}

void SignalWatch::RaiseIfSignalled() {
    scope.reset();
    if (raised) {
        py::error_already_set error = std::move(*raised);
        raised.reset();
        throw error;
    }
}

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

std::size_t ShortestText(float value, char* text, std::size_t size) {
    constexpr int kFewestDigits = 6;
    constexpr int kRoundTripDigits = 9; // always enough for a float
    int length = 0;
    for (int digits = kFewestDigits; digits <= kRoundTripDigits; ++digits) {
        length = std::snprintf(text, size, "%.*g", digits, static_cast<double>(value));
        if (digits == kRoundTripDigits || std::strtof(text, nullptr) == value) {
            break;
        }
    }
    return length < 0 ? 0 : std::min(static_cast<std::size_t>(length), size - 1);
}

double Shortest(float value) {
    std::array<char, kShortestTextSize> text{};
    ShortestText(value, text.data(), text.size());
    return std::strtod(text.data(), nullptr);
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

void RequireNumpy(const char* missing) {
    try {
        py::module_::import("numpy");
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_ImportError)) {
            throw py::import_error(missing);
        }
        throw;
    }
}

py::object StandardUUID(const UUID& identifier) {
    py::object uuid_class = py::module_::import("uuid").attr("UUID");
    return uuid_class(py::arg("hex") = HexText(identifier));
}

} // namespace Torvi::HardwareAPI::Bindings
