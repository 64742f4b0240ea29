#include "bindings.hpp"
#include "initialised.hpp"

#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <memory>
#include <optional>
#include <string>

namespace Torvi::HardwareAPI::Bindings {

/// The port path argument: a str (as UTF-8), bytes or bytearray (byte for
/// byte), or None for no path.
struct PortPath {
    std::optional<std::string> text;
};

} // namespace Torvi::HardwareAPI::Bindings

namespace pybind11::detail {

// Converts like a `const char*` argument and shows as "str", but keeps the
// whole text, so that a path with an embedded NUL can be refused instead of
// being cut short to another path.
template <>
struct type_caster<Torvi::HardwareAPI::Bindings::PortPath> {
    PYBIND11_TYPE_CASTER(Torvi::HardwareAPI::Bindings::PortPath, const_name("str"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            // As for `const char*`: None only where implicit conversion is allowed.
            if (!convert) return false;
            value.text.reset();
            return true;
        }
        make_caster<std::string> text;
        if (!text.load(source, convert)) return false;
        value.text = cast_op<std::string&&>(std::move(text));
        return true;
    }

    static handle cast(const Torvi::HardwareAPI::Bindings::PortPath& source, return_value_policy,
                       handle) {
        return source.text ? make_caster<std::string>::cast(*source.text,
                                                            return_value_policy::copy, {})
                           : none().release();
    }
};

} // namespace pybind11::detail

namespace Torvi::HardwareAPI::Bindings {

void bind_serial_stream(py::module_& m) {
    using IO::SerialStream;
    py::class_<SerialStream, std::unique_ptr<SerialStream>>(m, "SerialStream")
        .def(py::init([](const PortPath& path) {
                 // The system takes a path up to its first NUL: a path holding
                 // one would open another port than the one named.
                 if (path.text && path.text->find('\0') != std::string::npos) {
                     throw py::value_error("embedded null byte in the port path");
                 }
                 const char* text = path.text ? path.text->c_str() : nullptr;
                 // Opening a port may take a while; let other threads run.
                 py::gil_scoped_release release;
                 return std::make_unique<SerialStream>(text, true);
             }),
             "Initialize the serial stream");
}

} // namespace Torvi::HardwareAPI::Bindings
