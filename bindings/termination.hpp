#pragma once

// SIGTERM as an orderly exit while the module drives a device. `kill`, a
// service manager or a container's stop sends SIGTERM, whose default ends
// the process at once: a loop's last force stays on the arm and a recording
// stays unfinished. While something holds a TerminationHold, a SIGTERM that
// the program left at its default raises Terminated in the main thread
// instead, as Ctrl-C raises KeyboardInterrupt, so that every with block
// unwinds (zero force sent, readers stopped, files closed) before the
// process exits with status 128 + SIGTERM.

#include <pybind11/pybind11.h>

namespace Torvi::HardwareAPI::Bindings {

namespace py = pybind11;

/// The exit status of a process that Terminated ended: 128 + SIGTERM, as a
/// shell reports a process that the signal ended.
int TerminatedStatus();

/// One holder of SIGTERM as an orderly exit, process-wide and counted. The
/// first hold made on the interpreter's main thread while SIGTERM is at its
/// default (SIG_DFL) installs a handler that raises Terminated; when the
/// last hold goes, on the main thread, SIG_DFL is put back, unless the
/// program has put a handler of its own there meanwhile. A program whose
/// SIGTERM has a handler of its own (or is ignored) is left alone.
///
/// Python installs signal handlers only from its main thread: a hold made
/// on another thread counts, but installs nothing. Make and destroy holds
/// with the interpreter lock held; one destroyed without it (or released
/// off the main thread) only counts down, and the handler, should a SIGTERM
/// come when no hold is left, puts the default back and ends the process by
/// the signal, as the default would have.
class TerminationHold {
public:
    TerminationHold();
    ~TerminationHold();

    TerminationHold(const TerminationHold&) = delete;
    TerminationHold& operator=(const TerminationHold&) = delete;
};

/// Terminated (a SystemExit) and SigtermAsExit (a with block that holds a
/// TerminationHold), into the module.
void bind_termination(py::module_& m);

} // namespace Torvi::HardwareAPI::Bindings
