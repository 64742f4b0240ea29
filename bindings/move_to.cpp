// The MoveTo effect of the submodule `haptics`: a spring whose anchor
// travels to a target, with what the loop's thread publishes of it.

#include "bindings.hpp"
#include "conventions.hpp"
#include "effect_conventions.hpp"

#include "Torvi/HardwareAPI/haptics/MoveTo.hpp"

#include <memory>

namespace Torvi::HardwareAPI::Bindings {

namespace {

constexpr double kDefaultTolerance = 0.001; // as MoveToParameters, shown as typed

constexpr const char* kMoveToDoc =
    "A spring that brings the hand to `target`: its anchor starts where the hand is at the "
    "effect's first cycle and travels in a straight line to the target at `max_speed` (length "
    "per second); F = stiffness * (anchor - position) + damping * (anchor velocity - velocity). "
    "A changed target turns the anchor toward it from where it is. `arrived` is true once the "
    "anchor is on the target and the hand within `tolerance` of it; "
    "HapticLoop.wait_arrived waits for that.";

} // namespace

void bind_move_to(py::module_& haptics) {
    using Haptics::MoveTo;
    using Haptics::MoveToParameters;
    EffectBinding<MoveTo> move(haptics, "MoveTo", kMoveToDoc);
    move.def(py::init([](const ThreeNumbers& target, float stiffness, float damping,
                         float max_speed, float tolerance) {
                 return std::make_shared<MoveTo>(
                     MoveToParameters{target.value, stiffness, damping, max_speed, tolerance});
             }),
             py::arg("target"), py::arg("stiffness"), py::arg("damping"), py::arg("max_speed"),
             py::arg("tolerance") = kDefaultTolerance);
    DefParameter(move, "target", &MoveToParameters::target);
    DefParameter(move, "stiffness", &MoveToParameters::stiffness);
    DefParameter(move, "damping", &MoveToParameters::damping);
    DefParameter(move, "max_speed", &MoveToParameters::max_speed);
    DefParameter(move, "tolerance", &MoveToParameters::tolerance);
    move.def_property_readonly(
        "anchor", [](const MoveTo& self) { return Tuple(self.Progress().anchor); },
        "Where the spring pulls from at the last cycle (the origin before any).");
    move.def_property_readonly(
        "arrived", [](const MoveTo& self) { return self.Progress().arrived; },
        "Whether, at the last cycle, the anchor was on the target and the hand within "
        "`tolerance` of it; false until a cycle has seen the current target and tolerance.");
    DefCallRepr(move, "MoveTo", {"target", "stiffness", "damping", "max_speed", "tolerance"});
}

} // namespace Torvi::HardwareAPI::Bindings
