// The arm's operations against a scripted device on a pty: the bytes each one
// sends, what it makes of the reply, and what it returns when the reply is
// wrong, short or missing.

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include "support/PtyTest.hpp"
#include "support/ScriptedDevice.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>

namespace {

using namespace Torvi::HardwareAPI;
using namespace Torvi::HardwareAPI::Devices;
using TorviTest::Bytes;
using TorviTest::Concat;
using TorviTest::Floats;
using TorviTest::Hex;
using TorviTest::ScriptedDevice;
using TorviTest::Sequence;

constexpr double kPi = 3.14159265358979323846;

/// A reply code the arm did not ask for, followed by as many bytes as the
/// drain reads, so the drain returns at once.
Bytes WrongReply(const std::string& code) { return Concat({Hex(code), Bytes(1024, 0x5A)}); }

class ArmillarTest : public TorviTest::StreamOnPtyTest {
protected:
    void OpenDevice() override { arm = std::make_unique<Armillar>(stream.get()); }

    void TearDown() override {
        // The angle offsets outlive every arm; leave none behind.
        SharedKinematics().angle_offsets = {};
    }

    /// Runs `operation` while the device answers `request` with `reply`;
    /// checks that exactly `request` was sent and the whole reply consumed.
    template <typename Operation>
    auto Exchange(const Bytes& request, const Bytes& reply, Operation operation) {
        ScriptedDevice device(*pty, {{request, reply}});
        auto result = operation();
        const auto sent = device.Finish();
        EXPECT_EQ(sent.at(0), request);
        EXPECT_TRUE(pty->Drain().empty()) << "more than one request was sent";
        EXPECT_EQ(pty->QueuedForHost(), 0) << "part of the reply was left queued";
        return result;
    }

    template <typename Operation>
    auto Exchange(const std::string& request, const Bytes& reply, Operation operation) {
        return Exchange(Hex(request), reply, operation);
    }

    /// Gives up each wait at the next tick of the calendar clock, so tests of
    /// a silent line take about a second per wait instead of five.
    void ShortenTimeout() { arm->timeout = 1e-3f; }

    /// Writes `bytes` as the device and waits until the host's side holds
    /// them all: the pty moves them across later, and a shortened wait may
    /// end before they arrive.
    void WriteAndAwaitQueued(const Bytes& bytes) {
        pty->Write(bytes);
        // Seconds when the machine is overloaded; the wait ends once they are there.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pty->QueuedForHost() < static_cast<int>(bytes.size()) &&
               std::chrono::steady_clock::now() < limit) {
            std::this_thread::yield();
        }
        ASSERT_EQ(pty->QueuedForHost(), static_cast<int>(bytes.size()));
    }

    std::unique_ptr<Armillar> arm;
};

TEST_F(ArmillarTest, ConstructionSendsNothing) { EXPECT_TRUE(pty->Drain().empty()); }

TEST_F(ArmillarTest, WakeupDecodesTheDeviceInfo) {
    const Bytes identifier = Sequence(0x00, 16);
    const DeviceInfo info = Exchange("0A", Concat({Hex("0B 34 12 04 02 07"), identifier}),
                                     [&] { return arm->device_wakeup(); });
    EXPECT_EQ(info.device_id, 4660);
    EXPECT_EQ(info.device_model_number, 4);
    EXPECT_EQ(info.hardware_version, 2);
    EXPECT_EQ(info.firmware_version, 7);
    EXPECT_EQ(info.device_id_ext.bytes(), identifier);
}

TEST_F(ArmillarTest, ParameterQueriesSendTheirSelector) {
    const Bytes identifier = Sequence(0x40, 16);
    const Bytes firmware = Sequence(0x80, 16);
    EXPECT_EQ(Exchange("0D D1", Concat({Hex("0D D1 10"), identifier}),
                       [&] { return arm->get_device_id(); })
                  .bytes(),
              identifier);
    EXPECT_EQ(Exchange("0D D2", Concat({Hex("0D D2 10"), firmware}),
                       [&] { return arm->get_firmware_version(); })
                  .bytes(),
              firmware);
}

