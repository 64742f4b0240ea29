#include "bindings.hpp"

#include "Torvi/HardwareAPI/devices/Device.hpp"

namespace Torvi::HardwareAPI::Bindings {

// A type only: no constructor, no methods. Armillar and Handle are bound as
// independent types, not as its subclasses.
void bind_device(py::module_& m) {
    py::class_<Devices::Device, std::unique_ptr<Devices::Device>>(m, "Device");
}

} // namespace Torvi::HardwareAPI::Bindings
