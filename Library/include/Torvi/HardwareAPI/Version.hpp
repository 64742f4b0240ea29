#pragma once

namespace Torvi::HardwareAPI {

/// The version of the device library, as a constant NUL-terminated string.
const char* get_cpp_version();

/// Writes "Library version: " and the library version as one line to the
/// process's standard output and flushes it.
void print_cpp_version();

} // namespace Torvi::HardwareAPI
