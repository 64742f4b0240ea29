// Faulty devices end to end: the arm and the handle against
// torvi-virtual-device run with each of its faults (silent, late, wrong
// code, short reply, noise, bad frame, hang-up, flood). Every call must come
// back with its fallback within its bounded time, report what went wrong on
// standard error, and leave the library fit for the next device. The waits
// count whole calendar seconds, so a short time-out ends at the next tick,
// which may come at once: it only ever stands where no reply is due, and
// waits that a reply must win are longer than a tick or begin once the
// reply is queued.

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/devices/Handle.hpp"
#include "Torvi/HardwareAPI/protocol/ArmillarProtocol.hpp"
#include "Torvi/HardwareAPI/protocol/HandleProtocol.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include "support/CaseName.hpp"
#include "support/PtyTest.hpp"
#include "support/Timing.hpp"
#include "support/VirtualDeviceProcess.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace Torvi::HardwareAPI;
using Devices::Armillar;
using Devices::Handle;
using Devices::HandleStatus;
using IO::SerialStream;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using TorviTest::SecondsSince;
using TorviTest::TimeCapturingStderr;
using TorviTest::VirtualDeviceProcess;
namespace HP = Devices::HandleProtocol;

namespace {

// Ends a wait at the next tick of the whole-second clock (at most a second):
// for waits that no reply ends.
constexpr float kShortTimeout = 1e-3f;
// Ends a wait after the second tick (one to two seconds): a reply that is on
// its way always comes first.
constexpr float kTickProofTimeout = 1.0f;
// The most any one call below may take: three expiring short waits (two
// header reads and a drain), or one tick-proof wait after a reply, and a
// margin for a busy machine.
constexpr double kCallLimitSeconds = 4.5;
// How long a prompt reply may take to reach the host: seconds when the
// machine is overloaded (the wait ends as soon as it is there).
constexpr std::chrono::seconds kReplyArrival{10};

using Lines = std::vector<std::string>;

/// The device program with `options`. A program that does not start fails
/// the test (by its exception).
std::unique_ptr<VirtualDeviceProcess> Start(std::vector<std::string> options) {
    return std::make_unique<VirtualDeviceProcess>(options);
}

/// The error lines that must appear, as "<source>:<line>>" marks.
void ExpectLines(const std::string& err, const Lines& marks) {
    for (const std::string& mark : marks) {
        EXPECT_NE(err.find(mark), std::string::npos) << "no " << mark << " line in:\n" << err;
    }
    if (marks.empty()) {
        EXPECT_EQ(err, "");
    }
}

// ---- Arm ---------------------------------------------------------------------

struct ArmFault {
    const char* name;
    std::vector<std::string> options;
    /// Calls made before the faulty one (the hang-up comes after them).
    int calls_before = 0;
    Lines force_lines;     ///< lines of a force exchange
    Lines parameter_lines; ///< lines of an identifier query
    /// Whether bytes come back for the faulty call: its first wait must
    /// then outlast a tick, or it may end before they arrive.
    bool answers = false;
};

const ArmFault kArmFaults[] = {
    {"Silent", {"--silent"}, 0, {"Device:58>", "Device:87>"}, {"Device:58>", "Device:87>"}},
    {"LateBeyondTheTimeout",
     {"--delay-ms", "2500"},
     0,
     {"Device:58>", "Device:87>"},
     {"Device:58>", "Device:87>"}},
    {"WrongCode", {"--wrong-code"}, 0, {"Device:87>"}, {"Device:87>"}, true},
    {"ShortReply", {"--short-reply"}, 0, {"Device:87>"}, {"Device:87>"}, true},
    {"Noise", {"--garbage"}, 0, {"Device:87>"}, {"Device:87>"}, true},
    {"HangupMidReply",
     {"--short-reply", "--hangup-after", "1"},
     0,
     {"Device:87>"},
     {"Device:87>"},
     true},
    {"HangupBetweenCalls",
     {"--hangup-after", "1"},
     1,
     {"SerialStream:53>", "Device:58>"},
     {"SerialStream:53>", "Device:58>"}},
};

// Test names and failure messages show the fault by its name.
void PrintTo(const ArmFault& fault, std::ostream* out) { *out << fault.name; }

class ArmFaultTest : public ::testing::TestWithParam<ArmFault> {
protected:
    void SetUp() override {
        std::vector<std::string> options{"arm"};
        options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
        device = Start(options);
        stream = std::make_unique<SerialStream>(device->path().c_str(), true);
        arm = std::make_unique<Armillar>(stream.get());
        // The calls before the fault keep the normal time-out: a short one
        // ends at the next tick of the whole-second clock, which may come
        // before a healthy reply does.
        for (int i = 0; i < GetParam().calls_before; ++i) {
            EXPECT_NE(arm->get_power_status(), false) << "the device failed before its fault";
        }
        if (GetParam().calls_before > 0) {
            // The next request makes the device hang up instead of answering.
            arm->SendDeviceWakeup();
            EXPECT_EQ(device->Stop(), 0);
        }
        arm->timeout = GetParam().answers ? kTickProofTimeout : kShortTimeout;
    }

