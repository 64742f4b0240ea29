#include "serial/serialib.hpp"

#include "support/PtyTest.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <termios.h>
#include <thread>

using Torvi::HardwareAPI::IO::serialib;
using TorviTest::Hex;
using namespace std::chrono_literals;

namespace {

// Opens the protected stream-buffer overrides to the tests.
class ExposedBuffer : public serialib {
public:
    using serialib::overflow;
    using serialib::pbackfail;
    using serialib::setbuf;
    using serialib::showmanyc;
    using serialib::uflow;
    using serialib::underflow;
    using serialib::xsgetn;
    using serialib::xsputn;
};

constexpr int kEof = std::char_traits<char>::eof();

class SerialibOnPty : public TorviTest::PtyTest {
protected:
    void SetUp() override {
        PtyTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(buffer.OpenTty(pty->slave_path().c_str()), 1);
    }

    ExposedBuffer buffer;
};

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

TEST_F(SerialibOnPty, ConfiguresTheLineRawAt115200) {
    termios options{};
    ASSERT_EQ(tcgetattr(buffer.Descriptor(), &options), 0);
    EXPECT_EQ(cfgetispeed(&options), B115200);
    EXPECT_EQ(cfgetospeed(&options), B115200);
    EXPECT_EQ(options.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(options.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(options.c_oflag, 0u);
    EXPECT_EQ(options.c_lflag, 0u);
    EXPECT_EQ(options.c_cc[VMIN], 0);
    EXPECT_EQ(options.c_cc[VTIME], 0);
    EXPECT_TRUE(fcntl(buffer.Descriptor(), F_GETFL) & O_NONBLOCK);
}

TEST_F(SerialibOnPty, ReadTimedGivesUpAfterOneSecondWithoutData) {
    char out[4];
    // The limit is kept on the wall clock, which a virtual machine's clock
    // discipline may run a few milliseconds fast of the steady one: the
    // lower bound is checked on the clock the read itself watches.
    const auto wall_start = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(buffer.ReadTimed(out, 4), 0);
    const double elapsed = MillisecondsSince(start);
    const double wall_elapsed =
        std::chrono::duration<double, std::milli>(std::chrono::system_clock::now() - wall_start)
            .count();
    EXPECT_GE(wall_elapsed, 1000.0);
    EXPECT_GT(elapsed, 900.0);
    EXPECT_LT(elapsed, 1300.0);
}

TEST_F(SerialibOnPty, ReadTimedReturnsWhatArrivedWithinTheSecond) {
    pty->Write(Hex("01 02 03 04 05"));
    char out[10] = {};
    EXPECT_EQ(buffer.ReadTimed(out, 10), 5);
    EXPECT_EQ(std::string(out, 5), std::string("\x01\x02\x03\x04\x05"));
}

TEST_F(SerialibOnPty, ReadTimedCollectsBytesThatArriveInPieces) {
    std::thread device([&] {
        pty->Write(Hex("0A 0B"));
        std::this_thread::sleep_for(100ms);
        pty->Write(Hex("0C"));
    });
    char out[3] = {};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(buffer.ReadTimed(out, 3), 3);
    EXPECT_LT(MillisecondsSince(start), 900.0);
    device.join();
    EXPECT_EQ(out[2], '\x0C');
}

TEST_F(SerialibOnPty, UnderflowPeeksOnceAndUflowConsumes) {
    pty->Write(Hex("41 42"));
    EXPECT_EQ(buffer.underflow(), 0x41);
    EXPECT_EQ(buffer.underflow(), 0x41); // the pending byte, no second read
    EXPECT_EQ(buffer.uflow(), 0x41);
    EXPECT_EQ(buffer.uflow(), 0x42);
}

TEST_F(SerialibOnPty, UnderflowReturnsHighBytesAsUnsigned) {
    pty->Write(Hex("FF"));
    EXPECT_EQ(buffer.underflow(), 0xFF);
}

TEST_F(SerialibOnPty, XsgetnDeliversThePendingByteFirst) {
    pty->Write(Hex("10 11 12 13"));
    ASSERT_EQ(buffer.underflow(), 0x10);
    char out[4] = {};
    EXPECT_EQ(buffer.xsgetn(out, 4), 4);
    EXPECT_EQ(std::string(out, 4), std::string("\x10\x11\x12\x13"));
}

TEST_F(SerialibOnPty, XsgetnOfOneWithPendingByteLeavesTheTtyAlone) {
    pty->Write(Hex("20 21"));
    ASSERT_EQ(buffer.underflow(), 0x20);
    char out = 0;
    EXPECT_EQ(buffer.xsgetn(&out, 1), 1);
    EXPECT_EQ(out, '\x20');
    EXPECT_EQ(buffer.underflow(), 0x21); // 0x21 was still in the tty
}

TEST_F(SerialibOnPty, PbackfailHoldsOneByteOnly) {
    EXPECT_EQ(buffer.pbackfail('x'), 'x');
    EXPECT_EQ(buffer.pbackfail('y'), kEof);
    EXPECT_EQ(buffer.pbackfail(kEof), kEof);
    EXPECT_EQ(buffer.uflow(), 'x');
}

TEST_F(SerialibOnPty, ShowmanycReportsAndKeepsOneByte) {
    EXPECT_EQ(buffer.showmanyc(), 0);
    pty->Write(Hex("33 34"));
    EXPECT_EQ(buffer.showmanyc(), 1);
    EXPECT_EQ(buffer.showmanyc(), 1); // the kept byte, not a new read
    EXPECT_EQ(buffer.uflow(), 0x33);
    EXPECT_EQ(buffer.uflow(), 0x34);
}

TEST_F(SerialibOnPty, XsputnWritesWholeRequestsInOneCall) {
    std::vector<char> request(300);
    for (size_t i = 0; i < request.size(); ++i)
        request[i] = static_cast<char>(i);
    EXPECT_EQ(buffer.xsputn(request.data(), 300), 300);
    const auto got = pty->Read(300, 1000ms);
    ASSERT_EQ(got.size(), 300u);
    EXPECT_EQ(got[299], static_cast<uint8_t>(299 & 0xFF));
    EXPECT_EQ(buffer.overflow('Q'), 'Q');
    EXPECT_EQ(pty->Read(1, 1000ms), std::vector<uint8_t>{'Q'});
}

TEST_F(SerialibOnPty, SetbufInstallsNoBuffer) {
    char area[16];
    EXPECT_EQ(buffer.setbuf(area, sizeof area), &buffer);
    std::ostream out(&buffer);
    out << 'Z'; // unbuffered: reaches the tty without a flush
    EXPECT_EQ(pty->Read(1, 1000ms), std::vector<uint8_t>{'Z'});
}

TEST_F(SerialibOnPty, CloseIsIdempotentAndHidesThePendingByte) {
    pty->Write(Hex("55"));
    ASSERT_EQ(buffer.underflow(), 0x55);
    buffer.CloseTty();
    buffer.CloseTty();
    EXPECT_EQ(buffer.Descriptor(), -1);
    EXPECT_EQ(buffer.underflow(), kEof);
}

TEST(SerialibClosed, EveryTransferFailsAtOnce) {
    ExposedBuffer buffer;
    char out[4];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(buffer.underflow(), kEof);
    EXPECT_EQ(buffer.uflow(), kEof);
    EXPECT_EQ(buffer.xsgetn(out, 4), 0);
    EXPECT_EQ(buffer.showmanyc(), 0);
    EXPECT_EQ(buffer.overflow('a'), kEof);
    EXPECT_EQ(buffer.xsputn("abc", 3), 0);
    // No read was attempted: a read would have taken a second.
    EXPECT_LT(MillisecondsSince(start), 100.0);
    EXPECT_EQ(buffer.pbackfail('b'), 'b');
}

TEST(SerialibOpen, MissingPathFailsWithTheErrnoOfOpen) {
    serialib buffer;
    errno = 0;
    EXPECT_EQ(buffer.OpenTty("/nonexistent/tty"), -2);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(buffer.Descriptor(), -1);
}
