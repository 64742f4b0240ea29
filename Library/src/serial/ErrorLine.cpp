#include "serial/ErrorLine.hpp"

#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace Torvi::HardwareAPI::IO {

namespace {
constexpr const char* kErrorLocale = "en_US.utf8";
}

std::wstring ErrnoText(int error_number) {
    std::setlocale(LC_ALL, kErrorLocale);
    const char* text = std::strerror(error_number);
    std::wstring wide;
    for (const char* c = text; *c != '\0'; ++c) {
        // Each byte keeps its signed value as one wide character.
        wide.push_back(static_cast<wchar_t>(static_cast<signed char>(*c)));
    }
    return wide;
}

void ReportError(ErrorLine error, ...) {
    const int captured = errno;
    const std::wstring text = ErrnoText(captured);

    va_list args;
    va_start(args, error);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, error.message, measure);
    va_end(measure);
    std::vector<char> message(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    if (length > 0) {
        std::vsnprintf(message.data(), message.size(), error.message, args);
    }
    va_end(args);

    std::fprintf(stderr, "[err] %s:%u> %s: [%d] %ls\n", error.source, error.line, message.data(),
                 captured, text.c_str());
    std::fflush(stderr);
    // Reporting must not disturb errno: a second report of the same failure
    // shows the same value.
    errno = captured;
}

} // namespace Torvi::HardwareAPI::IO
