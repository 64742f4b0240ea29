#include "Torvi/HardwareAPI/haptics/SampleRing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using Torvi::HardwareAPI::Haptics::SampleDrain;
using Torvi::HardwareAPI::Haptics::SampleRing;

// Every word holds the sample's index, so that a copy mixing two samples
// shows; a long sample widens the window in which a copy can be torn.
struct Numbered {
    std::uint64_t index = 0;
    std::array<std::uint64_t, 31> copies{};
};

Numbered Make(std::uint64_t index) {
    Numbered sample;
    sample.index = index;
    sample.copies.fill(index);
    return sample;
}

TEST(SampleRingTest, AReaderThatFallsBehindLosesTheOldestAndCountsThem) {
    SampleRing<Numbered> ring(4);
    for (std::uint64_t i = 0; i < 10; ++i) {
        ring.Push(Make(i));
    }
    EXPECT_EQ(ring.Pending(), 4u);
    std::vector<std::uint64_t> taken;
    const SampleDrain first = ring.Drain(3, [&](const Numbered& s) { taken.push_back(s.index); });
    EXPECT_EQ(first.dropped, 6u);
    ring.Push(Make(10));
    const SampleDrain second =
        ring.Drain(100, [&](const Numbered& s) { taken.push_back(s.index); });
    EXPECT_EQ(second.dropped, 0u);
    EXPECT_EQ(first.taken + second.taken, 5u);
    EXPECT_EQ(taken, (std::vector<std::uint64_t>{6, 7, 8, 9, 10}));
}

TEST(SampleRingTest, UnderAConcurrentWriterEverySampleIsTakenWholeOrCounted) {
    constexpr std::uint64_t kSamples = 2'000'000;
    constexpr auto kCopies =
        static_cast<std::ptrdiff_t>(std::tuple_size_v<decltype(Numbered::copies)>);
    SampleRing<Numbered> ring(64);
    std::thread writer([&] {
        for (std::uint64_t i = 0; i < kSamples; ++i) {
            ring.Push(Make(i));
        }
    });
    std::uint64_t taken = 0;
    std::uint64_t dropped = 0;
    std::uint64_t torn = 0;
    std::int64_t last = -1;
    bool in_order = true;
    const auto sink = [&](const Numbered& s) {
        torn += std::count(s.copies.begin(), s.copies.end(), s.index) != kCopies;
        in_order = in_order && static_cast<std::int64_t>(s.index) > last;
        last = static_cast<std::int64_t>(s.index);
    };
    while (taken + dropped < kSamples) {
        const SampleDrain drain = ring.Drain(16, sink);
        taken += drain.taken;
        dropped += drain.dropped;
    }
    writer.join();
    EXPECT_EQ(taken + dropped, kSamples);
    EXPECT_EQ(torn, 0u);
    EXPECT_TRUE(in_order);
    EXPECT_GT(taken, 0u);
}

TEST(SampleRingTest, ACapacityOfZeroKeepsNothing) {
    SampleRing<Numbered> ring(0);
    ring.Push(Make(1));
    EXPECT_EQ(ring.Pending(), 0u);
    EXPECT_EQ(ring.Drain(10, [](const Numbered&) { FAIL(); }).taken, 0u);
}

} // namespace
