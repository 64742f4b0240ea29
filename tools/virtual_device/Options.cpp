#include "Options.hpp"

#include "ArmDynamics.hpp"
#include "ExitStatus.hpp"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <sstream>

namespace Torvi::VirtualDevice {

namespace {

// Limits that keep a typing slip from turning into an hour-long wait.
constexpr unsigned long kMaxDelayMs = 600000;
constexpr double kMaxStreamHz = 100000.0;
// Ranges of the arm's settings: wide enough for any hand or arm a test
// wants, narrow enough that the simulation's step stays affordable.
constexpr double kMinArmMassKg = 0.01;
constexpr double kMaxArmMassKg = 100.0;
constexpr double kMaxArmDampingNsm = 10000.0;
constexpr double kMaxHandCoefficient = 100000.0; ///< N/m for the stiffness, N·s/m for the damping
constexpr double kMaxHandReachM = 10.0;          ///< per coordinate of a target or a stroke
constexpr double kMaxStrokeHz = 1000.0;

std::optional<unsigned long> ParseUnsigned(const std::string& text, unsigned long limit) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value > limit) return std::nullopt;
    return value;
}

std::optional<StreamRate> ParseRate(const std::string& text) {
    if (text == "max") return StreamRate{0.0, true};
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double hz = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(hz) || hz < 0.0 || hz > kMaxStreamHz) return std::nullopt;
    return StreamRate{hz, false};
}

/// Reads `N` comma-separated numbers, each finite: "1,2.5,-3".
template <std::size_t N>
std::optional<std::array<double, N>> ParseNumbers(const std::string& text) {
    std::array<double, N> values{};
    const char* at = text.c_str();
    for (std::size_t i = 0; i < N; ++i) {
        char* end = nullptr;
        values[i] = std::strtod(at, &end);
        if (end == at || !std::isfinite(values[i])) return std::nullopt;
        const char wanted = i + 1 < N ? ',' : '\0';
        if (*end != wanted) return std::nullopt;
        at = end + 1;
    }
    return values;
}

struct Range {
    double low, high;
    bool Holds(double value) const { return value >= low && value <= high; }
};

/// "from LOW to HIGH", the numbers as short as they go.
std::string Text(const Range& range) {
    std::ostringstream text;
    text << "from " << range.low << " to " << range.high;
    return text.str();
}

// Options that only the arm takes; naming one for the handle is refused.
const std::set<std::string> kArmOnlyOptions{"--hand", "--hand-target", "--hand-stroke",
                                            "--arm-mass", "--arm-damping"};
// Options that only the handle takes; naming one for the arm is refused.
const std::set<std::string> kHandleOnlyOptions{"--wireless", "--wakeup-answer", "--stream-hz",
                                               "--status-form", "--bad-frame"};
// Options that only a replay takes, and the only ones it takes.
const std::set<std::string> kReplayOnlyOptions{"--ignore-timing", "--loop"};
const std::set<std::string> kReplayOptions{"--ignore-timing", "--loop", "--link", "--verbose",
                                           "--help"};

class Parser {
public:
    explicit Parser(const std::vector<std::string>& args) : args(args) {}

    ParseOutcome Run() {
        for (index = 0; index < args.size() && error.empty(); ++index) {
            const std::string& arg = args[index];
            if (arg.rfind("--", 0) != 0) {
                TakeDevice(arg);
                continue;
            }
            SplitInlineValue(arg);
            if (!TakeGeneralOption() && !TakeArmOption() && !TakeHandleOption() &&
                !TakeFaultOption() && !TakeReplayOption()) {
                error = "unknown option '" + name + "'";
            }
            given.push_back(name);
        }
        return Outcome();
    }

private:
    ParseOutcome Outcome() {
        PlaceHand();
        if (!error.empty()) {
            outcome.error = error;
        } else if (wants_help) {
            outcome.action = ParseOutcome::Action::Help;
        } else if (!kind_given) {
            outcome.error = "name the device to play: arm, handle or replay FILE";
        } else {
            outcome.error = FitError();
            if (outcome.error.empty()) outcome.action = ParseOutcome::Action::Run;
        }
        return outcome;
    }