    /// A sound arm answers after the faulty one, from a fresh process.
    void ExpectHealthyArmAnswers() {
        auto healthy = Start({"arm"});
        SerialStream healthy_stream(healthy->path().c_str(), true);
        Armillar healthy_arm(&healthy_stream);
        const UUID id = healthy_arm.get_device_id();
        EXPECT_NE(id.bytes(), UUID().bytes());
        const Devices::ArmillarState state = healthy_arm.end_effector_force({0, 0, 0});
        EXPECT_GT(state.position[2], 0.0f) << "the virtual arm's end effector sits above its base";
    }

    std::unique_ptr<VirtualDeviceProcess> device;
    std::unique_ptr<SerialStream> stream;
    std::unique_ptr<Armillar> arm;
};

TEST_P(ArmFaultTest, ForceExchangeFallsBackToZeros) {
    const auto [state, took, err] =
        TimeCapturingStderr([&] { return arm->end_effector_force({1.0f, 2.0f, 3.0f}); });

    EXPECT_EQ(state.position, (Devices::Vector3{}));
    EXPECT_EQ(state.velocity, (Devices::Vector3{}));
    EXPECT_LT(took, kCallLimitSeconds);
    ExpectLines(err, GetParam().force_lines);
    ExpectHealthyArmAnswers();
}

TEST_P(ArmFaultTest, IdentifierQueryFallsBackToAllZero) {
    const auto [id, took, err] = TimeCapturingStderr([&] { return arm->get_device_id(); });

    EXPECT_EQ(id.bytes(), UUID().bytes());
    EXPECT_LT(took, kCallLimitSeconds);
    ExpectLines(err, GetParam().parameter_lines);
    ExpectHealthyArmAnswers();
}

INSTANTIATE_TEST_SUITE_P(Faults, ArmFaultTest, ::testing::ValuesIn(kArmFaults), CaseName());

// ---- Handle ------------------------------------------------------------------

/// Counts what Receive delivered.
class CountingHandle : public Handle {
public:
    using Handle::Handle;
    int infos = 0;
    int statuses = 0;
    int errors = 0;
    uint8_t last_model = 0;
    void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t model, uint8_t, uint8_t) override {
        ++infos;
        last_model = model;
    }
    void OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t,
                                      const uint8_t*) override {
        ++statuses;
    }
    void OnReceiveHandleErrorResponse(uint16_t, uint8_t) override { ++errors; }
};

