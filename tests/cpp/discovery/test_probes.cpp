#include "Torvi/HardwareAPI/discovery/Detection.hpp"

#include "Torvi/HardwareAPI/devices/ArmillarKinematics.hpp"
#include "support/CaseName.hpp"
#include "support/PtyTest.hpp"
#include "support/ScriptedDevice.hpp"

#include <gtest/gtest.h>

using Torvi::HardwareAPI::Devices::SharedKinematics;
using Torvi::HardwareAPI::Discovery::probe_armillar;
using Torvi::HardwareAPI::Discovery::probe_handle;
using TorviTest::Concat;
using TorviTest::Hex;
using TorviTest::ScriptedDevice;
using TorviTest::Sequence;
using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const std::vector<uint8_t> kWakeup = Hex("0A");

// A device information payload: id 0x1234, the given model, hardware 2,
// firmware 7, identifier 00..0F.
std::vector<uint8_t> DeviceInfo(uint8_t model) {
    return Concat({Hex("0B 34 12"), {model}, Hex("02 07"), Sequence(0x00, 16)});
}

/// One reply to the wakeup and what `probe` makes of it: 1 confirmed, 0 not.
struct ProbeCase {
    const char* name;
    int (*probe)(const char*);
    std::vector<uint8_t> reply;
    int expected;
};

class ProbeOnPty : public TorviTest::PtyTest {};

class ProbeReply : public ProbeOnPty, public ::testing::WithParamInterface<ProbeCase> {};

} // namespace

TEST_P(ProbeReply, SendsAWakeupAndConfirmsOnlyItsOwnDevice) {
    ScriptedDevice device(*pty, {{kWakeup, GetParam().reply}});
    EXPECT_EQ(GetParam().probe(pty->slave_path().c_str()), GetParam().expected);
    EXPECT_EQ(device.Finish(), std::vector<std::vector<uint8_t>>{kWakeup});
}

// The arm's probe confirms only a device info of model four. A wrong code
// is followed by 1024 bytes so that the drain returns at once.
INSTANTIATE_TEST_SUITE_P(
    ArmReplies, ProbeReply,
    ::testing::Values(ProbeCase{"ModelFour", probe_armillar, DeviceInfo(4), 1},
                      ProbeCase{"ModelFive", probe_armillar, DeviceInfo(5), 0},
                      ProbeCase{"HandleInfo", probe_armillar,
                                Concat({Hex("D0"), std::vector<uint8_t>(1024, 0)}), 0}),
    CaseName());

// The handle's probe confirms an info response or a status message.
INSTANTIATE_TEST_SUITE_P(
    HandleReplies, ProbeReply,
    ::testing::Values(ProbeCase{"InfoResponse", probe_handle, Hex("D0 11 22 33 44 55 66"), 1},
                      ProbeCase{"StatusMessageWithUserData", probe_handle,
                                Concat({Hex("DA 01 00 00 05"), std::vector<uint8_t>(16, 0),
                                        Hex("03 AA BB CC")}),
                                1},
                      ProbeCase{"ErrorResponse", probe_handle, Hex("DF 34 12 07"), 0},
                      ProbeCase{"ArmDeviceInfo", probe_handle, DeviceInfo(4), 0}),
    CaseName());

TEST(Probes, AnUnopenablePortIsNotConfirmedAndReported) {
    CaptureStderr();
    EXPECT_EQ(probe_armillar("/nonexistent/ttyACM0"), 0);
    EXPECT_EQ(probe_handle("/nonexistent/ttyUSB0"), 0);
    const std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Library/src/SerialStream:39> unable to open port '/nonexistent/ttyACM0'"),
              std::string::npos);
    EXPECT_NE(err.find("Library/src/SerialStream:39> unable to open port '/nonexistent/ttyUSB0'"),
              std::string::npos);
    EXPECT_EQ(err.find(":18>"), std::string::npos) << "a probe opens explicitly";
}

TEST_F(ProbeOnPty, TheArmProbeResetsTheSharedModelButNotTheOffsets) {
    SharedKinematics().inner_arm_1 = 0.2f;
    SharedKinematics().angle_offsets = {0.1f, 0.2f, 0.3f};
    ScriptedDevice device(*pty, {{kWakeup, DeviceInfo(4)}});
    ASSERT_EQ(probe_armillar(pty->slave_path().c_str()), 1);
    EXPECT_FLOAT_EQ(SharedKinematics().inner_arm_1, 0.14f);
    EXPECT_FLOAT_EQ(SharedKinematics().angle_offsets[2], 0.3f);
    SharedKinematics().angle_offsets = {0.0f, 0.0f, 0.0f};
}