TEST_F(ArmillarTest, TelemetryQueries) {
    EXPECT_EQ(Exchange("AB", Concat({Hex("AB"), Floats({0.5f, -1.25f, 2.0f})}),
                       [&] { return arm->get_motor_currents(); }),
              (Vector3{0.5f, -1.25f, 2.0f}));
    EXPECT_EQ(Exchange("0C", Concat({Hex("0C"), Floats({0.25f, -0.5f, 0.125f, 0.75f})}),
                       [&] { return arm->get_device_orientation(); }),
              (Quaternion{0.25f, -0.5f, 0.125f, 0.75f}));
    EXPECT_TRUE(Exchange("AC", Hex("AC 02"), [&] { return arm->get_power_status(); }));
    EXPECT_FALSE(Exchange("AC", Hex("AC 00"), [&] { return arm->get_power_status(); }));
    EXPECT_EQ(Exchange("AA", Concat({Hex("AA"), Floats({36.5f})}),
                       [&] { return arm->get_temperature(); }),
              36.5f);
}

struct CommandRow {
    const char* name;
    ArmillarState (Armillar::*operation)(const Vector3&);
    const char* request_code;
    const char* reply_code;
};

TEST_F(ArmillarTest, CommandsSendThreeFloatsAndDecodeTheState) {
    const CommandRow rows[] = {
        {"end_effector_force", &Armillar::end_effector_force, "2A", "2B"},
        {"end_effector_position", &Armillar::end_effector_position, "2C", "2B"},
        {"joint_torques", &Armillar::joint_torques, "1A", "1B"},
        {"joint_angles", &Armillar::joint_angles, "1C", "1B"},
    };
    const Bytes state = Floats({1.0f, 2.0f, 3.0f, -4.0f, -5.0f, -6.0f});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Vector3 command{0.5f, -0.25f, 8.0f};
        const Bytes request = Concat({Hex(row.request_code), Floats({0.5f, -0.25f, 8.0f})});
        const ArmillarState result = Exchange(request, Concat({Hex(row.reply_code), state}),
                                              [&] { return ((*arm).*row.operation)(command); });
        EXPECT_EQ(result.position, (Vector3{1.0f, 2.0f, 3.0f}));
        EXPECT_EQ(result.velocity, (Vector3{-4.0f, -5.0f, -6.0f}));
    }
}

TEST_F(ArmillarTest, OnboardPositionIsAZeroForce) {
    const ArmillarState result =
        Exchange("2A 00000000 00000000 00000000",
                 Concat({Hex("2B"), Floats({0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f})}),
                 [&] { return arm->get_end_effector_position(true); });
    EXPECT_EQ(result.position, (Vector3{0.1f, 0.2f, 0.3f}));
    EXPECT_EQ(result.velocity, (Vector3{0.4f, 0.5f, 0.6f}));
}

TEST_F(ArmillarTest, SendOnlyOperationsWriteOneRequest) {
    const Bytes floats = Floats({1.0f, -2.0f, 0.5f});
    const Vector3 values{1.0f, -2.0f, 0.5f};
    const std::vector<std::pair<Bytes, std::function<void()>>> rows = {
        {Hex("0A"), [&] { arm->SendDeviceWakeup(); }},
        {Hex("AB"), [&] { arm->RequestCurrent(); }},
        {Concat({Hex("2A"), floats}), [&] { arm->SendForce(values); }},
        {Concat({Hex("1A"), floats}), [&] { arm->SendJointTorques(values); }},
        {Concat({Hex("1C"), floats}), [&] { arm->SendAngle(values); }},
        {Concat({Hex("2C"), floats}), [&] { arm->SendPosition(values); }},
    };
    for (const auto& [expected, send] : rows) {
        send();
        EXPECT_EQ(pty->Drain(), expected);
    }
}

