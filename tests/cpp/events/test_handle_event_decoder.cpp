// The listener's decoder: replies cut from reads that split and join them,
// each stamped with the time of the read that completed it; the status
// frame read where a status request was written; stray bytes and replies
// that never complete skipped and counted.

#include "events/HandleEventDecoder.hpp"

#include "support/Bytes.hpp"
#include "support/StatusFrameSample.hpp"

#include <gtest/gtest.h>

#include <variant>
#include <vector>

using namespace Torvi::HardwareAPI;
using Events::HandleEvent;
using Events::HandleEventDecoder;
using TorviTest::Concat;
using TorviTest::Hex;

namespace {

// A status message: device 0x0221, error 0, hall 9, quaternion of bytes
// 00..0F, two bytes of user data AA BB.
const TorviTest::Bytes kStatus =
    Concat({Hex("DA 21 02 00 09"), TorviTest::Sequence(0, 16), Hex("02 AA BB")});

std::vector<HandleEvent> Feed(HandleEventDecoder& decoder, const TorviTest::Bytes& bytes,
                              double time) {
    std::vector<HandleEvent> out;
    decoder.Feed(bytes.data(), bytes.size(), time, out);
    return out;
}

TEST(HandleEventDecoder, CutsRepliesAcrossReadsAndStampsEachWithTheReadThatCompletedIt) {
    HandleEventDecoder decoder;
    // An info reply, a stray byte, then a status message split in two reads.
    const TorviTest::Bytes first = Concat(
        {Hex("D0 11 22 33 44 55 66 55"), TorviTest::Bytes(kStatus.begin(), kStatus.begin() + 10)});
    auto events = Feed(decoder, first, 1.0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].time, 1.0);
    const auto& info = std::get<Devices::HandleInfoResponse>(events[0].message);
    EXPECT_EQ(info.device_id, 0x4433);
    EXPECT_EQ(info.firmware_version, 0x66);
    EXPECT_TRUE(decoder.Incomplete());
    EXPECT_EQ(decoder.IncompleteSince(), 1.0);

    events = Feed(
        decoder,
        Concat({TorviTest::Bytes(kStatus.begin() + 10, kStatus.end()), Hex("DF 34 12 07")}), 2.0);
    ASSERT_EQ(events.size(), 2u);
    const auto& status = std::get<Devices::HandleStatusMessage>(events[0].message);
    EXPECT_EQ(events[0].time, 2.0);
    EXPECT_EQ(status.device_id, 0x0221);
    EXPECT_EQ(status.hall_effect_sensor_level, 9);
    EXPECT_EQ(status.user_data_length, 2);
    EXPECT_EQ(status.user_data[0], 0xAA);
    EXPECT_EQ(status.user_data[1], 0xBB);
    EXPECT_EQ(status.user_data[2], 0x00);
    EXPECT_EQ(std::get<Devices::HandleErrorResponse>(events[1].message).error_code, 7);
    EXPECT_FALSE(decoder.Incomplete());
    EXPECT_EQ(decoder.Skipped(), 1u);
}

TEST(HandleEventDecoder, ReadsTheStatusFrameOnlyWhereAStatusRequestWasWritten) {
    HandleEventDecoder decoder;
    decoder.ExpectStatusFrame();
    const TorviTest::Bytes frame =
        Concat({Hex("DA"), Hex(TorviTest::kSampleFrameWithoutLastByte), Hex("77")});
    const auto events = Feed(decoder, Concat({frame, kStatus}), 3.0);
    ASSERT_EQ(events.size(), 2u);
    TorviTest::ExpectSampleFrameValues(std::get<Devices::HandleStatus>(events[0].message));
    EXPECT_TRUE(std::holds_alternative<Devices::HandleStatusMessage>(events[1].message));
}

TEST(HandleEventDecoder, AReplyGivenUpCountsItsBytesAsSkippedAndTheNextStartsAfresh) {
    HandleEventDecoder decoder;
    EXPECT_TRUE(Feed(decoder, Hex("D0 11 22"), 1.0).empty());
    decoder.DropIncomplete();
    EXPECT_EQ(decoder.Skipped(), 3u);
    const auto events = Feed(decoder, Hex("DF 34 12 07"), 2.0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(std::get<Devices::HandleErrorResponse>(events[0].message).device_id, 0x1234);
}

} // namespace
