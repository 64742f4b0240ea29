// The virtual arm program through the library's own stream and framing: the
// position the arm reports is the one the host model computes from the raw
// angles it reports, and every reply has the code and length the host reads.

#include "Torvi/HardwareAPI/devices/ArmillarKinematics.hpp"
#include "Torvi/HardwareAPI/devices/Device.hpp"
#include "Torvi/HardwareAPI/protocol/ArmillarProtocol.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include "support/VirtualDeviceProcess.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace P = Torvi::HardwareAPI::Devices::ArmillarProtocol;
using Torvi::HardwareAPI::Devices::ArmillarKinematics;
using Torvi::HardwareAPI::Devices::Device;
using Torvi::HardwareAPI::Devices::ForwardKinematics;
using Torvi::HardwareAPI::IO::SerialStream;
using TorviTest::VirtualDeviceProcess;

namespace {

using Floats = std::array<float, 6>;

class VirtualArmThroughTheLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        arm = std::make_unique<VirtualDeviceProcess>(std::vector<std::string>{"arm"});
        stream = std::make_unique<SerialStream>(arm->path().c_str(), true);
        device = std::make_unique<Device>(stream.get());
    }

    // One vector request; the reply's six floats.
    Floats Exchange(uint8_t code, std::array<float, 3> values, uint8_t reply_code) {
        device->send_buffer[0] = code;
        std::memcpy(&device->send_buffer[1], values.data(), sizeof values);
        device->Send(P::kVectorRequestLength);
        EXPECT_EQ(device->AwaitHeaderCode(), reply_code);
        EXPECT_EQ(device->AwaitBytes(P::kStateLength), P::kStateLength);
        Floats out{};
        std::memcpy(out.data(), device->receive_buffer.get(), sizeof out);
        return out;
    }

    std::unique_ptr<VirtualDeviceProcess> arm;
    std::unique_ptr<SerialStream> stream;
    std::unique_ptr<Device> device;
};

} // namespace

TEST_F(VirtualArmThroughTheLibrary, ReportedPositionIsTheHostModelsPosition) {
    const std::array<float, 3> poses[] = {
        {0, -45, 45}, {10, -45, 60}, {-25, -80, 15}, {40, -20, 90}};
    for (const auto& pose : poses) {
        Exchange(P::kJointAngles, pose, P::kJointState);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const Floats joints = Exchange(P::kJointTorques, {0, 0, 0}, P::kJointState);
        const Floats state = Exchange(P::kEndEffectorForce, {0, 0, 0}, P::kEndEffectorState);
        const auto host =
            ForwardKinematics(ArmillarKinematics{}, {joints[0], joints[1], joints[2]});
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(joints[i], pose[i], 1e-3);
            EXPECT_NEAR(state[i], host[i], 1e-6)
                << "pose " << pose[0] << " " << pose[1] << " " << pose[2];
        }
    }
}

TEST_F(VirtualArmThroughTheLibrary, SingleByteRequestsAnswerWithTheirCodeAndLength) {
    const struct {
        uint8_t request, reply;
        unsigned length;
    } cases[] = {
        {P::kDeviceWakeup, P::kDeviceInfo, P::kDeviceInfoLength},
        {P::kOrientationRequest, P::kOrientationReply, P::kOrientationLength},
        {P::kTemperatureRequest, P::kTemperatureReply, P::kTemperatureLength},
        {P::kCurrentRequest, P::kCurrentReply, P::kCurrentLength},
        {P::kPowerStatusRequest, P::kPowerStatusReply, P::kPowerStatusLength},
    };
    for (const auto& c : cases) {
        device->send_buffer[0] = c.request;
        device->Send(1);
        EXPECT_EQ(device->AwaitHeaderCode(), c.reply);
        EXPECT_EQ(device->AwaitBytes(c.length), c.length);
    }
    EXPECT_EQ(stream->Available(), 0);
}
