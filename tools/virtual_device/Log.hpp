#pragma once

// Diagnostics on standard error, written only with --verbose: standard
// output carries the slave's path and nothing else.

#include "Torvi/HardwareAPI/protocol/WireBytes.hpp"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace Torvi::VirtualDevice {

using HardwareAPI::Wire::Bytes;

class Log {
public:
    Log(bool enabled, std::string name) : enabled(enabled), name(std::move(name)) {}

    bool Enabled() const { return enabled; }

    void operator()(const char* format, ...) const __attribute__((format(printf, 2, 3))) {
        if (!enabled) return;
        std::va_list args;
        va_start(args, format);
        std::fprintf(stderr, "[%s] ", name.c_str());
        std::vfprintf(stderr, format, args);
        std::fputc('\n', stderr);
        va_end(args);
    }

    /// The bytes in hex, separated by blanks; lower case as session files
    /// write them, upper case for diagnostics.
    static std::string Hex(const uint8_t* bytes, std::size_t n, bool lower_case = false) {
        const char* digits = lower_case ? "0123456789abcdef" : "0123456789ABCDEF";
        std::string text;
        for (std::size_t i = 0; i < n; ++i) {
            if (i) text += ' ';
            text += digits[bytes[i] >> 4];
            text += digits[bytes[i] & 0xF];
        }
        return text;
    }
    static std::string Hex(const Bytes& bytes, bool lower_case = false) {
        return Hex(bytes.data(), bytes.size(), lower_case);
    }

private:
    bool enabled;
    std::string name;
};

} // namespace Torvi::VirtualDevice
