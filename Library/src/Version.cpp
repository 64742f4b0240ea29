#include "Torvi/HardwareAPI/Version.hpp"

#include <iostream>

namespace Torvi::HardwareAPI {

namespace {
constexpr const char* kLibraryVersion = "0.1.10";
}

const char* get_cpp_version() { return kLibraryVersion; }

void print_cpp_version() {
    // The library's own stdout, not Python's sys.stdout: redirecting the
    // latter does not capture this line.
    std::cout << "Library version: " << kLibraryVersion << std::endl;
}

} // namespace Torvi::HardwareAPI
