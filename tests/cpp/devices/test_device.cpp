#include "Torvi/HardwareAPI/devices/Cancellation.hpp"
#include "Torvi/HardwareAPI/devices/Device.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include "support/PtyTest.hpp"
#include "support/Timing.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using Torvi::HardwareAPI::Devices::Device;
using Torvi::HardwareAPI::IO::SerialStream;
using namespace TorviTest;
using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class DeviceOnPty : public TorviTest::StreamOnPtyTest {
protected:
    void OpenDevice() override { device = std::make_unique<Device>(stream.get()); }

    // Queues bytes towards the host and waits until the tty reports them.
    void Queue(const std::vector<uint8_t>& bytes) {
        const int before = stream->Available();
        pty->Write(bytes);
        for (int i = 0; i < 2000 && stream->Available() < before + static_cast<int>(bytes.size());
             ++i) {
            std::this_thread::sleep_for(1ms);
        }
    }

    std::unique_ptr<Device> device;
};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

TEST_F(DeviceOnPty, StartsWithTheDefaultTimeoutAndZeroedBuffers) {
    EXPECT_FLOAT_EQ(device->timeout, 5.0f);
    EXPECT_EQ(device->stream, stream.get());
    for (size_t i = 0; i < Device::kBufferSize; ++i) {
        ASSERT_EQ(device->send_buffer[i], 0);
        ASSERT_EQ(device->receive_buffer[i], 0);
    }
}

TEST_F(DeviceOnPty, SendWritesTheFirstNBytesOfTheSendBuffer) {
    device->send_buffer[0] = 0x2A;
    device->send_buffer[1] = 0x01;
    device->send_buffer[2] = 0x02;
    device->Send(2);
    EXPECT_EQ(pty->Read(3, 200ms), Hex("2A 01"));
}

TEST_F(DeviceOnPty, HeaderCodeWaitTimesOutAfterMoreThanTheLimitInWholeSeconds) {
    // The wait counts whole calendar seconds and gives up once more than
    // `timeout` have passed: for 1.0 that is after more than 1 and at most 2 s.
    device->timeout = 1.0f;
    const auto [code, elapsed, err] =
        TimeCapturingStderr([&] { return device->AwaitHeaderCode(); });
    EXPECT_EQ(code, 0);
    EXPECT_GT(elapsed, 1.0 * TorviTest::kWallClockSlack);
    EXPECT_LE(elapsed, 2.2);
    EXPECT_TRUE(StartsWith(err, "[err] Library/src/Device:58> timeout waiting for header code: ["))
        << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "exactly one line";
}

TEST_F(DeviceOnPty, HeaderCodeIsReturnedAtOnce) {
    Queue(Hex("0B 99"));
    EXPECT_EQ(device->AwaitHeaderCode(), 0x0B);
    EXPECT_EQ(device->receive_buffer[0], 0x0B);
    EXPECT_EQ(stream->Available(), 1) << "only the header code is consumed";
}

TEST_F(DeviceOnPty, PayloadWaitLeavesAPartialPayloadQueued) {
    device->timeout = 1.0f;
    Queue(Hex("01 02 03"));
    const auto [bytes_read, elapsed, err] =
        TimeCapturingStderr([&] { return device->AwaitBytes(4); });
    EXPECT_EQ(bytes_read, 0u);
    EXPECT_GT(elapsed, 1.0 * TorviTest::kWallClockSlack);
    EXPECT_LE(elapsed, 2.2);
    EXPECT_TRUE(StartsWith(err, "[err] Library/src/Device:87> timeout waiting for header code: ["))
        << err;
    EXPECT_EQ(stream->Available(), 3);
}

TEST_F(DeviceOnPty, PayloadIsReadOverTheHeaderCode) {
    Queue(Hex("0B"));
    ASSERT_EQ(device->AwaitHeaderCode(), 0x0B);
    Queue(Hex("34 12 04"));
    EXPECT_EQ(device->AwaitBytes(3), 3u);
    EXPECT_EQ(device->receive_buffer[0], 0x34);
    EXPECT_EQ(device->receive_buffer[1], 0x12);
    EXPECT_EQ(device->receive_buffer[2], 0x04);
}

// A frame queued whole is read with its code, the payload at offset 0 and
// nothing behind it consumed; one still arriving leaves its payload queued.
TEST_F(DeviceOnPty, FrameReadsAWholePayloadWithItsCodeOnly) {
    Queue(Hex("2B 01 02 03 AA"));
    const Device::Frame whole = device->AwaitFrame(3);
    EXPECT_EQ(whole.code, 0x2B);
    EXPECT_EQ(whole.taken, 3u);
    EXPECT_EQ(Bytes(device->receive_buffer.get(), device->receive_buffer.get() + 3),
              Hex("01 02 03"));
    EXPECT_EQ(stream->Available(), 1) << "the byte after the frame was consumed";

    Queue(Hex("0B 01"));
    const Device::Frame partial = device->AwaitFrame(3);
    EXPECT_EQ(partial.code, 0xAA);
    EXPECT_EQ(partial.taken, 0u);
    EXPECT_EQ(stream->Available(), 2) << "a partial payload was consumed";
}

