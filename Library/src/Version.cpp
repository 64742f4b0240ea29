#include "Torvi/HardwareAPI/Version.hpp"

#include <iostream>

namespace Torvi::HardwareAPI {

namespace {
// The project version, handed over by the build (Library/CMakeLists.txt).
constexpr const char* kLibraryVersion = TORVI_LIBRARY_VERSION;
} // namespace

const char* get_cpp_version() { return kLibraryVersion; }

void print_cpp_version() {
    // The library's own stdout, not Python's sys.stdout: redirecting the
    // latter does not capture this line. Flushed at once, so that it comes
    // out before whatever the caller prints next through another buffer.
    std::cout << "Library version: " << kLibraryVersion
              << std::endl; // NOLINT(performance-avoid-endl): the flush is wanted
}

} // namespace Torvi::HardwareAPI
