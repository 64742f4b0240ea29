// The command line of torvi-virtual-device.

#include "virtual_device/Options.hpp"

#include <gtest/gtest.h>

using namespace Torvi::VirtualDevice;
using Action = ParseOutcome::Action;

namespace {
ParseOutcome Parse(std::vector<std::string> args) { return ParseOptions(args); }
} // namespace

TEST(Options, DefaultsPlayASoundDevice) {
    const ParseOutcome arm = Parse({"arm"});
    ASSERT_EQ(arm.action, Action::Run);
    EXPECT_EQ(arm.options.kind, DeviceKind::Arm);
    EXPECT_FALSE(arm.options.model.has_value());
    EXPECT_TRUE(arm.options.stream.Off());
    const FaultSettings& f = arm.options.faults;
    EXPECT_FALSE(f.silent || f.wrong_code || f.short_reply || f.garbage || f.bad_frame);
    EXPECT_EQ(f.delay_ms, 0u);
    EXPECT_FALSE(f.hangup_after.has_value());

    const ParseOutcome handle = Parse({"handle"});
    ASSERT_EQ(handle.action, Action::Run);
    EXPECT_EQ(handle.options.wakeup_answer, WakeupAnswer::Info);
    EXPECT_EQ(handle.options.status_form, StatusForm::Frame);
}

TEST(Options, EveryOptionIsTakenInEitherSpelling) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"handle",          "--wireless",
              "--wakeup-answer", "status",
              "--stream-hz",     "250",
              "--status-form",   "message",
              "--delay-ms",      "40",
              "--hangup-after",  "3",
              "--model",         "9",
              "--link",          "/tmp/x",
              "--silent",        "--wrong-code",
              "--short-reply",   "--garbage",
              "--bad-frame",     "--verbose"},
             {"--wireless", "--wakeup-answer=status", "--stream-hz=250", "--status-form=message",
              "--delay-ms=40", "--hangup-after=3", "--model=9", "--link=/tmp/x", "--silent",
              "--wrong-code", "--short-reply", "--garbage", "--bad-frame", "--verbose", "handle"},
         }) {
        const ParseOutcome outcome = Parse(args);
        ASSERT_EQ(outcome.action, Action::Run) << outcome.error;
        const Options& o = outcome.options;
        EXPECT_EQ(o.kind, DeviceKind::Handle);
        EXPECT_TRUE(o.wireless && o.verbose);
        EXPECT_EQ(o.wakeup_answer, WakeupAnswer::Status);
        EXPECT_EQ(o.stream.hz, 250.0);
        EXPECT_FALSE(o.stream.max);
        EXPECT_EQ(o.status_form, StatusForm::Message);
        EXPECT_EQ(o.faults.delay_ms, 40u);
        EXPECT_EQ(o.faults.hangup_after, 3ul);
        EXPECT_EQ(o.model, 9);
        EXPECT_EQ(o.link, "/tmp/x");
        EXPECT_TRUE(o.faults.silent && o.faults.wrong_code && o.faults.short_reply &&
                    o.faults.garbage && o.faults.bad_frame);
    }
}

TEST(Options, StreamRateMaxAndZero) {
    EXPECT_TRUE(Parse({"handle", "--stream-hz", "max"}).options.stream.max);
    EXPECT_TRUE(Parse({"handle", "--stream-hz", "0"}).options.stream.Off());
    EXPECT_EQ(Parse({"handle", "--stream-hz", "0.5"}).options.stream.hz, 0.5);
}

TEST(Options, HelpWinsOverAMissingDevice) {
    EXPECT_EQ(Parse({"--help"}).action, Action::Help);
    EXPECT_EQ(Parse({"arm", "--help"}).action, Action::Help);
    EXPECT_NE(UsageText().find("--hangup-after"), std::string::npos);
}

TEST(Options, BadCommandLinesAreRefusedWithAReason) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{}, "name the device"},
        {{"arm", "handle"}, "unexpected argument"},
        {{"robot"}, "unknown device"},
        {{"arm", "--wireless"}, "handle only"},
        {{"arm", "--wakeup-answer", "info"}, "handle only"},
        {{"arm", "--status-form", "frame"}, "handle only"},
        {{"handle", "--wakeup-answer", "hello"}, "takes one of"},
        {{"handle", "--stream-hz", "-1"}, "--stream-hz"},
        {{"handle", "--stream-hz", "nan"}, "--stream-hz"},
        {{"handle", "--stream-hz", "1e9"}, "--stream-hz"},
        {{"arm", "--delay-ms", "12ms"}, "--delay-ms"},
        {{"arm", "--delay-ms", "-1"}, "--delay-ms"},
        {{"arm", "--delay-ms", "600001"}, "--delay-ms"},
        {{"arm", "--model", "256"}, "--model"},
        {{"arm", "--model"}, "needs a value"},
        {{"arm", "--hangup-after", "x"}, "--hangup-after"},
        {{"arm", "--link="}, "needs a path"},
        {{"arm", "--verbose=1"}, "takes no value"},
        {{"arm", "--what"}, "unknown option"},
    };
    for (const auto& [args, reason] : cases) {
        const ParseOutcome outcome = Parse(args);
        EXPECT_EQ(outcome.action, Action::Error) << reason;
        EXPECT_NE(outcome.error.find(reason), std::string::npos) << outcome.error;
    }
}
