#include "bindings.hpp"
#include "conventions.hpp"
#include "effect_conventions.hpp"
#include "samples.hpp"

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/haptics/Effects.hpp"
#include "Torvi/HardwareAPI/haptics/HapticLoop.hpp"
#include "Torvi/HardwareAPI/haptics/MoveTo.hpp"
#include "Torvi/HardwareAPI/haptics/Passivity.hpp"

#include <pybind11/stl.h>

#include <array>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Torvi::HardwareAPI::Bindings {
namespace {

using Devices::Armillar;
using Haptics::Effect;
using Haptics::HapticLoop;
using Haptics::LoopState;
using Haptics::LoopStats;
using Haptics::Vector3;

/// A HapticLoop made from Python: stopped at the interpreter's exit, and on
/// destruction with the interpreter lock released, so that other Python
/// threads (one of which may be the arm's answering side, which the final
/// zero-force exchange needs) run on meanwhile.
using RegisteredLoop = StoppedAtExit<HapticLoop>;

// The effects: each constructor takes its parameters by the names of its
// properties, and every parameter is a read/write property.

/// An effect placed by two vectors whose force is a spring and a damper: the
/// two vectors, then `stiffness` and `damping`, as its Parameters order them
/// (the plane, the line and the fence).
template <typename EffectClass, typename Parameters>
void DefSpringDamperEffect(py::module_& m, const char* name, const char* doc,
                           const Field<Parameters, Vector3>& first,
                           const Field<Parameters, Vector3>& second) {
    DefEffect<EffectClass, Parameters>(
        m, name, doc, first, second, Field<Parameters, float>{"stiffness", &Parameters::stiffness},
        Field<Parameters, float>{"damping", &Parameters::damping});
}

void BindAnalyticEffects(py::module_& m) {
    using namespace Haptics;
    using S = SpringParameters;
    DefEffect<Spring, S>(m, "Spring", "F = stiffness * (anchor - position).",
                         Field<S, Vector3>{"anchor", &S::anchor},
                         Field<S, float>{"stiffness", &S::stiffness});
    using P = PlaneParameters;
    DefSpringDamperEffect<Plane, P>(
        m, "Plane",
        "A one-sided wall through `point`; `normal` (normalised) points from the solid into "
        "free space. At depth d > 0, F = (stiffness * d - damping * dot(velocity, normal)) * "
        "normal, never pulling.",
        Field<P, Vector3>{"point", &P::point}, Field<P, Vector3>{"normal", &P::normal});
    using B = SphereParameters;
    DefEffect<Sphere, B>(
        m, "Sphere",
        "A solid ball (inside=False) that pushes the hand out, or a shell (inside=True) that "
        "keeps it in; the force grows with stiffness times the distance from the surface.",
        Field<B, Vector3>{"center", &B::center}, Field<B, float>{"radius", &B::radius},
        Field<B, float>{"stiffness", &B::stiffness},
        Defaulted<B, bool>{{"inside", &B::inside}, false});
    using D = DamperParameters;
    DefEffect<Damper, D>(m, "Damper", "F = -coefficient * velocity.",
                         Field<D, float>{"coefficient", &D::coefficient});
    using C = ConstantForceParameters;
    DefEffect<ConstantForce, C>(m, "ConstantForce", "F = force, wherever the hand is.",
                                Field<C, Vector3>{"force", &C::force});
}

void BindGuides(py::module_& m) {
    using namespace Haptics;
    using L = LineParameters;
    DefSpringDamperEffect<Line, L>(
        m, "Line",
        "A virtual fixture that pulls the hand onto the segment from `start` to `end`, free "
        "along it: F = stiffness * (nearest point - position) - damping * (the velocity across "
        "the segment, never along it), on both sides of the segment; past an end the nearest "
        "point is that end, and the velocity toward or away from it is damped.",
        Field<L, Vector3>{"start", &L::start}, Field<L, Vector3>{"end", &L::end});
    using F = FenceParameters;
    DefSpringDamperEffect<Fence, F>(
        m, "Fence",
        "The workspace as a box from `minimum` to `maximum`: no force inside; outside, along each "
        "axis the hand crossed, F = stiffness * (face - position) - damping * velocity, never "
        "pointing out of the box.",
        Field<F, Vector3>{"minimum", &F::minimum}, Field<F, Vector3>{"maximum", &F::maximum});
}

void BindEffects(py::module_& m) {
    // NOLINTNEXTLINE(bugprone-unused-raii): constructing the class_ registers the type
    py::class_<Haptics::Effect, std::shared_ptr<Haptics::Effect>>(
        m, "Effect", "A force that a HapticLoop adds to each cycle (the base of every effect).");
    BindAnalyticEffects(m);
    BindGuides(m);
    bind_move_to(m);
}

void BindRecords(py::module_& m) {
    py::class_<LoopState>(m, "LoopState", "What the loop last exchanged with the arm.")
        .def_property_readonly("position", [](const LoopState& s) { return Tuple(s.position); })
        .def_property_readonly("velocity", [](const LoopState& s) { return Tuple(s.velocity); })
        .def_property_readonly("force", [](const LoopState& s) { return Tuple(s.force); })
        .def_readonly("cycle", &LoopState::cycle)
        .def_readonly("time", &LoopState::time)
        .def("__repr__", [](const py::object& self) {
            return py::str("LoopState(cycle={}, time={}, position={}, velocity={}, force={})")
                .format(self.attr("cycle"), self.attr("time"), self.attr("position"),
                        self.attr("velocity"), self.attr("force"));
        });

    py::class_<LoopStats>(m, "LoopStats", "How the loop has run since its start.")
        .def_readonly("cycles", &LoopStats::cycles)
        .def_readonly("rate_hz", &LoopStats::rate_hz)
        .def_readonly("period_p50_us", &LoopStats::period_p50_us)
        .def_readonly("period_p99_us", &LoopStats::period_p99_us)
        .def_readonly("period_max_us", &LoopStats::period_max_us)
        .def_readonly("lateness_p99_us", &LoopStats::lateness_p99_us)
        .def_readonly("overruns", &LoopStats::overruns)
        .def_readonly("failures", &LoopStats::failures)
        .def_readonly("realtime", &LoopStats::realtime)
        .def_readonly("passivity_cycles", &LoopStats::passivity_cycles,
                      "Cycles in which the passivity controller added damping.")
        .def_readonly("passivity_dissipated_j", &LoopStats::passivity_dissipated_j,
                      "The energy the controller's damping was set to dissipate, J.")
        .def("__repr__", [](const LoopStats& s) {
            return py::str("LoopStats(cycles={}, rate_hz={:.1f}, period_p50_us={:.1f}, "
                           "period_p99_us={:.1f}, period_max_us={:.1f}, overruns={}, "
                           "failures={}, realtime={})")
                .format(s.cycles, s.rate_hz, s.period_p50_us, s.period_p99_us, s.period_max_us,
                        s.overruns, s.failures, s.realtime);
        });
}

using LoopBinding = py::class_<RegisteredLoop, std::unique_ptr<RegisteredLoop>>;

void BindLoopLifeCycle(LoopBinding& loop);
void BindLoopInputsAndOutputs(LoopBinding& loop);
void BindLoopGuidance(LoopBinding& loop);

/// The record's capacity from Python: a whole number >= 0.
std::size_t RecordCapacity(const py::int_& record) {
    if (PyBool_Check(record.ptr())) {
        throw py::type_error("record must be a whole number of cycles, not a bool");
    }
    const long long cycles = PyLong_AsLongLong(record.ptr());
    if (cycles == -1 && PyErr_Occurred() != nullptr) {
        throw py::error_already_set();
    }
    if (cycles < 0) {
        throw py::value_error("record must not be negative, got " + std::to_string(cycles));
    }
    return static_cast<std::size_t>(cycles);
}

void BindLoop(py::module_& m) {
    LoopBinding loop(
        m, "HapticLoop",
        "A servo loop on a native thread that drives one Armillar with force requests: each "
        "cycle adds up the effects and the external force for the last reply's position and "
        "velocity, scales the sum down to max_force and sends it. rate_hz=None runs free. "
        "Every cycle is recorded in a ring of `record` cycles (0: none), read by samples(). "
        "While it runs, the arm belongs to the loop. soft_start_s > 0 scales the total force "
        "from 0 to 1 over that many seconds after each start; max_force_rate (force per "
        "second) limits how fast the force sent changes from one cycle to the next, its change "
        "scaled down with its direction kept. passivity=True adds the damping that keeps the "
        "rendering from giving the hand more energy than it took (stiff walls that would buzz), "
        "and records the columns energy and passivity_damping. The defaults change nothing.");
    // The loop keeps its Armillar alive, so its thread never drives a
    // destroyed arm.
    loop.def(py::init([](Armillar& arm, std::optional<double> rate_hz, float max_force,
                         const py::int_& record, double soft_start_s,
                         std::optional<float> max_force_rate, bool passivity) {
                 return std::make_unique<RegisteredLoop>(
                     arm, rate_hz, max_force, RecordCapacity(record),
                     Haptics::GentleForces{soft_start_s, max_force_rate}, passivity);
             }),
             py::arg("arm"), py::arg("rate_hz") = py::none(), py::arg("max_force") = 10.0f,
             py::arg("record") = HapticLoop::kDefaultRecordCapacity, py::arg("soft_start_s") = 0.0,
             py::arg("max_force_rate") = py::none(), py::arg("passivity") = false,
             py::keep_alive<1, 2>());
    BindLoopLifeCycle(loop);
    BindLoopInputsAndOutputs(loop);
    BindLoopGuidance(loop);
}

/// start, stop and the with block.
void BindLoopLifeCycle(LoopBinding& loop) {
    // start() may join a thread that ended by itself, and waits for a stop()
    // under way on another thread: both with the lock released.
    loop.def(
        "start", [](RegisteredLoop& self) { self.StartUnlocked(); },
        "Start the loop's thread; RuntimeError when the arm is already driven. Until it is "
        "stopped, a SIGTERM left at its default raises Terminated (see SigtermAsExit).");
    DefStop(loop,
            "Stop the loop, leaving the arm with a zero force; may be called any number of times.");
    loop.def(
        "__enter__",
        [](RegisteredLoop& self) -> RegisteredLoop& {
            self.StartUnlocked();
            return self;
        },
        py::return_value_policy::reference);
}

/// The effects and force going in; state, timing and the record coming out.
void BindLoopInputsAndOutputs(LoopBinding& loop) {
    loop.def(
        "add",
        [](RegisteredLoop& self, std::shared_ptr<Effect> effect, double fade_s) {
            return self.Add(std::move(effect), fade_s);
        },
        "Add an effect (from the next cycle on) and return it. With fade_s > 0 its force is "
        "scaled linearly from 0 to 1 over that many seconds from its first cycle; an effect "
        "fading out fades back in from where it is.",
        py::arg("effect"), py::arg("fade_s") = 0.0);
    loop.def(
        "remove",
        [](RegisteredLoop& self, const std::shared_ptr<Effect>& effect, double fade_s) {
            self.Remove(effect, fade_s);
        },
        "Remove an effect; ValueError when it is not in the loop. With fade_s > 0, while the "
        "loop runs, its force is scaled linearly from 1 to 0 over that many seconds and then "
        "it is gone.",
        py::arg("effect"), py::arg("fade_s") = 0.0);
    loop.def(
        "set_force",
        [](RegisteredLoop& self, const ThreeNumbers& force) { self.SetForce(force.value); },
        "Set the external force added to the effects' sum.", py::arg("force"));
    loop.def("state", &HapticLoop::State, "The last reply and the force sent with its request.");
    loop.def("stats", &HapticLoop::Stats, "Cycle counts and timing since the loop started.");
    loop.def(
        "samples", [](RegisteredLoop& self) { return TakeSamples(self); },
        "Every cycle recorded since the previous call, as a Samples object of numpy "
        "arrays (needs numpy); the record keeps the newest `record` cycles.");
    loop.def(
        "reader", [](const RegisteredLoop& self) { return MakeReader(self); },
        "A SampleReader of its own: its samples() returns every cycle recorded from now on, "
        "whatever samples() and the other readers take (a reader made while the loop is "
        "stopped starts with the next start's first cycle); RuntimeError for a loop that "
        "records nothing.");
    loop.def("periods_us", &HapticLoop::PeriodsUs,
             "The periods of the most recent cycles (up to 8192), oldest first, in microseconds.");
    loop.def_property_readonly(
        "effects", &HapticLoop::Effects,
        "The effects in the loop now, in the order they were added (one fading out among them "
        "until its fade is over), as a list: a copy that later changes leave as it is.");
    loop.def_property_readonly("running", &HapticLoop::Running);
    loop.def_property_readonly("error", &HapticLoop::Error);
    loop.def_property_readonly("rate_hz", &HapticLoop::RateHz);
    loop.def_property_readonly(
        "max_force", [](const RegisteredLoop& self) { return Shortest(self.MaxForce()); });
    loop.def("__repr__", [](const RegisteredLoop& self) {
        return py::str("HapticLoop(rate_hz={}, max_force={}, running={})")
            .format(self.RateHz(), self.MaxForce(), self.Running());
    });
}

/// wait_arrived and the gentle-force settings.
void BindLoopGuidance(LoopBinding& loop) {
    loop.def(
        "wait_arrived",
        [](RegisteredLoop& self, const std::shared_ptr<Haptics::MoveTo>& effect,
           std::optional<double> timeout) {
            std::optional<std::chrono::duration<double>> limit;
            if (timeout) {
                limit = std::chrono::duration<double>(*timeout);
            }
            return Unlocked([&] { return self.WaitArrived(effect, limit); });
        },
        "Wait until the MoveTo `effect` has arrived: True then, False after `timeout` seconds "
        "(None: no limit) or when the loop is not running or stops. Releases the interpreter "
        "lock; Ctrl-C ends the wait. ValueError when the effect is not in this loop.",
        py::arg("effect"), py::arg("timeout") = py::none());
    loop.def_property(
        "soft_start_s", &HapticLoop::SoftStartS, &HapticLoop::SetSoftStart,
        "Seconds over which the total force rises from 0 after each start (from the next start).");
    loop.def_property(
        "max_force_rate",
        [](const RegisteredLoop& self) -> std::optional<double> {
            const std::optional<float> rate = self.MaxForceRate();
            return rate ? std::optional<double>(Shortest(*rate)) : std::nullopt;
        },
        &HapticLoop::SetMaxForceRate,
        "The most the force sent may change per second (None: no limit), from the next cycle.");
    loop.def_property(
        "passivity", &HapticLoop::Passivity, &HapticLoop::SetPassivity,
        "Whether the passivity controller damps out the energy the rendering gives the hand "
        "beyond what it took (from the next cycle; switched on, it observes afresh).");
}

} // namespace

void bind_haptics(py::module_& m) {
    py::module_ haptics = DefSubmodule(
        m, "haptics", "Force rendering on a native thread: HapticLoop and its effects.");
    BindEffects(haptics);
    BindRecords(haptics);
    bind_samples(haptics);
    BindLoop(haptics);
    haptics.def("passive_stiffness", &Haptics::PassiveStiffness,
                "The largest stiffness (N/m) of a wall with damping wall_damping (N*s/m) that a "
                "loop at rate_hz renders passively on a device of damping device_damping "
                "(N*s/m): 2 (device_damping - |wall_damping|) * rate_hz, from the bound "
                "b > K T / 2 + |B|; 0 when the wall's damping takes up the device's.",
                py::arg("rate_hz"), py::arg("device_damping"), py::arg("wall_damping") = 0.0);
    // The interpreter's exit never leaves a loop pushing on an arm.
    RegisteredLoop::StopAllAtExit();
}

} // namespace Torvi::HardwareAPI::Bindings
