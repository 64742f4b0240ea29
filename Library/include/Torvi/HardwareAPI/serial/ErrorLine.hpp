#pragma once

#include <string>

namespace Torvi::HardwareAPI::IO {

/// One kind of failure report on standard error. Every transport and framing
/// failure is reported as a single line
///   "[err] <source>:<line>> <message>: [<errno>] <errno text>\n"
/// where source and line are fixed per message, so that tools and users can
/// match on them.
struct ErrorLine {
    const char* source;  ///< label of the reporting module
    unsigned line;       ///< fixed number that identifies the message
    const char* message; ///< printf format of the message; at most one argument
};

/// The complete catalogue of error lines the library writes.
namespace ErrorLines {
inline constexpr const char* kSerialStreamSource = "Library/src/SerialStream";
inline constexpr const char* kDeviceSource = "Library/src/Device";

inline constexpr ErrorLine kUnableToOpenStream{kSerialStreamSource, 18, "unable to open stream '%s'"};
inline constexpr ErrorLine kUnableToOpenPort{kSerialStreamSource, 39, "unable to open port '%s'"};
inline constexpr ErrorLine kUnableToWrite{kSerialStreamSource, 53,
                                          "unable to write '%zu' bytes to stream"};
inline constexpr ErrorLine kHeaderCodeTimeout{kDeviceSource, 58, "timeout waiting for header code"};
inline constexpr ErrorLine kUnableToReadHeaderCode{kDeviceSource, 75,
                                                   "unable to read header code from stream"};
// A fixed-length read that times out reports with the header-code wording;
// the line number tells the two apart.
inline constexpr ErrorLine kPayloadTimeout{kDeviceSource, 87, "timeout waiting for header code"};
inline constexpr ErrorLine kUnableToReadBytes{kDeviceSource, 97,
                                              "unable to read '%zu' bytes from stream"};
// A request to read more than the receive buffer holds is refused rather than
// allowed to run past the end of the buffer.
inline constexpr ErrorLine kReadExceedsBuffer{kDeviceSource, 103,
                                              "unable to read '%zu' bytes into the receive buffer"};
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