    // The hand's target and stroke may come before --hand: they join it here.
    void PlaceHand() {
        std::optional<HandSettings>& hand = outcome.options.arm.hand;
        if (!hand) return;
        auto vector = [](const auto& v) {
            return Vector3{static_cast<float>(v[0]), static_cast<float>(v[1]),
                           static_cast<float>(v[2])};
        };
        if (hand_target) hand->target = vector(*hand_target);
        if (hand_stroke) {
            hand->stroke = vector(*hand_stroke);
            hand->stroke_hz = (*hand_stroke)[3];
        }
    }

    // Why the options given do not fit the device; empty when they do.
    std::string FitError() const {
        const DeviceKind kind = outcome.options.kind;
        for (const std::string& option : given) {
            if (kind == DeviceKind::Replay && kReplayOptions.count(option) == 0)
                return option + " does not apply to a replay";
            if (kind != DeviceKind::Replay && kReplayOnlyOptions.count(option) != 0)
                return option + " applies to a replay only";
            if (kind == DeviceKind::Arm && kHandleOnlyOptions.count(option) != 0)
                return option + " applies to the handle only";
            if (kind == DeviceKind::Handle && kArmOnlyOptions.count(option) != 0)
                return option + " applies to the arm only";
        }
        if (!outcome.options.arm.hand && (hand_target || hand_stroke))
            return std::string(hand_target ? "--hand-target" : "--hand-stroke") +
                   " needs --hand STIFFNESS,DAMPING";
        if (kind == DeviceKind::Replay && outcome.options.session_path.empty())
            return "replay needs the session file to play";
        return {};
    }

    void TakeDevice(const std::string& arg) {
        Options& o = outcome.options;
        if (kind_given && o.kind == DeviceKind::Replay && o.session_path.empty()) {
            o.session_path = arg;
        } else if (kind_given) {
            error = "unexpected argument '" + arg + "'";
        } else if (arg == "arm" || arg == "handle" || arg == "replay") {
            o.kind = arg == "arm"      ? DeviceKind::Arm
                     : arg == "handle" ? DeviceKind::Handle
                                       : DeviceKind::Replay;
            kind_given = true;
        } else {
            error = "unknown device '" + arg + "' (arm, handle or replay)";
        }
    }

    // Each Take...Option returns whether `name` is one of its options.

    bool TakeGeneralOption() {
        Options& o = outcome.options;
        if (name == "--help") {
            wants_help = true;
        } else if (name == "--verbose") {
            Flag(o.verbose);
        } else if (name == "--model") {
            if (auto value = Number(UINT8_MAX)) o.model = static_cast<uint8_t>(*value);
        } else if (name == "--link") {
            if (auto text = Value()) {
                if (text->empty())
                    error = "--link needs a path";
                else
                    o.link = *text;
            }
        } else {
            return false;
        }
        return true;
    }

    bool TakeArmOption() {
        ArmSettings& arm = outcome.options.arm;
        const Range mass{kMinArmMassKg, kMaxArmMassKg}, damping{0.0, kMaxArmDampingNsm};
        const Range coefficient{0.0, kMaxHandCoefficient}, reach{-kMaxHandReachM, kMaxHandReachM};
        if (name == "--arm-mass") {
            if (auto v = Numbers<1>({mass}, "a mass in kg, " + Text(mass))) arm.mass_kg = (*v)[0];
        } else if (name == "--arm-damping") {
            if (auto v = Numbers<1>({damping}, "a damping in N·s/m, " + Text(damping)))
                arm.damping_nsm = (*v)[0];
        } else if (name == "--hand") {
            if (auto v =
                    Numbers<2>({coefficient, coefficient},
                               "STIFFNESS,DAMPING in N/m and N·s/m, each " + Text(coefficient))) {
                arm.hand.emplace(HandSettings{(*v)[0], (*v)[1], std::nullopt, {}, 0.0});
            }
        } else if (name == "--hand-target") {
            hand_target = Numbers<3>({reach, reach, reach}, "X,Y,Z in m, each " + Text(reach));
        } else if (name == "--hand-stroke") {
            const Range hz{0.0, kMaxStrokeHz};
            hand_stroke = Numbers<4>({reach, reach, reach, hz},
                                     "DX,DY,DZ,HZ: amplitudes in m, each " + Text(reach) +
                                         ", and a frequency in Hz, " + Text(hz));
        } else {
            return false;
        }
        return true;
    }

