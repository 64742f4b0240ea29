#pragma once

#include <string>
#include <vector>

namespace Torvi::HardwareAPI::Discovery {

// Detection: list the candidate ports under /dev, probe the ones of the asked
// kind one after another (each probe on a thread of its own, its answer
// counting only within the wait limit, a late probe still waited for) and
// return the paths whose device answered as the asked type, in listing order.
// Per-port failures only leave the port out; a failure to list /dev or to
// start a probe thread is thrown.

/// Arms on ttyACM ports: those answering the wakeup with a device info of
/// model 4 within 3 seconds.
std::vector<std::string> detect_armillars();

/// Handles on every kind of port: those answering the wakeup with an info
/// response or a status message within 5 seconds.
std::vector<std::string> detect_handles();

/// Handles on ttyUSB ports (wired).
std::vector<std::string> detect_wired_handles();

/// Handles on rfcomm ports (wireless).
std::vector<std::string> detect_wireless_handles();

/// Probes one port for an arm: 1 when a device info of model 4 came back.
int probe_armillar(const char* path);

/// Probes one port for a handle: 1 when an info response or a status
/// message came back.
int probe_handle(const char* path);

/// probe_handle on its own thread, within the handle wait limit.
bool run_handle_probe(const char* path);

} // namespace Torvi::HardwareAPI::Discovery
