// Known-answer tables for the handle's wire codec.

#include "Torvi/HardwareAPI/protocol/HandleCodec.hpp"

#include "support/Bytes.hpp"
#include "support/CaseName.hpp"
#include "support/StatusFrameSample.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Torvi::HardwareAPI::Devices;
using namespace Torvi::HardwareAPI::Devices::HandleMessages;
namespace HP = HandleProtocol;
using TorviTest::Concat;
using TorviTest::FloatBytes;
using TorviTest::Hex;

namespace {

using Bytes = std::vector<uint8_t>;

// ---- HandleState request --------------------------------------------------

struct StateCase {
    const char* name;
    uint16_t device_id;
    std::vector<uint8_t> user_data;
    std::string expected;
};

class BuildHandleStateTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(BuildHandleStateTest, WritesExactlyTheGivenBytes) {
    const StateCase& c = GetParam();
    // A sentinel shows that nothing is written past the message.
    std::vector<uint8_t> out(HP::kMaxHandleStateLength + 8, 0xEE);
    const std::size_t n =
        BuildHandleState(out.data(), c.device_id, static_cast<uint8_t>(c.user_data.size()),
                         c.user_data.empty() ? nullptr : c.user_data.data());
    const std::vector<uint8_t> expected = Hex(c.expected);
    ASSERT_EQ(n, expected.size());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + n), expected);
    for (std::size_t i = n; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0xEE) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BuildHandleStateTest,
    ::testing::Values(StateCase{"NoUserData", 0x2345, {}, "DB 45 23 00"},
                      StateCase{"TwoBytes", 0x2345, {0xAA, 0xBB}, "DB 45 23 02 AA BB"},
                      StateCase{"OneByte", 0x0001, {0x7F}, "DB 01 00 01 7F"},
                      StateCase{"SlipBytesUnstuffed", 0xFFFF, {0xC0, 0xDB}, "DB FF FF 02 C0 DB"}),
    CaseName());

TEST(BuildHandleState, CopiesTheLongestUserData) {
    std::vector<uint8_t> data(HP::kMaxUserDataLength);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i ^ 0x5A);
    std::vector<uint8_t> out(HP::kMaxHandleStateLength);
    ASSERT_EQ(BuildHandleState(out.data(), 7, 255, data.data()), 259u);
    EXPECT_EQ(out[HP::kStateDataLengthOffset], 255);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 4, out.end()), data);
}

TEST(BuildHandleState, RefusesALengthWithoutUserData) {
    std::vector<uint8_t> out(HP::kMaxHandleStateLength, 0xEE);
    EXPECT_THROW(BuildHandleState(out.data(), 1, 2, nullptr), std::invalid_argument);
    EXPECT_EQ(out, std::vector<uint8_t>(HP::kMaxHandleStateLength, 0xEE));
}

// ---- Replies of the receive step -------------------------------------------

TEST(DecodeInfoResponse, TakesByteThreeTwiceAndIgnoresByteOne) {
    const auto info = DecodeInfoResponse(Hex("11 22 33 44 55 66").data());
    EXPECT_EQ(info.tool_data_remaining, 0x11);
    EXPECT_EQ(info.device_id, 0x4433);
    EXPECT_EQ(info.device_model_number, 0x44);
    EXPECT_EQ(info.hardware_version, 0x55);
    EXPECT_EQ(info.firmware_version, 0x66);
    // Byte 1 does not reach any field.
    EXPECT_EQ(info.device_id, DecodeInfoResponse(Hex("11 FF 33 44 55 66").data()).device_id);
}

TEST(DecodeStatusMessage, ExtractsTheFixedPart) {
    const auto bytes = Concat({Hex("34 12 05 FF"), FloatBytes(0.5f), FloatBytes(-0.25f),
                               FloatBytes(1.0f), FloatBytes(-2.0f), Hex("03")});
    ASSERT_EQ(bytes.size(), HP::kStatusMessageLength);
    const auto message = DecodeStatusMessage(bytes.data());
    EXPECT_EQ(message.device_id, 0x1234);
    EXPECT_EQ(message.error_flag, 5);
    EXPECT_EQ(message.hall_effect_sensor_level, 0xFF); // the whole byte
    EXPECT_EQ(message.quaternion, (std::array<float, 4>{0.5f, -0.25f, 1.0f, -2.0f}));
    EXPECT_EQ(message.user_data_length, 3);
    EXPECT_EQ(message.user_data, (std::array<uint8_t, HP::kUserDataCapacity>{}));
}

