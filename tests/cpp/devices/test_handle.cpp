// The handle's requests, receive step and status reader against a pty that
// plays the device.

#include "Torvi/HardwareAPI/devices/Cancellation.hpp"
#include "Torvi/HardwareAPI/devices/Handle.hpp"
#include "Torvi/HardwareAPI/protocol/HandleProtocol.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include "support/PtyTest.hpp"
#include "support/ScriptedDevice.hpp"
#include "support/StatusFrameSample.hpp"
#include "support/Timing.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Torvi::HardwareAPI;
using Devices::Handle;
using Devices::HandleStatus;
namespace HP = Devices::HandleProtocol;
using TorviTest::Concat;
using TorviTest::FloatBytes;
using TorviTest::Hex;

namespace {

using Calls = std::vector<std::string>;

// A short time-out keeps the waits that must expire to one or two seconds.
constexpr float kShortTimeout = 1.0f;

/// Logs every handler call as one line of text, in call order.
class RecordingHandle : public Handle {
public:
    using Handle::Handle;
    std::vector<std::string> calls;
    Devices::HandleStatusMessage last_message;

    void OnHandleInfoResponse(const Devices::HandleInfoResponse& i) override {
        calls.push_back(
            Line("InfoRecord", {i.tool_data_remaining, i.device_id, i.device_model_number,
                                i.hardware_version, i.firmware_version}));
    }
    void OnReceiveHandleInfo(uint8_t tool, uint16_t id, uint8_t model, uint8_t hw,
                             uint8_t fw) override {
        calls.push_back(Line("Info", {tool, id, model, hw, fw}));
    }
    void OnHandleStatusMessage(const Devices::HandleStatusMessage& m) override {
        last_message = m;
        calls.push_back(Line("StatusRecord", {m.device_id, m.user_data_length}));
    }
    void OnReceiveHandleStatusMessage(uint16_t id, const float* q, uint8_t error, uint8_t hall,
                                      uint8_t length, const uint8_t* data) override {
        std::ostringstream out;
        out << "Status " << id << " [" << q[0] << " " << q[1] << " " << q[2] << " " << q[3] << "] "
            << int(error) << " " << int(hall) << " " << int(length) << " [";
        for (int i = 0; i < length; ++i)
            out << (i ? " " : "") << int(data[i]);
        out << "]";
        calls.push_back(out.str());
    }
    void OnHandleErrorResponse(const Devices::HandleErrorResponse& e) override {
        calls.push_back(Line("ErrorRecord", {e.device_id, e.error_code}));
    }
    void OnReceiveHandleErrorResponse(uint16_t id, uint8_t code) override {
        calls.push_back(Line("Error", {id, code}));
    }

private:
    static std::string Line(const char* name, std::initializer_list<unsigned> values) {
        std::ostringstream out;
        out << name;
        for (unsigned v : values)
            out << " " << v;
        return out.str();
    }
};

class HandleTest : public TorviTest::StreamOnPtyTest {
protected:
    void OpenDevice() override { handle = std::make_unique<RecordingHandle>(stream.get()); }

    std::vector<uint8_t> StatusMessage(uint16_t id, std::vector<uint8_t> user_data) {
        return Concat({Hex("DA"),
                       {static_cast<uint8_t>(id & 0xFF), static_cast<uint8_t>(id >> 8)},
                       Hex("02 1F"),
                       FloatBytes(0.5f),
                       FloatBytes(-1.0f),
                       FloatBytes(0.25f),
                       FloatBytes(2.0f),
                       {static_cast<uint8_t>(user_data.size())},
                       user_data});
    }

