// A recorded session, read and played: the file's errors name their line;
// the device's lines go out at their recorded times after the request they
// follow, however the host splits its writes; a request that differs, or
// bytes after the end, are reported with the line, expected and received.

#include "virtual_device/Session.hpp"
#include "virtual_device/SessionPlayer.hpp"

#include "support/CaseName.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace Torvi::VirtualDevice;

namespace {

const std::string kHeader = "torvi-session 1 baud=115200 port=/dev/ttyUSB0\n";

std::chrono::milliseconds Ms(int n) { return std::chrono::milliseconds(n); }

struct BadSessionCase {
    const char* name;
    std::string text;
    std::string message;
};

class BadSession : public testing::TestWithParam<BadSessionCase> {};

TEST_P(BadSession, IsRefusedNamingItsLine) {
    try {
        ParseSession(GetParam().text, "s.txt");
        FAIL() << "accepted";
    } catch (const SessionError& error) {
        EXPECT_EQ(std::string(error.what()).rfind(GetParam().message, 0), 0u) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadSession,
    testing::Values(
        BadSessionCase{"NoHeader", "0.0 > 0a\n", "s.txt:1: not a session file"},
        BadSessionCase{"OtherVersion", "torvi-session 2\n", "s.txt:1: session format version '2'"},
        BadSessionCase{"NotHex", kHeader + "# a note\n\n0.1 > 0g\n", "s.txt:4: '"},
        BadSessionCase{"NegativeTime", kHeader + "-1 < 0a\n", "s.txt:2: '-1' is not a time"},
        BadSessionCase{"NoDirection", kHeader + "0.1 = 0a\n", "s.txt:2: the direction"},
        BadSessionCase{"HalfByte", kHeader + "0.1 > 0a0\n", "s.txt:2: the bytes must be pairs"}),
    CaseName());

TEST(SessionPlayer, SendsEachLineAtItsTimeAfterTheRequestItFollows) {
    const Session session = ParseSession(kHeader + "0.010 < d0 01\n"
                                                   "0.500 > 0a db\n"
                                                   "0.520 < da02\n"
                                                   "0.600 ! hangup\n",
                                         "s.txt");
    SessionPlayer player(session, false, false);
    const Clock::time_point start{};
    Bytes out;
    player.Begin(start);
    EXPECT_EQ(player.Play(start, out), SessionPlayer::Outcome::Playing);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(player.NextDue(), start + Ms(10));
    player.Play(start + Ms(10), out);
    EXPECT_EQ(out, (Bytes{0xd0, 0x01}));
    // The request comes late, in two writes; the reply keeps its 20 ms.
    EXPECT_FALSE(player.NextDue());
    const Bytes request{0x0a, 0xdb};
    player.Received(request.data(), 1);
    player.Play(start + Ms(900), out);
    player.Received(request.data() + 1, 1);
    player.Play(start + Ms(1000), out);
    EXPECT_EQ(player.NextDue(), start + Ms(1020));
    out.clear();
    player.Play(start + Ms(1020), out);
    EXPECT_EQ(out, (Bytes{0xda, 0x02}));
    EXPECT_EQ(player.Play(start + Ms(1100), out), SessionPlayer::Outcome::HangUp);
}

TEST(SessionPlayer, ReportsADifferentRequestAndBytesAfterTheEnd) {
    const Session session = ParseSession(kHeader + "0.0 > 0a db 45\n0.1 < d0\n", "s.txt");
    SessionPlayer changed(session, true, false);
    changed.Begin(Clock::time_point{});
    const Bytes wrong{0x0a, 0xdb, 0x46, 0x00};
    changed.Received(wrong.data(), wrong.size());
    Bytes out;
    ASSERT_EQ(changed.Play(Clock::time_point{}, out), SessionPlayer::Outcome::Mismatch);
    EXPECT_EQ(changed.LastMismatch().line, 2u);
    EXPECT_EQ(changed.LastMismatch().expected, (Bytes{0x0a, 0xdb, 0x45}));
    EXPECT_EQ(changed.LastMismatch().received, (Bytes{0x0a, 0xdb, 0x46}));

    SessionPlayer extra(session, true, false);
    extra.Begin(Clock::time_point{});
    const Bytes more{0x0a, 0xdb, 0x45, 0x0a};
    extra.Received(more.data(), more.size());
    ASSERT_EQ(extra.Play(Clock::time_point{}, out), SessionPlayer::Outcome::Mismatch);
    EXPECT_EQ(extra.LastMismatch().line, 4u); // after the file's last line
    EXPECT_TRUE(extra.LastMismatch().expected.empty());
    EXPECT_EQ(extra.LastMismatch().received, (Bytes{0x0a}));

    // With --loop the same bytes are the start of the next round.
    SessionPlayer looped(session, true, true);
    looped.Begin(Clock::time_point{});
    looped.Received(more.data(), more.size());
    out.clear();
    EXPECT_EQ(looped.Play(Clock::time_point{}, out), SessionPlayer::Outcome::Playing);
    EXPECT_EQ(out, (Bytes{0xd0}));
}

} // namespace