    bool TakeHandleOption() {
        Options& o = outcome.options;
        if (name == "--wireless") {
            Flag(o.wireless);
        } else if (name == "--wakeup-answer") {
            Choice(o.wakeup_answer, {{"info", WakeupAnswer::Info},
                                     {"status", WakeupAnswer::Status},
                                     {"error", WakeupAnswer::Error}});
        } else if (name == "--stream-hz") {
            if (auto text = Value()) {
                if (auto rate = ParseRate(*text))
                    o.stream = *rate;
                else
                    error = "--stream-hz needs a rate in Hz (0 to 100000) or 'max'";
            }
        } else if (name == "--status-form") {
            Choice(o.status_form, {{"frame", StatusForm::Frame}, {"message", StatusForm::Message}});
        } else if (name == "--bad-frame") {
            Flag(outcome.options.faults.bad_frame);
        } else {
            return false;
        }
        return true;
    }

    bool TakeReplayOption() {
        if (name == "--ignore-timing") {
            Flag(outcome.options.ignore_timing);
        } else if (name == "--loop") {
            Flag(outcome.options.loop);
        } else {
            return false;
        }
        return true;
    }

    bool TakeFaultOption() {
        FaultSettings& f = outcome.options.faults;
        if (name == "--silent") {
            Flag(f.silent);
        } else if (name == "--delay-ms") {
            if (auto value = Number(kMaxDelayMs)) f.delay_ms = static_cast<unsigned>(*value);
        } else if (name == "--wrong-code") {
            Flag(f.wrong_code);
        } else if (name == "--short-reply") {
            Flag(f.short_reply);
        } else if (name == "--garbage") {
            Flag(f.garbage);
        } else if (name == "--hangup-after") {
            f.hangup_after = Number(~0UL);
        } else {
            return false;
        }
        return true;
    }

    // "--name=value" carries its value inline; "--name value" in the next argument.
    void SplitInlineValue(const std::string& arg) {
        const auto equals = arg.find('=');
        name = arg.substr(0, equals);
        inline_value = equals == std::string::npos
                           ? std::nullopt
                           : std::optional<std::string>(arg.substr(equals + 1));
    }

    void Flag(bool& target) {
        if (inline_value) {
            error = name + " takes no value";
            return;
        }
        target = true;
    }

    std::optional<std::string> Value() {
        if (inline_value) return inline_value;
        if (index + 1 >= args.size()) {
            error = name + " needs a value";
            return std::nullopt;
        }
        return args[++index];
    }

    std::optional<unsigned long> Number(unsigned long limit) {
        const auto text = Value();
        if (!text) return std::nullopt;
        const auto value = ParseUnsigned(*text, limit);
        if (!value) error = name + " needs a whole number from 0 to " + std::to_string(limit);
        return value;
    }

    /// `N` comma-separated numbers, each within its range; on failure the
    /// error names the option and says what it needs.
    template <std::size_t N>
    std::optional<std::array<double, N>> Numbers(const std::array<Range, N>& ranges,
                                                 const std::string& needs) {
        const auto text = Value();
        if (!text) return std::nullopt;
        auto values = ParseNumbers<N>(*text);
        for (std::size_t i = 0; values && i < N; ++i) {
            if (!ranges[i].Holds((*values)[i])) values.reset();
        }
        if (!values) error = name + " needs " + needs;
        return values;
    }

    template <typename Enum> void Choice(Enum& target, const std::map<std::string, Enum>& choices) {
        const auto text = Value();
        if (!text) return;
        const auto found = choices.find(*text);
        if (found == choices.end()) {
            std::string names;
            for (const auto& [choice, unused] : choices)
                names += (names.empty() ? "" : ", ") + choice;
            error = name + " takes one of: " + names;
            return;
        }
        target = found->second;
    }