    std::unique_ptr<RecordingHandle> handle;
};

// ---- Requests ---------------------------------------------------------------

TEST_F(HandleTest, RequestsGoOutByteForByte) {
    handle->SendDeviceWakeup();
    EXPECT_EQ(pty->Drain(), Hex("0A"));
    handle->RequestStatus();
    EXPECT_EQ(pty->Drain(), Hex("DA"));
    const uint8_t data[] = {0xAA, 0xBB, 0xCC};
    handle->SendHandleState(0x2345, 2, data);
    EXPECT_EQ(pty->Drain(), Hex("DB 45 23 02 AA BB"));
    handle->SendHandleState(0x2345, 0, nullptr);
    EXPECT_EQ(pty->Drain(), Hex("DB 45 23 00"));
}

TEST_F(HandleTest, HandleStateWithoutUserDataIsRefusedBeforeWriting) {
    EXPECT_THROW(handle->SendHandleState(1, 2, nullptr), std::invalid_argument);
    EXPECT_TRUE(pty->Drain().empty());
}

// ---- Receive ----------------------------------------------------------------

TEST_F(HandleTest, InfoResponseCallsFieldWiseThenRecordHandler) {
    pty->Write(Hex("D0 11 22 33 44 55 66"));
    EXPECT_EQ(handle->Receive(), 6);
    EXPECT_EQ(handle->calls, (Calls{"Info 17 17459 68 85 102", "InfoRecord 17 17459 68 85 102"}));
}

TEST_F(HandleTest, ErrorResponseCallsFieldWiseThenRecordHandler) {
    pty->Write(Hex("DF 34 12 07"));
    EXPECT_EQ(handle->Receive(), 3);
    EXPECT_EQ(handle->calls, (Calls{"Error 4660 7", "ErrorRecord 4660 7"}));
}

TEST_F(HandleTest, StatusMessageWithoutUserData) {
    pty->Write(StatusMessage(0x0102, {}));
    EXPECT_EQ(handle->Receive(), 21);
    EXPECT_EQ(handle->calls, (Calls{"Status 258 [0.5 -1 0.25 2] 2 31 0 []", "StatusRecord 258 0"}));
}

TEST_F(HandleTest, StatusMessageWithUserData) {
    pty->Write(StatusMessage(0x0102, {0xC0, 0x01, 0xFF}));
    EXPECT_EQ(handle->Receive(), 24);
    EXPECT_EQ(handle->calls,
              (Calls{"Status 258 [0.5 -1 0.25 2] 2 31 3 [192 1 255]", "StatusRecord 258 3"}));
    // The record holds the user data and zeros after it.
    EXPECT_EQ(handle->last_message.user_data[2], 0xFF);
    EXPECT_EQ(handle->last_message.user_data[3], 0);
    EXPECT_EQ(pty->QueuedForHost(), 0);
}

TEST_F(HandleTest, UnknownByteIsConsumedAloneAndTheNextReplyFollows) {
    pty->Write(Hex("55 D0 11 22 33 44 55 66"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(handle->Receive(), Handle::kNoReply);
    // Returned without waiting out any time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(handle->calls.empty());
    EXPECT_EQ(pty->QueuedForHost(), 7);
    EXPECT_EQ(handle->Receive(), 6);
    EXPECT_EQ(handle->calls.size(), 2u);
}

TEST_F(HandleTest, RepliesAfterAWakeupAreReadInOrder) {
    TorviTest::ScriptedDevice device(
        *pty, {{Hex("0A"), Concat({Hex("D0 01 00 02 04 05 06 DF 02 04 09"), StatusMessage(7, {9})}),
                std::chrono::milliseconds(100)}});
    handle->SendDeviceWakeup();
    EXPECT_EQ(handle->Receive(), 6);
    EXPECT_EQ(handle->Receive(), 3);
    EXPECT_EQ(handle->Receive(), 22);
    EXPECT_EQ(device.Finish(), (std::vector<std::vector<uint8_t>>{Hex("0A")}));
    EXPECT_EQ(handle->calls, (Calls{"Info 1 1026 4 5 6", "InfoRecord 1 1026 4 5 6", "Error 1026 9",
                                    "ErrorRecord 1026 9", "Status 7 [0.5 -1 0.25 2] 2 31 1 [9]",
                                    "StatusRecord 7 1"}));
}

TEST_F(HandleTest, SilenceGivesNoReplyAndNoHandler) {
    handle->timeout = kShortTimeout;
    EXPECT_EQ(handle->Receive(), Handle::kNoReply);
    EXPECT_TRUE(handle->calls.empty());
}

// A payload that comes short is decoded from zeros, not from what an earlier
// reply left in the receive buffer; the handlers still run with the short
// count, and the bytes that did arrive stay queued.
TEST_F(HandleTest, ShortInfoPayloadIsDecodedFromZeros) {
    handle->timeout = kShortTimeout;
    pty->Write(Hex("D0 11 22 33 44 55 66"));
    ASSERT_EQ(handle->Receive(), 6);
    handle->calls.clear();
    pty->Write(Hex("D0 77 88"));
    EXPECT_EQ(handle->Receive(), 0);
    EXPECT_EQ(handle->calls, (Calls{"Info 0 0 0 0 0", "InfoRecord 0 0 0 0 0"}));
    EXPECT_EQ(pty->QueuedForHost(), 2);
}

TEST_F(HandleTest, ShortStatusFixedPartReadsNoUserData) {
    handle->timeout = kShortTimeout;
    pty->Write(Hex("DF 34 12 07 DA 01 02 03"));
    ASSERT_EQ(handle->Receive(), 3);
    handle->calls.clear();
    EXPECT_EQ(handle->Receive(), 0);
    EXPECT_EQ(handle->calls, (Calls{"Status 0 [0 0 0 0] 0 0 0 []", "StatusRecord 0 0"}));
    EXPECT_EQ(pty->QueuedForHost(), 3);
}

TEST_F(HandleTest, ShortUserDataIsZeroNotTheFixedPart) {
    handle->timeout = kShortTimeout;
    auto message = StatusMessage(0x0201, {0xAA, 0xBB, 0xCC});
    message.pop_back();
    message.pop_back();
    pty->Write(message);
    // Only the fixed part counts; the three announced bytes are zero.
    EXPECT_EQ(handle->Receive(), 21);
    EXPECT_EQ(handle->calls,
              (Calls{"Status 513 [0.5 -1 0.25 2] 2 31 3 [0 0 0]", "StatusRecord 513 3"}));
    EXPECT_EQ(pty->QueuedForHost(), 1);
}

// A receive cancelled from another thread while a payload is missing ends at
// once without a handler: a zeroed event would look like a real one.
TEST_F(HandleTest, CancelledPayloadWaitCallsNoHandler) {
    pty->Write(Hex("D0 11 22"));
    Devices::CancellationToken token;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        token.Cancel();
    });
    int got = -2;
    {
        Devices::CancellationScope scope(token);
        got = handle->Receive();
    }
    canceller.join();
    EXPECT_EQ(got, 0);
    EXPECT_TRUE(handle->calls.empty());
    EXPECT_EQ(pty->QueuedForHost(), 2);
}

// A handler that throws ends Receive: no record handler, the reply is
// consumed, and the next Receive goes on with the next reply.
class ThrowingHandle : public RecordingHandle {
public:
    using RecordingHandle::RecordingHandle;
    void OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t,
                                      const uint8_t*) override {
        throw std::runtime_error("handler failed");
    }
};

