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

TEST(Options, TheArmsMechanicsAndHandAreTakenInAnyOrder) {
    const ParseOutcome outcome =
        Parse({"--hand-stroke=0,0,-0.004,2.5", "arm", "--arm-mass", "0.25", "--hand-target",
               "0.001,0.02,0.21", "--arm-damping=0", "--hand", "300,4.5"});
    ASSERT_EQ(outcome.action, Action::Run) << outcome.error;
    const ArmSettings& arm = outcome.options.arm;
    EXPECT_EQ(arm.mass_kg, 0.25);
    EXPECT_EQ(arm.damping_nsm, 0.0);
    ASSERT_TRUE(arm.hand.has_value());
    EXPECT_EQ(arm.hand->stiffness_npm, 300.0);
    EXPECT_EQ(arm.hand->damping_nsm, 4.5);
    EXPECT_EQ(arm.hand->target, (Vector3{0.001f, 0.02f, 0.21f}));
    EXPECT_EQ(arm.hand->stroke, (Vector3{0.0f, 0.0f, -0.004f}));
    EXPECT_EQ(arm.hand->stroke_hz, 2.5);
    // Without them, the arm of today: nobody holds it.
    const ArmSettings plain = Parse({"arm"}).options.arm;
    EXPECT_FALSE(plain.mass_kg || plain.damping_nsm || plain.hand);
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
        {{"arm", "--hand", "200"}, "--hand needs STIFFNESS,DAMPING"},
        {{"arm", "--hand", "200,5,1"}, "--hand needs"},
        {{"arm", "--hand", "200,"}, "--hand needs"},
        {{"arm", "--hand", "-200,5"}, "--hand needs"},
        {{"arm", "--hand", "200,nan"}, "--hand needs"},
        {{"arm", "--hand", "inf,5"}, "--hand needs"},
        {{"arm", "--hand", "200,5", "--hand-target", "0,0.02"}, "--hand-target needs X,Y,Z"},
        {{"arm", "--hand", "200,5", "--hand-target", "0,nan,0.2"}, "--hand-target needs"},
        {{"arm", "--hand", "200,5", "--hand-stroke", "0,0,0.01"}, "--hand-stroke needs"},
        {{"arm", "--hand", "200,5", "--hand-stroke", "0,0,0.01,-2"}, "--hand-stroke needs"},
        {{"arm", "--hand-target", "0,0.02,0.2"}, "--hand-target needs --hand"},
        {{"arm", "--hand-stroke", "0,0,0.01,2"}, "--hand-stroke needs --hand"},
        {{"arm", "--arm-mass", "0"}, "--arm-mass needs"},
        {{"arm", "--arm-mass", "-1"}, "--arm-mass needs"},
        {{"arm", "--arm-damping", "-0.5"}, "--arm-damping needs"},
        {{"arm", "--arm-damping", "4x"}, "--arm-damping needs"},
        {{"arm", "--arm-damping"}, "needs a value"},
        {{"handle", "--hand", "200,5"}, "arm only"},
    };
    for (const auto& [args, reason] : cases) {
        const ParseOutcome outcome = Parse(args);
        EXPECT_EQ(outcome.action, Action::Error) << reason;
        EXPECT_NE(outcome.error.find(reason), std::string::npos) << outcome.error;
    }
}
