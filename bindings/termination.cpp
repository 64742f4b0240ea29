#include "termination.hpp"

#include "conventions.hpp"

#include <atomic>
#include <csignal>
#include <optional>

namespace Torvi::HardwareAPI::Bindings {

namespace {

/// The holds alive. Changed with the interpreter lock held but for a hold
/// destroyed without it, hence atomic.
std::atomic<int> holds{0};

/// Terminated, made once by bind_termination. Never destroyed: the
/// interpreter may look at it after the static destructors have run.
PyObject* terminated_type = nullptr;

py::object SignalModule() { return py::module_::import("signal"); }

/// The handler the holds install. When no hold is left (the last one went
/// off the main thread), the process ends by the signal as the default
/// would have; otherwise Terminated is raised in the main thread.
py::object& Handler() {
    static auto* handler = new py::object(py::cpp_function([](int, const py::object&) {
        if (holds.load() == 0) {
            py::object signal = SignalModule();
            signal.attr("signal")(SIGTERM, signal.attr("SIG_DFL"));
            signal.attr("raise_signal")(SIGTERM);
            return;
        }
        PyErr_SetObject(terminated_type, py::int_(TerminatedStatus()).ptr());
        throw py::error_already_set();
    }));
    return *handler;
}

void InstallIfDefault() {
    if (!OnMainThread()) {
        return;
    }
    py::object signal = SignalModule();
    if (signal.attr("getsignal")(SIGTERM).is(signal.attr("SIG_DFL"))) {
        signal.attr("signal")(SIGTERM, Handler());
    }
}

void RestoreIfOurs() noexcept {
    if (PyGILState_Check() == 0 || !OnMainThread()) {
        return;
    }
    // A release may come while an exception is on its way out: keep it.
    py::error_scope pending;
    try {
        py::object signal = SignalModule();
        if (signal.attr("getsignal")(SIGTERM).is(Handler())) {
            signal.attr("signal")(SIGTERM, signal.attr("SIG_DFL"));
        }
    } catch (...) { // NOLINT(bugprone-empty-catch): a destructor's last resort
        // Late in the interpreter's exit the signal module may be gone. The
        // error is dropped with its exception: with no hold left, the
        // handler behaves as the default anyway.
    }
}

/// A with block that holds SIGTERM as an orderly exit from __enter__ to
/// __exit__; entering it again while it holds takes no second hold.
struct SigtermAsExit {
    std::optional<TerminationHold> hold;
};

} // namespace

int TerminatedStatus() { return 128 + SIGTERM; }

TerminationHold::TerminationHold() {
    holds.fetch_add(1);
    try {
        InstallIfDefault();
    } catch (...) {
        holds.fetch_sub(1);
        throw;
    }
}

TerminationHold::~TerminationHold() {
    if (holds.fetch_sub(1) == 1) {
        RestoreIfOurs();
    }
}

void bind_termination(py::module_& m) {
    terminated_type = PyErr_NewExceptionWithDoc(
        "TorviHardwareAPI.Terminated",
        "Raised in the main thread by a SIGTERM while a HapticLoop, a HandleListener, a "
        "torvi.recording.Recorder or a SigtermAsExit block runs and the program has left "
        "SIGTERM at its default: a SystemExit whose code is 128 + SIGTERM (143), so that the "
        "with blocks unwind and the process exits with that status, without a traceback.",
        PyExc_SystemExit, nullptr);
    if (terminated_type == nullptr) {
        throw py::error_already_set();
    }
    m.add_object("Terminated", py::handle(terminated_type));
    py::class_<SigtermAsExit>(
        m, "SigtermAsExit",
        "A with block during which a SIGTERM, if the program has left it at its default, raises "
        "Terminated in the main thread instead of ending the process at once; the default is "
        "put back when the last such block (or running loop, listener or recorder) ends. A "
        "program with a SIGTERM handler of its own is left alone, and a block entered on "
        "another thread than the main one installs nothing.")
        .def(py::init<>())
        .def(
            "__enter__",
            [](SigtermAsExit& self) -> SigtermAsExit& {
                if (!self.hold) {
                    self.hold.emplace();
                }
                return self;
            },
            py::return_value_policy::reference)
        .def(
            "__exit__",
            [](SigtermAsExit& self, const py::object&, const py::object&, const py::object&) {
                self.hold.reset();
            },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));
}

} // namespace Torvi::HardwareAPI::Bindings
