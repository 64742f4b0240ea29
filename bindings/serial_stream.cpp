#include "bindings.hpp"
#include "conventions.hpp"
#include "initialised.hpp"

#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <memory>
#include <string>

namespace Torvi::HardwareAPI::Bindings {

namespace {

/// The port path argument: converted as a `const char*` argument is (a str
/// as UTF-8, bytes or bytearray byte for byte, None for no path where
/// implicit conversion is allowed) and shown as "str", but the whole text is
/// kept, so that a path with an embedded NUL can be refused instead of being
/// cut short to another path.
using PortPath = OptionalArgument<std::string, NoneAccepted::WithConversion>;

} // namespace

void bind_serial_stream(py::module_& m) {
    using IO::SerialStream;
    py::class_<SerialStream, std::unique_ptr<SerialStream>>(m, "SerialStream")
        .def(py::init([](const PortPath& path) {
                 // The system takes a path up to its first NUL: a path holding
                 // one would open another port than the one named.
                 if (path.value && path.value->find('\0') != std::string::npos) {
                     throw py::value_error("embedded null byte in the port path");
                 }
                 const char* text = path.value ? path.value->c_str() : nullptr;
                 // Opening a port may take a while; let other threads run.
                 return Unlocked([&] { return std::make_unique<SerialStream>(text, true); });
             }),
             "Initialize the serial stream");
}

} // namespace Torvi::HardwareAPI::Bindings