TEST(DecodeErrorResponse, ExtractsIdAndCode) {
    const auto error = DecodeErrorResponse(Hex("34 12 07").data());
    EXPECT_EQ(error.device_id, 0x1234);
    EXPECT_EQ(error.error_code, 7);
}

// ---- Status frame unstuffing ------------------------------------------------

// 19 raw bytes 01 02 ... 13 with the given bytes replaced.
std::vector<uint8_t> RawFrame(std::initializer_list<std::pair<std::size_t, uint8_t>> changes) {
    std::vector<uint8_t> raw(HP::kStatusFrameLength);
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint8_t>(i + 1);
    for (const auto& [index, value] : changes)
        raw[index] = value;
    return raw;
}

// Bytes 01 ... 12 (raw bytes 0 to 17) with the given positions removed and
// the given bytes appended: the expected output of most cases below.
std::vector<uint8_t> Plain(std::initializer_list<std::size_t> removed = {},
                           std::initializer_list<uint8_t> appended = {}) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i <= HP::kFrameLastLeadingByte; ++i) {
        bool skip = false;
        for (std::size_t r : removed)
            skip = skip || r == i;
        if (!skip) out.push_back(static_cast<uint8_t>(i + 1));
    }
    out.insert(out.end(), appended);
    return out;
}

struct UnstuffCase {
    const char* name;
    std::vector<uint8_t> raw;
    std::vector<uint8_t> expected;
};

class UnstuffTest : public ::testing::TestWithParam<UnstuffCase> {};