TEST_F(ArmillarTest, ReceiveOnlyOperationsReplaceTheirOutputs) {
    pty->Write(Concat({Hex("AB"), Floats({1.0f, 2.0f, 3.0f})}));
    Vector3 current{7.0f, 7.0f, 7.0f};
    arm->ReceiveCurrent(current);
    EXPECT_EQ(current, (Vector3{1.0f, 2.0f, 3.0f}));

    pty->Write(Concat({Hex("2B"), Floats({1, 2, 3, 4, 5, 6})}));
    Vector3 position{9, 9, 9}, velocity{9, 9, 9};
    arm->ReceiveState(position, velocity);
    EXPECT_EQ(position, (Vector3{1, 2, 3}));
    EXPECT_EQ(velocity, (Vector3{4, 5, 6}));

    pty->Write(Concat({Hex("1B"), Floats({-1, -2, -3, -4, -5, -6})}));
    arm->ReceiveJointState(position, velocity);
    EXPECT_EQ(position, (Vector3{-1, -2, -3}));
    EXPECT_EQ(velocity, (Vector3{-4, -5, -6}));

    pty->Write(Concat({Hex("0B 01 00 04 01 01"), Sequence(0x10, 16)}));
    EXPECT_EQ(arm->ReceiveDeviceInfo().device_id_ext.bytes(), Sequence(0x10, 16));

    EXPECT_TRUE(pty->Drain().empty()) << "a receive-only operation sent something";
    EXPECT_EQ(pty->QueuedForHost(), 0);
}

// A reply with another code is drained (1024 bytes) and nothing of it decoded.
TEST_F(ArmillarTest, WrongReplyCodeGivesTheFallbacks) {
    const DeviceInfo info = Exchange("0A", WrongReply("2B"), [&] { return arm->device_wakeup(); });
    EXPECT_EQ(info.device_id, 0);
    EXPECT_EQ(info.device_model_number, 0);
    EXPECT_EQ(info.hardware_version, 0);
    EXPECT_EQ(info.firmware_version, 0);
    EXPECT_EQ(info.device_id_ext.bytes(), Bytes(16, 0));

    EXPECT_EQ(Exchange("AB", WrongReply("AA"), [&] { return arm->get_motor_currents(); }),
              (Vector3{}));
    EXPECT_EQ(Exchange("0C", WrongReply("0B"), [&] { return arm->get_device_orientation(); }),
              (Quaternion{}));
    EXPECT_FALSE(Exchange("AC", WrongReply("AA"), [&] { return arm->get_power_status(); }));
    EXPECT_EQ(Exchange("AA", WrongReply("AC"), [&] { return arm->get_temperature(); }), 0.0f);

    // A joint state is not an end-effector state, and the other way round.
    const ArmillarState force = Exchange("2A 00000000 0000803F 00000000", WrongReply("1B"),
                                         [&] { return arm->end_effector_force({0, 1, 0}); });
    EXPECT_EQ(force.position, (Vector3{}));
    EXPECT_EQ(force.velocity, (Vector3{}));
    const ArmillarState torques = Exchange("1A 00000000 0000803F 00000000", WrongReply("2B"),
                                           [&] { return arm->joint_torques({0, 1, 0}); });
    EXPECT_EQ(torques.position, (Vector3{}));
    EXPECT_EQ(torques.velocity, (Vector3{}));

    pty->Write(WrongReply("1B"));
    Vector3 position{9, 9, 9}, velocity{8, 8, 8};
    arm->ReceiveState(position, velocity);
    EXPECT_EQ(position, (Vector3{9, 9, 9}));
    EXPECT_EQ(velocity, (Vector3{8, 8, 8}));
    EXPECT_EQ(pty->QueuedForHost(), 0);
}

TEST_F(ArmillarTest, ParameterReplyMustEchoTheSelectorAndCarrySixteenBytes) {
    const Bytes zeros(16, 0);
    // The device-id selector in answer to a firmware-version request.
    EXPECT_EQ(
        Exchange("0D D2", WrongReply("0D D1"), [&] { return arm->get_firmware_version(); }).bytes(),
        zeros);
    // Another first code: the second byte is still read as the selector.
    EXPECT_EQ(Exchange("0D D1", WrongReply("0B D1"), [&] { return arm->get_device_id(); }).bytes(),
              zeros);
    // The right code and selector, but a length byte other than 16.
    for (const char* length : {"0F", "11", "00"}) {
        SCOPED_TRACE(length);
        const Bytes reply = Concat({Hex("0D D1"), Hex(length), Sequence(0x01, 16)});
        EXPECT_EQ(Exchange("0D D1", reply, [&] { return arm->get_device_id(); }).bytes(), zeros);
    }
}

