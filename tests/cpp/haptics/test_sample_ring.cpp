#include "Torvi/HardwareAPI/haptics/SampleRing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using Torvi::HardwareAPI::Haptics::SampleCursor;
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

TEST(SampleRingTest, EachCursorTakesEverySampleAndALaggingOneCountsOnlyItsOwnLosses) {
    SampleRing<Numbered> ring(4);
    ring.Push(Make(0));
    SampleCursor fast = ring.Cursor(); // made after sample 0: starts at 1
    SampleCursor slow = ring.Cursor();
    std::vector<std::uint64_t> fast_taken;
    std::uint64_t fast_dropped = 0;
    for (std::uint64_t i = 1; i <= 10; ++i) {
        ring.Push(Make(i));
        fast_dropped +=
            ring.Drain(fast, 100, [&](const Numbered& s) { fast_taken.push_back(s.index); })
                .dropped;
    }
    std::vector<std::uint64_t> slow_taken;
    const SampleDrain lagged =
        ring.Drain(slow, 100, [&](const Numbered& s) { slow_taken.push_back(s.index); });
    EXPECT_EQ(fast_dropped, 0u);
    EXPECT_EQ(fast_taken, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(lagged.dropped, 6u); // 1..6 overwritten, 7..10 still there
    EXPECT_EQ(slow_taken, (std::vector<std::uint64_t>{7, 8, 9, 10}));
    // The ring's own cursor started at the first sample and was never used.
    EXPECT_EQ(ring.Drain(100, [](const Numbered&) {}).dropped, 7u);
}

TEST(SampleRingTest, ThreeConcurrentReadersEachAccountForEverySample) {
    constexpr std::uint64_t kSamples = 300'000;
    SampleRing<Numbered> ring(64);
    std::array<std::uint64_t, 3> seen{};
    std::array<std::uint64_t, 3> torn{};
    std::vector<std::thread> readers;
    for (std::size_t r = 0; r < seen.size(); ++r) {
        readers.emplace_back([&, r] {
            SampleCursor cursor;        // from the first sample
            std::uint64_t expected = 0; // the next index this reader should see
            while (expected < kSamples) {
                // Taken or dropped, the indices must come in order, none twice.
                const SampleDrain drain = ring.Drain(cursor, 8, [&](const Numbered& s) {
                    torn[r] += s.copies.back() != s.index || s.index < expected;
                    expected = s.index + 1;
                });
                expected = std::max(expected, cursor.next);
                seen[r] += drain.taken + drain.dropped;
            }
        });
    }
    for (std::uint64_t i = 0; i < kSamples; ++i) {
        ring.Push(Make(i));
    }
    for (auto& reader : readers) {
        reader.join();
    }
    for (std::size_t r = 0; r < seen.size(); ++r) {
        EXPECT_EQ(seen[r], kSamples) << "reader " << r;
        EXPECT_EQ(torn[r], 0u) << "reader " << r;
    }
}

TEST(SampleRingTest, ACapacityOfZeroKeepsNothing) {
    SampleRing<Numbered> ring(0);
    ring.Push(Make(1));
    EXPECT_EQ(ring.Pending(), 0u);
    EXPECT_EQ(ring.Drain(10, [](const Numbered&) { FAIL(); }).taken, 0u);
}

} // namespace
