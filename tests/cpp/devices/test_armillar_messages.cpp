// Known-answer tables for building the arm's requests and decoding its replies.

#include "Torvi/HardwareAPI/protocol/ArmillarCodec.hpp"

#include "support/Bytes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI;
using namespace Torvi::HardwareAPI::Devices;
namespace Messages = Torvi::HardwareAPI::Devices::ArmillarMessages;
using TorviTest::Concat;
using TorviTest::Hex;
using TorviTest::Sequence;

struct FloatsRequestRow {
    uint8_t code;
    std::vector<float> values;
    std::string wire;
};

TEST(ArmillarMessages, FloatRequestsAreTheCodeAndLittleEndianBinary32) {
    const std::vector<FloatsRequestRow> rows = {
        {0x2A, {1.0f, 2.0f, 3.0f}, "2A 0000803F 00000040 00004040"},
        {0x1C, {-1.5f, 0.0f, 0.25f}, "1C 0000C0BF 00000000 0000803E"},
        {0x1A, {0.0f, 0.0f, 0.0f}, "1A 00000000 00000000 00000000"},
        {0x2C, {-0.0f, 1e-45f, -2.0f}, "2C 00000080 01000000 000000C0"},
        {0x2A, {}, "2A"},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> buffer(64, 0xEE);
        const std::size_t n = Messages::BuildFloatsRequest(buffer.data(), row.code,
                                                           row.values.data(), row.values.size());
        const auto expected = Hex(row.wire);
        ASSERT_EQ(n, expected.size()) << row.wire;
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + n), expected) << row.wire;
        EXPECT_EQ(buffer[n], 0xEE) << "wrote past the request: " << row.wire;
    }
}

TEST(ArmillarMessages, CodeAndParameterRequests) {
    uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_EQ(Messages::BuildRequest(buffer, ArmillarProtocol::kTemperatureRequest), 1u);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_EQ(buffer[1], 0xEE);

    ASSERT_EQ(Messages::BuildParameterRequest(buffer, ArmillarProtocol::kSelectorFirmwareVersion),
              2u);
    EXPECT_EQ(buffer[0], 0x0D);
    EXPECT_EQ(buffer[1], 0xD2);
    EXPECT_EQ(buffer[2], 0xEE);
}

TEST(ArmillarMessages, FloatsSurviveEncodeAndDecode) {
    const float values[] = {0.0f,
                            -0.0f,
                            1.0f,
                            -123.456f,
                            std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::infinity()};
    for (float value : values) {
        uint8_t buffer[5];
        Messages::BuildFloatsRequest(buffer, 0x2A, &value, 1);
        const float back = Messages::DecodeFloat(buffer + 1);
        EXPECT_EQ(std::signbit(back), std::signbit(value));
        EXPECT_EQ(back, value);
    }
    uint8_t nan_bytes[4] = {0x01, 0x00, 0xC0, 0x7F};
    EXPECT_TRUE(std::isnan(Messages::DecodeFloat(nan_bytes)));
}

TEST(ArmillarMessages, DeviceInfoFields) {
    const auto identifier = Sequence(0xA0, 16);
    const auto payload = Concat({Hex("34 12 04 02 07"), identifier});
    ASSERT_EQ(payload.size(), ArmillarProtocol::kDeviceInfoLength);

    const DeviceInfo info = Messages::DecodeDeviceInfo(payload.data());
    EXPECT_EQ(info.device_id, 0x1234);
    EXPECT_EQ(info.device_model_number, ArmillarProtocol::kArmillarModelNumber);
    EXPECT_EQ(info.hardware_version, 2);
    EXPECT_EQ(info.firmware_version, 7);
    EXPECT_EQ(info.device_id_ext.bytes(), identifier);
}

TEST(ArmillarMessages, ParameterIsDecodedOnlyWithLengthSixteen) {
    const auto data = Sequence(0x00, 16);
    const auto good = Concat({Hex("10"), data});
    const auto decoded = Messages::DecodeParameter(good.data());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->bytes(), data);

    for (uint8_t length : {0x00, 0x0F, 0x11, 0xFF}) {
        const auto bad = Concat({{length}, data});
        EXPECT_FALSE(Messages::DecodeParameter(bad.data()).has_value()) << int(length);
    }
}

TEST(ArmillarMessages, StateIsPositionThenVelocity) {
    const auto payload = Concat({TorviTest::FloatBytes(1.5f), TorviTest::FloatBytes(-2.0f),
                                 TorviTest::FloatBytes(0.125f), TorviTest::FloatBytes(4.0f),
                                 TorviTest::FloatBytes(-0.5f), TorviTest::FloatBytes(8.0f)});
    const ArmillarState state = Messages::DecodeState(payload.data());
    EXPECT_EQ(state.position, (Vector3{1.5f, -2.0f, 0.125f}));
    EXPECT_EQ(state.velocity, (Vector3{4.0f, -0.5f, 8.0f}));
}

TEST(ArmillarMessages, AnyNonZeroPowerByteMeansPowered) {
    const std::vector<std::pair<uint8_t, bool>> rows = {
        {0x00, false}, {0x01, true}, {0x02, true}, {0x80, true}, {0xFF, true}};
    for (const auto& [byte, powered] : rows) {
        EXPECT_EQ(Messages::DecodePowerStatus(&byte), powered) << int(byte);
    }
}

} // namespace
