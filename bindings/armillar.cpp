#include "bindings.hpp"

namespace Torvi::HardwareAPI::Bindings {

void bind_armillar(py::module_&) {}

} // namespace Torvi::HardwareAPI::Bindings