TEST_F(HandleTest, ThrowingHandlerSkipsTheRecordHandler) {
    ThrowingHandle throwing(stream.get());
    pty->Write(Concat({StatusMessage(5, {1, 2}), Hex("DF 05 00 01")}));
    EXPECT_THROW(throwing.Receive(), std::runtime_error);
    EXPECT_TRUE(throwing.calls.empty());
    EXPECT_EQ(throwing.Receive(), 3);
    EXPECT_EQ(throwing.calls, (Calls{"Error 5 1", "ErrorRecord 5 1"}));
}

// ---- Status reader ----------------------------------------------------------

// The sample frame, closed by a byte that is never used.
const std::string kValidFrame = std::string(TorviTest::kSampleFrameWithoutLastByte) + " 77";

TEST_F(HandleTest, StatusReaderDecodesAFrameAndReadsNothingMore) {
    pty->Write(Concat({Hex("DA"), Hex(kValidFrame), Hex("C0")}));
    TorviTest::ExpectSampleFrameValues(handle->GetQuillonetStatus());
    EXPECT_EQ(pty->QueuedForHost(), 1);
}

TEST_F(HandleTest, StatusReaderSkipsStrayBytesBeforeTheFrame) {
    pty->Write(Concat({Hex("55 D0 00"), Hex("DA"), Hex(kValidFrame)}));
    TorviTest::ExpectSampleFrameValues(handle->GetQuillonetStatus());
}

