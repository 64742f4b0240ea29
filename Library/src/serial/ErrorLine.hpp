#pragma once

#include <string>

namespace Torvi::HardwareAPI::IO {

/// One kind of failure report on standard error. Every transport and framing
/// failure is reported as a single line
///   "[err] <source>:<line>> <message>: [<errno>] <errno text>\n"
/// where source and line are fixed per message, so that tools and users can
/// match on them. Each layer names its own lines next to its code (the
/// serial layer's below, the device layer's in devices/Device.cpp);
/// ReportError prints them all.
struct ErrorLine {
    const char* source;  ///< label of the reporting module
    unsigned line;       ///< fixed number that identifies the message
    const char* message; ///< printf format of the message; at most one argument
};

/// The serial layer's error lines. Source and line are fixed numbers that
/// tools and users match on, not the line numbers of this code. The device
/// layer reports a send it refuses with kUnableToWrite as well.
namespace ErrorLines {
inline constexpr const char* kSerialStreamSource = "Library/src/SerialStream";

inline constexpr ErrorLine kUnableToOpenStream{kSerialStreamSource, 18,
                                               "unable to open stream '%s'"};
inline constexpr ErrorLine kUnableToOpenPort{kSerialStreamSource, 39, "unable to open port '%s'"};
inline constexpr ErrorLine kUnableToWrite{kSerialStreamSource, 53,
                                          "unable to write '%zu' bytes to stream"};
} // namespace ErrorLines

/// The system's text for an errno value, widened byte by byte. Sets the
/// whole process's locale to "en_US.utf8" first (where that locale exists).
std::wstring ErrnoText(int error_number);

/// Writes one error line to standard error and flushes it. The errno value is
/// captured on entry, so call this right after the failing operation. The
/// variadic arguments fill the message's format. `error` is taken by value:
/// the parameter before `...` must not be a reference for va_start.
void ReportError(ErrorLine error, ...);

} // namespace Torvi::HardwareAPI::IO
