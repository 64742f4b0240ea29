#include "Torvi/HardwareAPI/devices/UUID.hpp"

#include <gtest/gtest.h>

#include <numeric>

using Torvi::HardwareAPI::UUID;

TEST(UUID, DefaultIsSixteenZeros) { EXPECT_EQ(UUID().bytes(), std::vector<uint8_t>(16, 0)); }

TEST(UUID, KeepsWireOrderAndReturnsCopies) {
    uint8_t wire[16];
    std::iota(std::begin(wire), std::end(wire), 0);
    UUID id(wire);
    std::vector<uint8_t> bytes = id.bytes();
    EXPECT_EQ(bytes, std::vector<uint8_t>(std::begin(wire), std::end(wire)));
    bytes[0] = 0xFF;
    EXPECT_EQ(id.bytes()[0], 0) << "the returned vector is a copy";
    wire[1] = 0xEE;
    EXPECT_EQ(id.bytes()[1], 1) << "construction copies the payload";
}