struct HandleFault {
    const char* name;
    std::vector<std::string> options;
    int calls_before = 0;
    int receive_result;   ///< what Receive returns after a wakeup
    int receive_handlers; ///< handler calls it makes
    Lines receive_lines;
    uint8_t status_flag; ///< error_flag of the status read
    /// Lines of the status read; none to check where the reader's search
    /// bound (two time-outs since the read began) may end it before any wait
    /// expires, which depends on timing.
    std::optional<Lines> status_lines;
    /// Whether bytes come back: the test waits for them to be queued before
    /// it reads, so that the short time-out cannot end the wait first.
    bool answers = false;
};

constexpr uint8_t kNoAnswer = HP::kStatusNoAnswer;
constexpr uint8_t kBadFrame = HP::kStatusBadFrame;

const HandleFault kHandleFaults[] = {
    {"Silent",
     {"--silent"},
     0,
     Handle::kNoReply,
     0,
     {"Device:58>"},
     kNoAnswer,
     Lines{"Device:58>"}},
    // A foreign code is skipped at once; the status reader then finds no
    // frame header among the rest and gives up after its bound.
    {"WrongCode", {"--wrong-code"}, 0, Handle::kNoReply, 0, {}, kNoAnswer, std::nullopt, true},
    // The info response lacks a byte: the handler still runs, with zeros.
    {"ShortReply",
     {"--short-reply"},
     0,
     0,
     1,
     {"Device:87>"},
     kBadFrame,
     Lines{"Device:87>"},
     true},
    {"Noise", {"--garbage"}, 0, Handle::kNoReply, 0, {}, kNoAnswer, std::nullopt, true},
    {"BadFrame",
     {"--bad-frame"},
     0,
     static_cast<int>(HP::kInfoResponseLength),
     1,
     {},
     kBadFrame,
     Lines{},
     true},
    {"HangupBetweenCalls",
     {"--hangup-after", "1"},
     1,
     Handle::kNoReply,
     0,
     {"SerialStream:53>", "Device:58>"},
     kNoAnswer,
     Lines{"SerialStream:53>", "Device:58>"}},
};

void PrintTo(const HandleFault& fault, std::ostream* out) { *out << fault.name; }

class HandleFaultTest : public ::testing::TestWithParam<HandleFault> {
protected:
    void SetUp() override {
        device = Start(Options());
        stream = std::make_unique<SerialStream>(device->path().c_str(), true);
        handle = std::make_unique<CountingHandle>(stream.get());
        // As for the arm, the calls before the fault keep the normal time-out.
        for (int i = 0; i < GetParam().calls_before; ++i) {
            handle->SendDeviceWakeup();
            EXPECT_EQ(handle->Receive(), static_cast<int>(HP::kInfoResponseLength));
        }
        // The next request makes the device hang up (see ArmFaultTest).
        if (GetParam().calls_before > 0) {
            handle->SendDeviceWakeup();
            EXPECT_EQ(device->Stop(), 0);
        }
        handle->timeout = kShortTimeout;
        handle->infos = 0;
    }

    std::vector<std::string> Options() const {
        std::vector<std::string> options{"handle"};
        options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
        return options;
    }

    /// Waits (boundedly) until the reply to the last request is queued on
    /// the host's side, when the fault sends one.
    void AwaitReplyIfAny() {
        if (!GetParam().answers) return;
        const auto limit = std::chrono::steady_clock::now() + kReplyArrival;
        while (stream->Available() == 0 && std::chrono::steady_clock::now() < limit) {
            std::this_thread::yield();
        }
        EXPECT_GT(stream->Available(), 0) << "no reply came";
    }

    void ExpectHealthyHandleAnswers() {
        auto healthy = Start({"handle"});
        SerialStream healthy_stream(healthy->path().c_str(), true);
        CountingHandle healthy_handle(&healthy_stream);
        healthy_handle.SendDeviceWakeup();
        EXPECT_EQ(healthy_handle.Receive(), static_cast<int>(HP::kInfoResponseLength));
        EXPECT_EQ(healthy_handle.infos, 1);
        healthy_handle.RequestStatus();
        const HandleStatus status = healthy_handle.GetQuillonetStatus();
        EXPECT_GE(status.battery_level, 3.0f) << "a decoded frame, not a fallback";
    }

