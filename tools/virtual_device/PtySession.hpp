#pragma once

// The pseudo-terminal a virtual device plays on, and whether a host has it
// open.
//
// The master reports a hang-up (POLLHUP, and EIO on read) while no process
// holds the slave open; that is how the device knows a host is there. While
// none is, the master is left out of the poll (it would report the hang-up
// over and over) and an inotify watch on the slave node wakes the device
// when a host opens it. Hosts come and go (discovery opens, probes and
// closes; tests reopen), and the device outlives them. When the last host
// closes, whatever either side sent and the other did not read is
// discarded, as a real serial adapter drops what arrives while its port is
// closed: the next host starts from a quiet line.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

    /// How the port changed since the last check.
    struct HostEvents {
        bool arrived = false; ///< the port went from no host to a host
        bool left = false;    ///< the last host closed the port
    };
    /// Looks whether a host holds the port now (call when WatchFd is readable
    /// or the master reports a hang-up; harmless otherwise). When the last
    /// host has gone, discards what was left unread in both directions.
    HostEvents CheckHost();

    /// Whether some process other than the device holds the port open, as
    /// of the last CheckHost.
    bool HostPresent() const { return host_present; }

    /// Reads up to n bytes the host wrote; 0 when none are waiting.
    std::size_t Read(uint8_t* buffer, std::size_t n);

    /// Writes what the terminal takes now of n bytes; returns the count.
    std::size_t Write(const uint8_t* bytes, std::size_t n);

    /// Closes the terminal: the host's next read sees the line gone.
    void HangUp();

private:
    void DiscardTowardsHost();
    void RemoveLink();

    int master_fd = -1;
    int watch_fd = -1;
    std::string slave_path;
    std::string link_path;
    bool host_present = false;
};

/// The bytes on their way to the host, in order: the pty takes what it can
/// at each Flush, the rest waits for the next.
class Outbox {
public:
    void Add(const std::vector<uint8_t>& bytes) {
        outgoing.insert(outgoing.end(), bytes.begin(), bytes.end());
    }
    bool Pending() const { return sent < outgoing.size(); }
    /// Writes what the pty takes now.
    void Flush(PtySession& session);
    void Clear();

private:
    std::vector<uint8_t> outgoing;
    std::size_t sent = 0; // how many of `outgoing` the pty has taken
};

} // namespace Torvi::VirtualDevice