TEST_P(UnstuffTest, MatchesTheKnownAnswer) {
    const UnstuffCase& c = GetParam();
    EXPECT_EQ(UnstuffStatusFrame(c.raw.data()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnstuffTest,
    ::testing::Values(
        // Byte 18 is never looked at unless an escape starts at byte 17.
        UnstuffCase{"PlainFrame", RawFrame({}), Plain()},
        UnstuffCase{"EndInLastByteIgnored", RawFrame({{18, 0xC0}}), Plain()},
        UnstuffCase{"EscapeInLastByteIgnored", RawFrame({{18, 0xDB}}), Plain()},
        // An escape pair at 17-18 completes the frame.
        UnstuffCase{"EscEndAtTheEnd", RawFrame({{17, 0xDB}, {18, 0xDC}}), Plain({17}, {0xC0})},
        UnstuffCase{"EscEscAtTheEnd", RawFrame({{17, 0xDB}, {18, 0xDD}}), Plain({17}, {0xDB})},
        // A lone escape at 17 is dropped and byte 18 is not examined.
        UnstuffCase{"LoneEscAtTheEnd", RawFrame({{17, 0xDB}, {18, 0x44}}), Plain({17})},
        UnstuffCase{"EndAtTheEnd", RawFrame({{17, 0xC0}}), Plain({17})},
        // END bytes anywhere are dropped.
        UnstuffCase{"EndAtTheStart", RawFrame({{0, 0xC0}}), Plain({0})},
        UnstuffCase{"EndInTheMiddle", RawFrame({{9, 0xC0}}), Plain({9})},
        // An escape pair early consumes two raw bytes for one decoded byte.
        UnstuffCase{"EscEndEarly", RawFrame({{3, 0xDB}, {4, 0xDC}}),
                    Bytes{1, 2, 3, 0xC0, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}},
        UnstuffCase{"EscEscEarly", RawFrame({{0, 0xDB}, {1, 0xDD}}),
                    Bytes{0xDB, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}},
        // A lone escape drops itself and the next byte is taken as it is.
        UnstuffCase{"LoneEscEarly", RawFrame({{2, 0xDB}, {3, 0x55}}),
                    Bytes{1, 2, 0x55, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}},
        // ... even when the next byte is an END, which is then dropped too.
        UnstuffCase{"LoneEscBeforeEnd", RawFrame({{5, 0xDB}, {6, 0xC0}}), Plain({5, 6})},
        // An escape pair that starts at 16 ends the loop at 18.
        UnstuffCase{"EscEndAtSixteen", RawFrame({{16, 0xDB}, {17, 0xDC}}), Plain({16, 17}, {0xC0})},
        // Two escapes in a row: the first is lone, the second pairs with DD.
        UnstuffCase{"DoubleEsc", RawFrame({{16, 0xDB}, {17, 0xDB}, {18, 0xDD}}),
                    Plain({16, 17}, {0xDB})},
        // Nothing but special bytes.
        UnstuffCase{"AllEnd", std::vector<uint8_t>(19, 0xC0), std::vector<uint8_t>{}},
        UnstuffCase{"AllEsc", std::vector<uint8_t>(19, 0xDB), std::vector<uint8_t>{}}),
    CaseName());

TEST(UnstuffStatusFrame, ValidExactlyWithoutSpecialsBeforeByteSeventeen) {
    // Every single special byte in 0..16 makes the frame short; any ordinary
    // byte there leaves it whole.
    for (std::size_t i = 0; i <= 16; ++i) {
        for (uint8_t special : {HP::kSlipEnd, HP::kSlipEsc}) {
            const auto raw = RawFrame({{i, special}});
            EXPECT_LT(UnstuffStatusFrame(raw.data()).size(), HP::kStatusFrameDecodedLength)
                << "special " << int(special) << " at " << i;
        }
        const auto raw = RawFrame({{i, 0xDC}});
        EXPECT_EQ(UnstuffStatusFrame(raw.data()).size(), HP::kStatusFrameDecodedLength) << i;
    }
}

// The frame is valid exactly when raw bytes 0 to 16 hold no END and no ESC,
// and byte 17 is an ordinary byte or an ESC paired with DC or DD in byte 18.
bool ValidByRule(const std::vector<uint8_t>& raw) {
    for (std::size_t i = 0; i <= 16; ++i) {
        if (raw[i] == HP::kSlipEnd || raw[i] == HP::kSlipEsc) return false;
    }
    if (raw[17] == HP::kSlipEnd) return false;
    if (raw[17] == HP::kSlipEsc) return raw[18] == HP::kSlipEscEnd || raw[18] == HP::kSlipEscEsc;
    return true;
}

TEST(UnstuffStatusFrame, AgreesWithTheValidityRuleOnRandomFrames) {
    // Frames drawn mostly from the special bytes, so that every path is taken.
    const uint8_t alphabet[] = {0x00, 0xC0, 0xDB, 0xDC, 0xDD, 0x7F};
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pick(0, sizeof alphabet - 1);
    std::bernoulli_distribution plain(0.9);
    for (int n = 0; n < 20000; ++n) {
        std::vector<uint8_t> raw(HP::kStatusFrameLength);
        for (auto& byte : raw)
            byte = plain(random) ? 0x11 : alphabet[pick(random)];
        const auto out = UnstuffStatusFrame(raw.data());
        ASSERT_LE(out.size(), HP::kStatusFrameDecodedLength);
        ASSERT_EQ(out.size() == HP::kStatusFrameDecodedLength, ValidByRule(raw)) << n;
    }
}

// ---- Conversions ------------------------------------------------------------

TEST(Q15ToFloat, KnownValues) {
    const std::vector<std::pair<uint16_t, float>> table{
        {0x8000, -1.0f},
        {0x4000, 0.5f},
        {0x7FFF, 0.999969482421875f},
        {0x0000, 0.0f},
        {0xFFFF, -3.0517578125e-05f},
        {0xC000, -0.5f},
        {0x0001, 3.0517578125e-05f},
    };
    for (const auto& [field, expected] : table) {
        EXPECT_EQ(Q15ToFloat(field), expected) << std::hex << field;
    }
}

TEST(BatteryLevel, KnownValues) {
    EXPECT_EQ(BatteryLevel(0), 3.0f);
    EXPECT_EQ(static_cast<double>(BatteryLevel(1)), 3.005000114440918);
    EXPECT_EQ(BatteryLevel(100), 3.5f);
    EXPECT_EQ(BatteryLevel(255), static_cast<float>(4.275));
}

TEST(DecodeStatusFrame, ConvertsAValidFrame) {
    const auto raw = Concat({Hex(TorviTest::kSampleFrameWithoutLastByte), Hex("C0")});
    TorviTest::ExpectSampleFrameValues(DecodeStatusFrame(raw.data()));
}

TEST(DecodeStatusFrame, BadFrameGivesTheMarkerAndZeros) {
    const auto raw = Hex("AA BB 03 B6 42 C0 02 03 00 80 00 40 FF 7F 00 00 64 09 00");
    const HandleStatus status = DecodeStatusFrame(raw.data());
    EXPECT_EQ(status.error_flag, HP::kStatusBadFrame);
    EXPECT_EQ(status.device_id, 0);
    EXPECT_EQ(status.buttons, 0);
    EXPECT_EQ(status.hall_effect_sensor_level, 0);
    EXPECT_EQ(status.quaternion, (std::array<float, 4>{}));
    EXPECT_EQ(status.battery_level, 0.0f);
    EXPECT_EQ(NoAnswerStatus().error_flag, HP::kStatusNoAnswer);
    EXPECT_EQ(NoAnswerStatus().battery_level, 0.0f);
}

} // namespace