TEST_F(ArmillarTest, ShortPayloadIsNotDecodedAndStaysQueued) {
    ShortenTimeout();
    WriteAndAwaitQueued(Concat({Hex("AA"), Hex("00 00")}));
    EXPECT_EQ(arm->get_temperature(), 0.0f);
    EXPECT_EQ(pty->QueuedForHost(), 2);
}

TEST_F(ArmillarTest, ShortPayloadLeavesTheCallersValues) {
    ShortenTimeout();
    WriteAndAwaitQueued(Concat({Hex("AB"), Hex("00 00 80 3F")}));
    Vector3 current{7, 7, 7};
    arm->ReceiveCurrent(current);
    EXPECT_EQ(current, (Vector3{7, 7, 7}));
    EXPECT_EQ(pty->QueuedForHost(), 4);
}

// A silent line: each of the three waits (code, selector, drain) gives up.
TEST_F(ArmillarTest, SilentLineGivesAnAllZeroIdentifier) {
    ShortenTimeout();
    EXPECT_EQ(arm->get_device_id().bytes(), Bytes(16, 0));
    EXPECT_EQ(pty->Drain(), Hex("0D D1"));
}

TEST(ArmillarWithoutStream, FailsSafely) {
    Armillar arm(nullptr);
    arm.timeout = 1e-3f;
    EXPECT_FALSE(arm.get_power_status());
    arm.SendForce({1, 2, 3});
    Vector3 current{7, 7, 7};
    arm.ReceiveCurrent(current);
    EXPECT_EQ(current, (Vector3{7, 7, 7}));
}

// The host-side model.

TEST(ArmillarKinematicsModel, KnownPositions) {
    struct Row {
        Vector3 raw;
        Vector3 position; // to four decimals
    };
    const Row rows[] = {
        {{0, 0, 0}, {0.0000f, 0.0245f, -0.1185f}},
        {{0, -30, 30}, {0.0000f, 0.0245f, 0.2146f}},
        {{10, -45, 60}, {-0.0090f, 0.0233f, 0.2229f}},
    };
    const ArmillarKinematics defaults;
    for (const auto& row : rows) {
        const Vector3 p = ForwardKinematics(defaults, row.raw);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(p[i], row.position[i], 1e-4)
                << row.raw[0] << " " << row.raw[1] << " " << row.raw[2] << " axis " << i;
        }
    }
}

TEST_F(ArmillarTest, HostPositionReadsTheJointAnglesWithAZeroTorque) {
    const ArmillarState result =
        Exchange("1A 00000000 00000000 00000000",
                 Concat({Hex("1B"), Floats({0.0f, -30.0f, 30.0f, 5.0f, 6.0f, 7.0f})}),
                 [&] { return arm->get_end_effector_position(false); });
    EXPECT_NEAR(result.position[0], 0.0, 1e-4);
    EXPECT_NEAR(result.position[1], 0.0245, 1e-4);
    EXPECT_NEAR(result.position[2], 0.2146, 1e-4);
    EXPECT_EQ(result.velocity, (Vector3{})) << "the host computes no velocity";
}

TEST_F(ArmillarTest, HostPositionFromZeroAnglesWhenTheReplyFails) {
    const ArmillarState result = Exchange("1A 00000000 00000000 00000000", WrongReply("2B"),
                                          [&] { return arm->get_end_effector_position(false); });
    EXPECT_NEAR(result.position[0], 0.0, 1e-4);
    EXPECT_NEAR(result.position[1], 0.0245, 1e-4);
    EXPECT_NEAR(result.position[2], -0.1185, 1e-4);
    EXPECT_EQ(result.velocity, (Vector3{}));
}

