// The virtual handle's status frame: it must read back, through the host's
// unstuffing, as the 18 bytes of the reading, whatever the values.

#include "virtual_device/HandleSensors.hpp"
#include "virtual_device/StatusFrame.hpp"

#include "support/PtyPair.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

using namespace Torvi::VirtualDevice;

namespace {

constexpr uint8_t kEnd = 0xC0, kEsc = 0xDB, kEscEnd = 0xDC, kEscEsc = 0xDD;
constexpr double kQ15 = 1.0 / 32768.0;

// The host's reading: raw bytes 0 to 17 start a step, byte 18 only follows
// an escape at 17.
std::vector<uint8_t> Unstuff(const uint8_t* raw) {
    std::vector<uint8_t> out;
    for (int i = 0; i <= 17;) {
        if (raw[i] == kEsc) {
            if (raw[i + 1] == kEscEnd) {
                out.push_back(kEnd);
                i += 2;
            } else if (raw[i + 1] == kEscEsc) {
                out.push_back(kEsc);
                i += 2;
            } else {
                i += 1;
            }
        } else if (raw[i] == kEnd) {
            i += 1;
        } else {
            out.push_back(raw[i]);
            i += 1;
        }
    }
    return out;
}

bool Special(uint8_t byte) { return byte == kEnd || byte == kEsc; }

} // namespace

TEST(StatusFrame, EveryQ15ValueBecomesTheNearestFrameSafeOne) {
    for (int value = INT16_MIN; value <= INT16_MAX; ++value) {
        const int16_t safe = FrameSafeQ15(static_cast<float>(value * kQ15));
        const auto bits = static_cast<uint16_t>(safe);
        ASSERT_FALSE(Special(bits & 0xFF) || Special(bits >> 8)) << value;
        const auto own = static_cast<uint16_t>(value);
        if (!Special(own & 0xFF) && !Special(own >> 8)) {
            ASSERT_EQ(safe, value);
        } else {
            // A special high byte moves the value out of its 256-value block.
            ASSERT_LE(std::abs(safe - value), 256) << value;
        }
    }
}

TEST(StatusFrame, ComponentsBeyondTheRangeAreClamped) {
    EXPECT_EQ(FrameSafeQ15(1.0f), INT16_MAX);
    EXPECT_EQ(FrameSafeQ15(-2.0f), INT16_MIN);
}

TEST(StatusFrame, SpecialBytesMoveToANeighbour) {
    EXPECT_EQ(FrameSafeByte(0xC0), 0xC1);
    EXPECT_EQ(FrameSafeByte(0xDB), 0xDC);
    EXPECT_EQ(FrameSafeByte(0x00), 0x00);
    EXPECT_EQ(FrameSafeByte(0xFF), 0xFF);
}

TEST(StatusFrame, ReadingsOverAnHourReadBackThroughTheHostsUnstuffing) {
    constexpr uint8_t kDeviceId = 0x21;
    for (double t = 0.0; t < 3600.0; t += 0.0137) {
        const HandleReading reading = ReadHandleSensors(t);
        const Bytes reply = EncodeStatusFrame(reading, kDeviceId);
        ASSERT_EQ(reply.size(), 20u) << t;
        ASSERT_EQ(reply[0], 0xDA);
        const std::vector<uint8_t> frame = Unstuff(reply.data() + 1);
        ASSERT_EQ(frame.size(), 18u) << t;

        EXPECT_EQ(frame[2], reading.error_flag);
        const uint8_t buttons_and_hall =
            static_cast<uint8_t>((reading.buttons << 5) | reading.hall_level);
        // At most one step away where the shared byte would be special.
        EXPECT_LE(std::abs(int(frame[3]) - int(buttons_and_hall)), 1) << t;
        EXPECT_EQ(frame[3] >> 5, reading.buttons) << t;
        EXPECT_EQ(frame[4], kDeviceId);
        EXPECT_LE(std::abs(int(frame[16]) - int(reading.battery_raw)), 1) << t;
        for (int i = 0; i < 4; ++i) {
            const auto raw = static_cast<int16_t>(frame[8 + 2 * i] | (frame[9 + 2 * i] << 8));
            ASSERT_NEAR(raw * kQ15, reading.quaternion[i], 257 * kQ15) << t;
        }
    }
}

TEST(StatusFrame, AnEscapedLastByteFillsTheFrameExactly) {
    StatusFrameBytes frame{};
    frame[17] = kEnd;
    const Bytes stuffed = StuffStatusFrame(frame);
    ASSERT_EQ(stuffed.size(), 19u);
    EXPECT_EQ(stuffed[17], kEsc);
    EXPECT_EQ(stuffed[18], kEscEnd);
    const auto back = Unstuff(stuffed.data());
    ASSERT_EQ(back.size(), 18u);
    EXPECT_EQ(back[17], kEnd);
}

TEST(StatusFrame, TheStatusMessageCarriesTheUserData) {
    const HandleReading reading = ReadHandleSensors(1.0);
    const Bytes data{0xAA, 0xBB, 0xCC};
    const Bytes message = EncodeStatusMessage(reading, 0x0221, data);
    ASSERT_EQ(message.size(), 1u + 21u + 3u);
    EXPECT_EQ(message[0], 0xDA);
    EXPECT_EQ(message[1], 0x21);
    EXPECT_EQ(message[2], 0x02);
    EXPECT_EQ(message[4], reading.hall_level);
    EXPECT_EQ(message[21], 3);
    EXPECT_EQ(Bytes(message.begin() + 22, message.end()), data);
    EXPECT_EQ(Bytes(&message[5], &message[9]), TorviTest::FloatBytes(reading.quaternion[0]));
    EXPECT_EQ(Bytes(&message[17], &message[21]), TorviTest::FloatBytes(reading.quaternion[3]));
}

TEST(HandleSensors, ReadingsStayInTheirRanges) {
    for (double t = 0.0; t < 7200.0; t += 0.25) {
        const HandleReading r = ReadHandleSensors(t);
        double norm = 0.0;
        for (float c : r.quaternion)
            norm += double(c) * c;
        ASSERT_NEAR(norm, 1.0, 1e-6) << t;
        ASSERT_LE(r.buttons, 7);
        ASSERT_LE(r.hall_level, 31);
        ASSERT_GE(r.battery_raw, kBatteryEmpty);
        ASSERT_LE(r.battery_raw, kBatteryFull);
    }
}
