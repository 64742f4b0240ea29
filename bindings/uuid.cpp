#include "bindings.hpp"
#include "initialised.hpp"

#include "Torvi/HardwareAPI/devices/UUID.hpp"

#include <pybind11/stl.h>

namespace Torvi::HardwareAPI::Bindings {

void bind_uuid(py::module_& m) {
    py::class_<UUID, std::unique_ptr<UUID>>(m, "UUID").def(py::init<>()).def("bytes", &UUID::bytes);
}

} // namespace Torvi::HardwareAPI::Bindings
