#pragma once

#include <pybind11/pybind11.h>

// The registration functions of the module, one per bound class. The module
// definition calls them in its fixed registration order.
namespace Torvi::HardwareAPI::Bindings {

namespace py = pybind11;

void bind_serial_stream(py::module_& m);
void bind_uuid(py::module_& m);
void bind_device(py::module_& m);
void bind_armillar(py::module_& m);
void bind_handle(py::module_& m);
/// The submodule `haptics`, also put into sys.modules as TorviHardwareAPI.haptics.
void bind_haptics(py::module_& m);
/// The MoveTo effect, into the submodule `haptics` (bind_haptics calls it
/// before it binds the loop, whose wait_arrived takes one).
void bind_move_to(py::module_& haptics);
/// The Mesh effect, into the submodule `haptics` that bind_haptics made.
void bind_mesh(py::module_& haptics);
/// The PhysicsScene effect and Mesh.follow, into the submodule `haptics`,
/// after bind_mesh.
void bind_physics(py::module_& haptics);
/// The submodule `events`, also put into sys.modules as TorviHardwareAPI.events.
void bind_events(py::module_& m);

} // namespace Torvi::HardwareAPI::Bindings
