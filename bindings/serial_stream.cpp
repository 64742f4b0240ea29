#include "bindings.hpp"

#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <memory>

namespace Torvi::HardwareAPI::Bindings {

void bind_serial_stream(py::module_& m) {
    using IO::SerialStream;
    py::class_<SerialStream, std::unique_ptr<SerialStream>>(m, "SerialStream")
        .def(py::init([](const char* path) {
                 // Opening a port may take a while; let other threads run.
                 py::gil_scoped_release release;
                 return std::make_unique<SerialStream>(path, true);
             }),
             "Initialize the serial stream");
}

} // namespace Torvi::HardwareAPI::Bindings