TEST_F(DeviceOnPty, ZeroBytesAreReadAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device->AwaitBytes(0), 0u);
    EXPECT_LT(SecondsSince(start), 0.5);
}

TEST_F(DeviceOnPty, AWholeBufferIsAllowedButNotMore) {
    std::vector<uint8_t> payload(Device::kBufferSize, 0x5A);
    Queue(payload);
    EXPECT_EQ(device->AwaitBytes(Device::kBufferSize), Device::kBufferSize);
    EXPECT_EQ(device->receive_buffer[Device::kBufferSize - 1], 0x5A);

    Queue(Hex("01"));
    CaptureStderr();
    EXPECT_EQ(device->AwaitBytes(Device::kBufferSize + 1), 0u);
    const std::string err = GetCapturedStderr();
    EXPECT_TRUE(StartsWith(
        err,
        "[err] Library/src/Device:103> unable to read '1025' bytes into the receive buffer: [22] "))
        << err;
    EXPECT_EQ(stream->Available(), 1) << "nothing is read";
}

TEST_F(DeviceOnPty, SendingMoreThanTheBufferIsRefused) {
    CaptureStderr();
    device->Send(Device::kBufferSize + 1);
    const std::string err = GetCapturedStderr();
    EXPECT_TRUE(StartsWith(
        err, "[err] Library/src/SerialStream:53> unable to write '1025' bytes to stream: [22] "))
        << err;
    EXPECT_TRUE(pty->Read(1, 100ms).empty());
}

TEST_F(DeviceOnPty, ABadStreamReportsLine75WithAByteQueued) {
    // The state a failed write leaves behind; it is never cleared.
    stream->setstate(std::ios::badbit);
    Queue(Hex("0B"));
    CaptureStderr();
    EXPECT_EQ(device->AwaitHeaderCode(), 0);
    const std::string err = GetCapturedStderr();
    EXPECT_TRUE(
        StartsWith(err, "[err] Library/src/Device:75> unable to read header code from stream: ["))
        << err;

    CaptureStderr();
    EXPECT_EQ(device->AwaitBytes(1), 0u);
    EXPECT_TRUE(StartsWith(GetCapturedStderr(),
                           "[err] Library/src/Device:97> unable to read '1' bytes from stream: ["));
}

TEST_F(DeviceOnPty, AStreamAtEndOfFileFailsSilently) {
    stream->setstate(std::ios::eofbit | std::ios::failbit);
    Queue(Hex("0B 01"));
    CaptureStderr();
    EXPECT_EQ(device->AwaitHeaderCode(), 0);
    EXPECT_EQ(device->AwaitBytes(1), 0u);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(DeviceOnPty, ZeroTimeoutWaitsUntilTheByteComes) {
    device->timeout = 0.0f;
    std::thread late([&] {
        std::this_thread::sleep_for(2100ms);
        pty->Write(Hex("2B"));
    });
    CaptureStderr();
    EXPECT_EQ(device->AwaitHeaderCode(), 0x2B);
    late.join();
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(DeviceWithoutStream, SendReportsAndWaitsTimeOut) {
    Device device(nullptr);
    device.timeout = 0.5f;
    CaptureStderr();
    device.Send(1);
    EXPECT_EQ(device.AwaitHeaderCode(), 0);
    EXPECT_EQ(device.AwaitBytes(0), 0u);
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Library/src/SerialStream:53>"), std::string::npos) << err;
    EXPECT_NE(err.find("Library/src/Device:58>"), std::string::npos) << err;
    EXPECT_NE(err.find("Library/src/Device:87>"), std::string::npos) << err;
}

TEST_F(DeviceOnPty, AnotherThreadCancelsAWaitWithoutAnErrorLine) {
    // A worker waits on a silent device; the main thread cancels it. The
    // wait must end within a few check intervals, silently, and say why.
    Torvi::HardwareAPI::Devices::CancellationToken token;
    uint8_t code = 0xFF;
    bool cancelled = false;
    double waited = 0;
    CaptureStderr();
    std::thread worker([&] {
        Torvi::HardwareAPI::Devices::CancellationScope scope(token);
        const auto start = std::chrono::steady_clock::now();
        code = device->AwaitHeaderCode();
        waited = SecondsSince(start);
        cancelled = device->WaitCancelled();
    });
    std::this_thread::sleep_for(100ms);
    token.Cancel();
    worker.join();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(cancelled);
    EXPECT_LT(waited, 0.5);

    // Outside the scope the same device waits as before and reads a reply.
    Queue(Hex("2B"));
    EXPECT_EQ(device->AwaitHeaderCode(), 0x2B);
    EXPECT_FALSE(device->WaitCancelled());
}