TEST_F(ArmillarTest, AdjustAnglesStoresTheOffsetsOfThePresentPose) {
    arm->adjust_gear_ratios(2.0f, 0.5f, 1.5f);
    Exchange("1A 00000000 00000000 00000000",
             Concat({Hex("1B"), Floats({10.0f, -20.0f, 40.0f, 0, 0, 0})}), [&] {
                 arm->adjust_angles({1.0f, 2.0f, 3.0f});
                 return 0;
             });
    const auto& offsets = SharedKinematics().angle_offsets;
    EXPECT_NEAR(offsets[0], (10.0 * 2.0 - 1.0) * kPi / 180, 1e-6);
    EXPECT_NEAR(offsets[1], -(-20.0 * 0.5 - 2.0) * kPi / 180, 1e-6);
    EXPECT_NEAR(offsets[2], -(40.0 * 1.5 - 3.0) * kPi / 180, 1e-6);
}

TEST_F(ArmillarTest, AdjustAnglesUsesZeroAnglesWhenTheReplyFails) {
    SharedKinematics().angle_offsets = {9, 9, 9};
    Exchange("1A 00000000 00000000 00000000", WrongReply("2B"), [&] {
        arm->adjust_angles({30.0f, 0.0f, -60.0f});
        return 0;
    });
    const auto& offsets = SharedKinematics().angle_offsets;
    EXPECT_NEAR(offsets[0], -30.0 * kPi / 180, 1e-6);
    EXPECT_NEAR(offsets[1], 0.0, 1e-6);
    EXPECT_NEAR(offsets[2], -60.0 * kPi / 180, 1e-6);
}

TEST_F(ArmillarTest, ConstructionResetsAllButTheAngleOffsets) {
    arm->adjust_lengths(0.2f, 0.2f, 0.2f, 0.2f, 0.1f);
    arm->adjust_gear_ratios(2.0f, 3.0f, 4.0f);
    SharedKinematics().angle_offsets = {0.1f, 0.2f, 0.3f};
    SharedKinematics().base_orientation = {1, 0, 0, 0};

    Armillar second(stream.get());
    const ArmillarKinematics& model = SharedKinematics();
    const ArmillarKinematics defaults;
    EXPECT_EQ(model.inner_arm_1, defaults.inner_arm_1);
    EXPECT_EQ(model.outer_arm_1, defaults.outer_arm_1);
    EXPECT_EQ(model.inner_arm_2, defaults.inner_arm_2);
    EXPECT_EQ(model.outer_arm_2, defaults.outer_arm_2);
    EXPECT_EQ(model.extension, defaults.extension);
    EXPECT_EQ(model.head_gear_ratio_coeff, 1.0f);
    EXPECT_EQ(model.inner_arm_gear_ratio_coeff, 1.0f);
    EXPECT_EQ(model.outer_arm_gear_ratio_coeff, 1.0f);
    EXPECT_EQ(model.base_orientation, defaults.base_orientation);
    EXPECT_EQ(model.angle_offsets, (Vector3{0.1f, 0.2f, 0.3f}));
    EXPECT_TRUE(pty->Drain().empty());
}

TEST_F(ArmillarTest, ModelSettersSendNothing) {
    SharedKinematics().base_orientation = {1, 0, 0, 0};
    arm->adjust_lengths(0.15f, 0.13f, 0.17f, 0.16f, -0.08f);
    const ArmillarKinematics& model = SharedKinematics();
    EXPECT_EQ(model.inner_arm_1, 0.15f);
    EXPECT_EQ(model.outer_arm_1, 0.13f);
    EXPECT_EQ(model.inner_arm_2, 0.17f);
    EXPECT_EQ(model.outer_arm_2, 0.16f);
    EXPECT_EQ(model.extension, 0.08f) << "stored as its absolute value";
    EXPECT_EQ(model.base_orientation, KinematicConstants::kDefaultBaseOrientation);

    arm->adjust_gear_ratios(2.0f, 0.5f, 1.5f);
    EXPECT_EQ(model.head_gear_ratio_coeff, 2.0f);
    EXPECT_EQ(model.inner_arm_gear_ratio_coeff, 0.5f);
    EXPECT_EQ(model.outer_arm_gear_ratio_coeff, 1.5f);

    SharedKinematics().base_orientation = {1, 0, 0, 0};
    arm->deactivate_orientation_sensor();
    EXPECT_EQ(model.base_orientation, KinematicConstants::kDefaultBaseOrientation);
    EXPECT_TRUE(pty->Drain().empty());
}

} // namespace
