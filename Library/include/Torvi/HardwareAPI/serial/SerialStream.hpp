#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

namespace Torvi::HardwareAPI::IO {

class serialib;

/// The byte stream every device talks over: a std::iostream whose buffer is
/// an unbuffered serialib port buffer, created and owned by the stream.
///
/// Transport failures are never thrown. They are reported by one error line
/// on standard error, and the stream state keeps them: once a transfer has
/// failed, every later transfer on the stream fails at once.
class SerialStream : public std::iostream {
public:
    /// Builds the stream for the tty at `path` (may be null) and, when
    /// `open_now` is true, opens it; a port that cannot be opened is reported
    /// by error lines, never by an exception, and leaves an unusable stream.
    SerialStream(const char* path, bool open_now);
    ~SerialStream() override;

    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;

    /// Opens the tty once: 1 when open and configured, -2 on failure.
    int8_t Open();

    /// Closes the tty if open. There is no reopening.
    virtual void Close();

    /// Bytes waiting in the tty's input queue; 0 when closed or never opened.
    virtual int Available();

    /// Sleeps until bytes are queued, the line hangs up or fails, or
    /// `timeout_ms` passes, without spinning. True when a read would not wait
    /// (bytes queued, or an end to report); false on time-out or when closed.
    virtual bool WaitReadable(int timeout_ms);

    /// What WaitInput saw; both may be set, neither after a time-out.
    struct InputReady {
        bool port = false;  ///< a read would not wait, as for WaitReadable
        bool woken = false; ///< `wake_fd` is readable (it is not read here)
    };
    /// Sleeps as WaitReadable does, and also ends when `wake_fd` (any
    /// descriptor of the caller's, such as an eventfd another thread signals)
    /// becomes readable; `timeout_ms` below 0 waits without limit. Returns at
    /// once with neither set when the port is not open.
    virtual InputReady WaitInput(int wake_fd, int timeout_ms);

    /// Whether the tty is open (false before Open, after Close or a failed
    /// open).
    bool IsOpen() const;

    /// Writes `n` bytes in one system call; a short or failed write is
    /// reported by an error line and leaves the stream bad.
    virtual void Write(const uint8_t* data, size_t n);

    /// The system's text for an errno value as a wide string (see ErrorLine).
    static std::wstring ErrnoText(int error_number);

private:
    // The path is copied: the stream uses it in Open and its error lines,
    // and the caller's string need not outlive the constructor.
    std::string path;
    bool has_path;
    std::unique_ptr<serialib> buffer;
    bool open_now;
};

} // namespace Torvi::HardwareAPI::IO
