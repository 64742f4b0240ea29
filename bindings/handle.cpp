#include "bindings.hpp"

namespace Torvi::HardwareAPI::Bindings {

void bind_handle(py::module_&) {}

} // namespace Torvi::HardwareAPI::Bindings
