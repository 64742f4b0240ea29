#pragma once

// The exit statuses of torvi-virtual-device, named once: main returns them,
// the loops return theirs, and --help states them.

namespace Torvi::VirtualDevice::ExitStatus {

inline constexpr int kStopped = 0;  ///< stopped by a signal or by standard input
inline constexpr int kFailed = 1;   ///< could not start, or a wait failed
inline constexpr int kUsage = 2;    ///< the command line was refused
inline constexpr int kMismatch = 2; ///< a replay received a request it does not hold

} // namespace Torvi::VirtualDevice::ExitStatus
