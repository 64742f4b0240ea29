#pragma once

// The pseudo-terminal a virtual device plays on, and who has it open.
//
// The device holds the slave open itself, so the master never reports a
// hang-up when a host closes the port (discovery opens, probes and closes;
// tests reopen). Hosts coming and going are seen through inotify on the slave
// node instead. When the last host closes, whatever the device sent and the
// host did not read is discarded, as a real serial adapter drops what
// arrives while its port is closed.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Torvi::VirtualDevice {

class PtySession {
public:
    /// Opens a pty in raw mode, non-blocking on the master side, and, when
    /// `link_path` is not empty, a symbolic link to the slave there. Throws
    /// std::runtime_error when either cannot be had.
    explicit PtySession(const std::string& link_path = {});
    ~PtySession();

    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    const std::string& SlavePath() const { return slave_path; }
    int MasterFd() const { return master_fd; }
    int WatchFd() const { return watch_fd; }

    /// What the opens and closes since the last call did.
    struct HostEvents {
        bool arrived = false; ///< the port went from no host to a host
        bool left = false;    ///< the last host closed the port
    };
    /// Reads the pending open/close notifications (call when WatchFd is
    /// readable; harmless otherwise).
    HostEvents ReadHostEvents();

    /// Whether some process other than the device holds the port open.
    bool HostPresent() const { return hosts > 0; }

    /// Reads up to n bytes the host wrote; 0 when none are waiting.
    std::size_t Read(uint8_t* buffer, std::size_t n);

    /// Writes what the terminal takes now of n bytes; returns the count.
    std::size_t Write(const uint8_t* bytes, std::size_t n);

    /// Discards the bytes queued towards the host and not yet read by it.
    void DiscardUnread();

    /// Bytes queued towards the host and not yet read by it.
    int QueuedForHost() const;

    /// Closes the terminal: the host's next read sees the line gone.
    void HangUp();
    bool HungUp() const { return master_fd < 0; }

private:
    void RemoveLink();

    int master_fd = -1;
    int slave_fd = -1; // held so the master never reads EIO between hosts
    int watch_fd = -1;
    std::string slave_path;
    std::string link_path;
    long hosts = 0;
};

} // namespace Torvi::VirtualDevice
