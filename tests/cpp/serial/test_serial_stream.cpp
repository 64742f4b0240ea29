#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include "support/CaseName.hpp"
#include "support/PtyTest.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <thread>

using Torvi::HardwareAPI::IO::SerialStream;
using TorviTest::PtyPair;
using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::string Line(const char* source, unsigned line, const std::string& message, int error) {
    return "[err] " + std::string(source) + ":" + std::to_string(line) + "> " + message + ": [" +
           std::to_string(error) + "] " + std::strerror(error) + "\n";
}

constexpr const char* kStreamSource = "Library/src/SerialStream";

using SerialStreamOnPty = TorviTest::PtyTest;

} // namespace

struct FailedOpen {
    const char* name;
    const char* path;
    int error; ///< errno of the failed open, named in both lines
};

class SerialStreamFailedOpen : public ::testing::TestWithParam<FailedOpen> {};

TEST_P(SerialStreamFailedOpen, PrintsPortThenStreamLineWithTheOpenErrno) {
    const std::string path = GetParam().path;
    CaptureStderr();
    SerialStream stream(path.c_str(), true);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(
        err, Line(kStreamSource, 39, "unable to open port '" + path + "'", GetParam().error) +
                 Line(kStreamSource, 18, "unable to open stream '" + path + "'", GetParam().error));
    EXPECT_EQ(stream.Available(), 0);
}

// A directory cannot be opened read-write: EISDIR, not the ENOENT a missing
// locale might leave behind, so the second line shows the open's own errno.
INSTANTIATE_TEST_SUITE_P(Paths, SerialStreamFailedOpen,
                         ::testing::Values(FailedOpen{"Missing", "/nonexistent/tty", ENOENT},
                                           FailedOpen{"Directory", "/", EISDIR}),
                         CaseName());

TEST(SerialStreamOpen, NotOpenedYetHasNothingAvailableAndPrintsNothing) {
    CaptureStderr();
    SerialStream stream("/nonexistent/tty", false);
    EXPECT_EQ(stream.Available(), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(SerialStreamWrite, WriteAfterFailedOpenReportsLine53EveryTime) {
    CaptureStderr();
    SerialStream stream("/nonexistent/tty", true);
    GetCapturedStderr();

    const uint8_t byte = 0x0A;
    CaptureStderr();
    stream.Write(&byte, 1);
    stream.Write(&byte, 1);
    const std::string err = GetCapturedStderr();
    const std::string prefix =
        "[err] Library/src/SerialStream:53> unable to write '1' bytes to stream: [";
    ASSERT_EQ(err.find(prefix), 0u) << err;
    EXPECT_NE(err.find(prefix, 1), std::string::npos) << "the error state is never cleared";
}

TEST_F(SerialStreamOnPty, WriteAfterShortReadIsSilentAndSendsNothing) {
    SerialStream stream(pty->slave_path().c_str(), true);
    char out[2];
    stream.read(out, 2); // nothing arrives: a short read sets end-of-file
    ASSERT_TRUE(stream.eof());

    const uint8_t byte = 0x0A;
    CaptureStderr();
    stream.Write(&byte, 1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(pty->Read(1, 100ms).empty());
}

TEST_F(SerialStreamOnPty, CompleteWriteGoesOutAndPrintsNothing) {
    SerialStream stream(pty->slave_path().c_str(), true);
    const std::vector<uint8_t> request = TorviTest::Hex("2A 00 00 80 3F");
    CaptureStderr();
    stream.Write(request.data(), request.size());
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(pty->Read(request.size(), 1000ms), request);
    EXPECT_TRUE(stream.good());
}

TEST_F(SerialStreamOnPty, CountsQueuedBytesAndZeroAfterClose) {
    SerialStream stream(pty->slave_path().c_str(), true);
    pty->Write(TorviTest::Hex("01 02 03"));
    // The pty hands written bytes over asynchronously; wait for them.
    for (int i = 0; i < 1000 && stream.Available() < 3; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(stream.Available(), 3);
    stream.Close();
    EXPECT_EQ(stream.Available(), 0);
}

TEST(ErrorLine, SwitchesTheProcessLocaleWhenAvailable) {
    if (std::setlocale(LC_ALL, "en_US.utf8") == nullptr) {
        GTEST_SKIP() << "the en_US.utf8 locale is not installed";
    }
    std::setlocale(LC_ALL, "C");
    CaptureStderr();
    SerialStream stream("/nonexistent/tty", true);
    GetCapturedStderr();
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "en_US.utf8");
    std::setlocale(LC_ALL, "C");
}

TEST(ErrorLine, ErrnoTextWidensEveryByte) {
    const std::wstring text = SerialStream::ErrnoText(ENOENT);
    const std::string narrow = std::strerror(ENOENT);
    ASSERT_EQ(text.size(), narrow.size());
    for (size_t i = 0; i < narrow.size(); ++i) {
        EXPECT_EQ(text[i], static_cast<wchar_t>(static_cast<signed char>(narrow[i])));
    }
}