TEST_F(HandleTest, StatusReaderReportsABadFrame) {
    pty->Write(Hex("DA AA BB 03 B6 42 C0 02 03 00 80 00 40 FF 7F 00 00 64 09 77"));
    const HandleStatus status = handle->GetQuillonetStatus();
    EXPECT_EQ(status.error_flag, HP::kStatusBadFrame);
    EXPECT_EQ(status.device_id, 0);
    EXPECT_EQ(status.battery_level, 0.0f);
}

TEST_F(HandleTest, StatusReaderReportsAShortFrameAsBad) {
    handle->timeout = kShortTimeout;
    // Stale bytes of a good frame in the buffer must not come back as status.
    pty->Write(Concat({Hex("DA"), Hex(kValidFrame)}));
    ASSERT_EQ(handle->GetQuillonetStatus().error_flag, 3);
    pty->Write(Hex("DA AA BB 03"));
    const HandleStatus status = handle->GetQuillonetStatus();
    EXPECT_EQ(status.error_flag, HP::kStatusBadFrame);
    EXPECT_EQ(status.device_id, 0);
    EXPECT_EQ(status.quaternion, (std::array<float, 4>{}));
}

TEST_F(HandleTest, StatusReaderWithoutAnswer) {
    handle->timeout = kShortTimeout;
    const HandleStatus status = handle->GetQuillonetStatus();
    EXPECT_EQ(status.error_flag, HP::kStatusNoAnswer);
    EXPECT_EQ(status.device_id, 0);
    EXPECT_EQ(status.buttons, 0);
    EXPECT_EQ(status.battery_level, 0.0f);
}

TEST_F(HandleTest, StatusReaderGivesUpOnAStrayByteThenSilence) {
    handle->timeout = kShortTimeout;
    pty->Write(Hex("55"));
    const auto start = std::chrono::steady_clock::now();
    const HandleStatus status = handle->GetQuillonetStatus();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status.error_flag, HP::kStatusNoAnswer);
    // It searched for the bound (two time-outs), then gave up within one
    // more wait (at most two whole seconds with a one-second time-out).
    const double bound_seconds =
        Handle::kStatusSearchTimeouts * kShortTimeout * TorviTest::kWallClockSlack;
    EXPECT_GE(elapsed, std::chrono::duration<double>(bound_seconds));
    EXPECT_LT(elapsed, std::chrono::seconds(8));
}

TEST_F(HandleTest, StatusReaderStopsAfterTheDiscardLimit) {
    const std::size_t stray = Handle::kMaxDiscardedBytes + 100;
    pty->Write(Concat({std::vector<uint8_t>(stray, 0x55), Hex("DA"), Hex(kValidFrame)}));
    EXPECT_EQ(handle->GetQuillonetStatus().error_flag, HP::kStatusNoAnswer);
    EXPECT_EQ(static_cast<std::size_t>(pty->QueuedForHost()),
              stray + 1 + HP::kStatusFrameLength - Handle::kMaxDiscardedBytes);
}

} // namespace