    const std::vector<std::string>& args;
    ParseOutcome outcome;
    bool kind_given = false;
    bool wants_help = false;
    std::vector<std::string> given; ///< the options given, in order
    std::size_t index = 0;
    std::string name;
    std::optional<std::string> inline_value;
    std::string error;
    std::optional<std::array<double, 3>> hand_target;
    std::optional<std::array<double, 4>> hand_stroke;
};

} // namespace

ParseOutcome ParseOptions(const std::vector<std::string>& args) { return Parser(args).Run(); }

namespace {

/// The --help lines of the arm, with its default mechanics.
std::string ArmUsage() {
    const ArmDynamics home;
    const double lighter_along_x =
        home.EffectiveMassKg({0, 0, 1}) / home.EffectiveMassKg({1, 0, 0});
    std::ostringstream text;
    text.precision(2);
    text << R"(Arm:
  --arm-mass KG           the arm's effective mass along z at home (default
                          )"
         << ArmDynamics::DefaultMassKg() << " kg; along x it is " << lighter_along_x
         << R"( times lighter)
  --arm-damping NSM       the arm's effective damping along z at home, N·s/m
                          (default )"
         << ArmDynamics::DefaultDampingNsm() << "; along x also " << lighter_along_x
         << R"( times less)
  --hand K,B              a hand holds the end effector: a spring of K N/m
                          and a damper of B N·s/m to the hand's target,
                          simulated with the arm at a step of at most )"
         << ArmDynamics::kHandStep * 1e3 << R"( ms
                          (the host's command held between requests)
  --hand-target X,Y,Z     the hand's target, m (default: the home position)
  --hand-stroke DX,DY,DZ,HZ
                          the target moves by DX,DY,DZ m times sin(2 pi HZ t),
                          t the time since the device started

)";
    return text.str();
}

} // namespace

std::string UsageText() {
    return R"(usage: torvi-virtual-device arm|handle [--wireless] [options]
       torvi-virtual-device replay FILE [--ignore-timing] [--loop] [--link PATH]

Plays an Armillar arm or a Handle on a pseudo-terminal, or the device's side
of a session recorded by `torvi trace PORT --out FILE`. The first line on
standard output is the path of the terminal to open; nothing else is printed
there. Runs until SIGINT, SIGTERM or SIGHUP, or until standard input closes
when it is a pipe or socket (so a parent that dies takes the device down).
A command line it refuses: one line on standard error, exit status )" +
           std::to_string(ExitStatus::kUsage) + R"(.

Device:
  arm                     the three-joint arm
  handle                  the hand-held handle
  --wireless              a wireless handle (same protocol; only the port name
                          tells discovery the difference, see --link)
  --model N               model byte of the device information (arm: 4,
                          handle: 2)
  --link PATH             create a symbolic link PATH to the terminal, removed
                          on exit (for example /dev/ttyACM_virtual0 where
                          writable, so that discovery lists it)
  --verbose               diagnostics on standard error

)" + ArmUsage() +
           R"(Handle:
  --wakeup-answer FORM    info (default), status or error: the reply to a
                          wakeup request
  --stream-hz RATE        status messages sent on its own, RATE per second;
                          0 (default) sends none, 'max' as fast as the
                          terminal takes them
  --status-form FORM      frame (default) or message: the reply to a status
                          request

Faults (both devices):
  --silent                answer nothing
  --delay-ms N            answer every request N ms late
  --wrong-code            send every message with a foreign header code
  --short-reply           send every message without its last byte
  --garbage               send noise (no valid header code) instead of each
                          message
  --bad-frame             (handle) status frames that do not unstuff
  --hangup-after N        answer N requests; when request N+1 arrives,
                          close the terminal and exit without answering it
                          (0: at once, before any request)

Replay (from the moment a host opens the terminal):
  replay FILE             wait for each request the session holds and check
                          it byte for byte, send each recorded reply after its
                          recorded delay and what the device sent unasked at
                          its recorded time; hang up where the device did. A
                          request that differs: one line on standard error
                          (the file's line, the bytes expected and received),
                          exit status )" +
           std::to_string(ExitStatus::kMismatch) + R"(
  --ignore-timing         send each reply as soon as its request is in
  --loop                  start over after the last line
  --help                  this text
)";
}

} // namespace Torvi::VirtualDevice