    std::unique_ptr<VirtualDeviceProcess> device;
    std::unique_ptr<SerialStream> stream;
    std::unique_ptr<CountingHandle> handle;
};

TEST_P(HandleFaultTest, ReceiveAfterAWakeup) {
    const auto [result, took, err] = TimeCapturingStderr([&] {
        handle->SendDeviceWakeup();
        AwaitReplyIfAny();
        return handle->Receive();
    });

    EXPECT_EQ(result, GetParam().receive_result);
    EXPECT_EQ(handle->infos + handle->statuses + handle->errors, GetParam().receive_handlers);
    if (handle->infos == 1 && result == 0) {
        EXPECT_EQ(handle->last_model, 0) << "a short reply is decoded from zeros";
    }
    EXPECT_LT(took, kCallLimitSeconds);
    ExpectLines(err, GetParam().receive_lines);
    ExpectHealthyHandleAnswers();
}

TEST_P(HandleFaultTest, StatusReadAfterARequest) {
    const auto [status, took, err] = TimeCapturingStderr([&] {
        handle->RequestStatus();
        AwaitReplyIfAny();
        return handle->GetQuillonetStatus();
    });

    EXPECT_EQ(status.error_flag, GetParam().status_flag);
    EXPECT_EQ(status.battery_level, 0.0f);
    EXPECT_EQ(status.device_id, 0);
    EXPECT_LT(took, kCallLimitSeconds);
    if (GetParam().status_lines) {
        ExpectLines(err, *GetParam().status_lines);
    }
    ExpectHealthyHandleAnswers();
}

INSTANTIATE_TEST_SUITE_P(Faults, HandleFaultTest, ::testing::ValuesIn(kHandleFaults), CaseName());

// ---- Floods ------------------------------------------------------------------

TEST(Flood, HandleStreamingAtFullSpeedIsReadMessageByMessage) {
    auto device = Start({"handle", "--stream-hz", "max"});
    SerialStream stream(device->path().c_str(), true);
    CountingHandle handle(&stream);
    constexpr int kMessages = 2000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kMessages; ++i) {
        ASSERT_GE(handle.Receive(), static_cast<int>(HP::kStatusMessageLength)) << "message " << i;
    }
    EXPECT_EQ(handle.statuses, kMessages);
    // The status reader takes a message's first bytes for a frame: whatever
    // it decodes, it comes back at once.
    handle.GetQuillonetStatus();
    EXPECT_LT(SecondsSince(start), 30.0);
    EXPECT_TRUE(stream.good());
}

class ArmFlood : public TorviTest::PtyTest {};

// Noise followed by enough bytes resolves at once: the drain after a wrong
// code takes 1024 bytes when they are there. What follows is read as the
// next reply.
TEST_F(ArmFlood, NoiseOfADrainsLengthIsSwallowedAndTheNextReplyRead) {
    SerialStream stream(pty->slave_path().c_str(), true);
    Armillar arm(&stream);
    std::vector<uint8_t> noise(1 + Devices::ArmillarProtocol::kDrainLength);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(0x5A ^ (i * 7));
    pty->Write(noise);
    pty->Write(TorviTest::Concat({TorviTest::Hex("AA"), TorviTest::FloatBytes(36.5f)}));
    const auto queued = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (stream.Available() < static_cast<int>(noise.size()) + 5 &&
           std::chrono::steady_clock::now() < queued) {
        std::this_thread::yield();
    }
    CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(arm.get_temperature(), 0.0f);
    EXPECT_EQ(arm.get_temperature(), 36.5f);
    EXPECT_LT(SecondsSince(start), 1.0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(pty->Drain(), TorviTest::Hex("AA AA"));
}

} // namespace
