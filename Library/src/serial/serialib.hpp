#pragma once

#include <streambuf>

namespace Torvi::HardwareAPI::IO {

/// The port buffer: owns one serial tty's descriptor, configures the line and
/// moves bytes between the tty and memory. It is an unbuffered std::streambuf:
/// no get or put area is ever installed, so every stream operation reaches the
/// overrides below and nothing is held back in memory except the one byte
/// that `underflow` or `pbackfail` may keep pending.
///
/// Failures are return values (-2, 0 or eof) with errno left as the failing
/// system call set it; nothing here prints or throws.
class serialib : public std::streambuf {
public:
    serialib() = default;
    ~serialib() override;

    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;

    /// Opens and configures the tty at `path`: 115200 baud, 8N1, raw, no flow
    /// control, non-blocking reads that return at once. Returns 1 when open,
    /// -2 when `open` failed (the descriptor stays -1).
    int OpenTty(const char* path);

    /// Closes the descriptor if open. Idempotent.
    void CloseTty();

    /// Raises the DTR modem line of the open tty.
    void AssertDtr();

    /// Reads up to `n` bytes, giving up about one second after the call
    /// began. Returns the count read (0 to n), or -2 when a read failed.
    int ReadTimed(char* buffer, int n);

    /// The tty's descriptor, -1 while closed.
    int Descriptor() const { return fd; }

protected:
    std::streambuf* setbuf(char_type* s, std::streamsize n) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* out, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize xsputn(const char_type* s, std::streamsize n) override;
    int_type overflow(int_type c) override;

private:
    char pending_byte = 0;    ///< a byte read or handed back but not yet consumed
    bool has_pending = false; ///< whether pending_byte holds such a byte
    int fd = -1;              ///< the tty's descriptor; -1 while closed
};

} // namespace Torvi::HardwareAPI::IO
