#include "bindings.hpp"
#include "conventions.hpp"
#include "termination.hpp"

#include "Torvi/HardwareAPI/Version.hpp"
#include "Torvi/HardwareAPI/discovery/Detection.hpp"

#include <pybind11/stl.h>

namespace API = Torvi::HardwareAPI;
namespace Bindings = Torvi::HardwareAPI::Bindings;

namespace {
constexpr const char* kModuleDoc = "Python Implementation of the Torvi Hardware API";
constexpr const char* kPackageVersion = "dev";
} // namespace

// The registration order below is part of the module's interface: classes and
// functions appear in the module in this order.
PYBIND11_MODULE(TorviHardwareAPI, m) {
    m.doc() = kModuleDoc;
    Bindings::RememberMainThread();

    Bindings::bind_serial_stream(m);
    Bindings::bind_uuid(m);
    Bindings::bind_device(m);

    m.def("get_cpp_version", &API::get_cpp_version, "Get the version of the CPP library");
    m.def("print_cpp_version", &API::print_cpp_version, "Print the version of the CPP library");

    // Detection keeps the interpreter lock for its whole probing; a signal
    // handler that raises ends it.
    m.def("detect_armillars", Bindings::InterruptibleFunction(&API::Discovery::detect_armillars),
          "detect available armillar devices");
    m.def("detect_handles", Bindings::InterruptibleFunction(&API::Discovery::detect_handles),
          "detect available handles");
    m.def("detect_wired_handles",
          Bindings::InterruptibleFunction(&API::Discovery::detect_wired_handles),
          "detect available wired handles");
    m.def("detect_wireless_handles",
          Bindings::InterruptibleFunction(&API::Discovery::detect_wireless_handles),
          "detect available wireless handles");

    Bindings::bind_armillar(m);
    Bindings::bind_handle(m);

    m.attr("__version__") = kPackageVersion;

    // Submodules of their own, after the module's fixed surface.
    Bindings::bind_haptics(m);
    auto haptics = m.attr("haptics").cast<pybind11::module_>();
    Bindings::bind_mesh(haptics);
    Bindings::bind_physics(haptics);
    Bindings::bind_events(m);
    Bindings::bind_termination(m);
}
