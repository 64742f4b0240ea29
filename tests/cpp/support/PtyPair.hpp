#pragma once

// A pseudo-terminal for tests: the library opens the slave like any tty,
// the test plays the device on the master side.

#include "support/Bytes.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace TorviTest {

class PtyPair {
public:
    /// Opens a pty with both ends close-on-exec and the slave in raw mode.
    /// Throws std::runtime_error when no pty can be had; tests turn that
    /// into a skip rather than exiting the process.
    PtyPair();
    ~PtyPair();

    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slave_path() const { return path; }
    int master() const { return master_fd; }

    /// Device to host: writes all bytes on the master.
    void Write(const std::vector<uint8_t>& bytes) const;

    /// Host to device: reads up to `n` bytes from the master, waiting at most
    /// `limit` for them; returns what arrived.
    std::vector<uint8_t> Read(std::size_t n, std::chrono::milliseconds limit) const;

    /// Everything the host has written so far that has not been read, waiting
    /// `settle` for stragglers.
    std::vector<uint8_t>
    Drain(std::chrono::milliseconds settle = std::chrono::milliseconds(50)) const;

    /// Bytes queued towards the host (on the slave side), as FIONREAD sees them.
    int QueuedForHost() const;

private:
    int master_fd = -1;
    int slave_fd = -1;
    std::string path;
};

} // namespace TorviTest
