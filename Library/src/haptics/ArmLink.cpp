#include "haptics/ArmLink.hpp"

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <stdexcept>

namespace Torvi::HardwareAPI::Haptics {

namespace {

/// How long one sleep for the reply lasts before the loop looks at Stop()
/// and the reply limit again, milliseconds.
constexpr int kReadableSlice = 10;
/// How long the loop watches for a reply before it sleeps for it: a little
/// more than a round trip to a device that answers at once.
constexpr std::chrono::microseconds kSpinBeforeSleep{50};
/// Polls of the port between two clock reads while watching for a reply:
/// under a microsecond of polling each.
constexpr unsigned kPollsPerClockRead = 4;

} // namespace

void ArmLink::Claim() {
    if (!arm_.ClaimForDriver()) {
        throw std::runtime_error("the arm is already driven by a haptic loop");
    }
    cancel_.Reset();
    std::lock_guard<std::mutex> lock(ended_mutex_);
    ended_ = false;
}

void ArmLink::AwaitEnd() {
    // Give the exchange under way and the final zero-force request their
    // time; a silent arm gets its waits cancelled.
    std::unique_lock<std::mutex> lock(ended_mutex_);
    if (!ended_changed_.wait_for(lock, HapticLoop::kStopGrace, [this] { return ended_; })) {
        cancel_.Cancel();
    }
}

void ArmLink::ReleaseArm() { arm_.ReleaseFromDriver(); }

void ArmLink::MarkEnded() {
    {
        std::lock_guard<std::mutex> lock(ended_mutex_);
        ended_ = true;
    }
    ended_changed_.notify_all();
}

ArmLink::Outcome ArmLink::Exchange(const Vector3& force, LoopState& state) {
    exchange_started_ = Clock::now();
    exchanging_ = true;
    arm_.SendForce(force);
    if (arm_.stream == nullptr || !arm_.stream->good()) {
        exchanging_ = false;
        return Outcome::kUnwritten;
    }
    if (AwaitReplyStart()) {
        arm_.ReceiveState(state.position, state.velocity);
        if (arm_.LastStateReceived()) {
            exchanging_ = false;
            state.force = force;
            return Outcome::kAnswered;
        }
    }
    exchanging_ = false;
    if (cancel_.IsCancelled()) {
        return Outcome::kCancelled;
    }
    if (Clock::now() - exchange_started_ > HapticLoop::kReplyLimit) {
        return Outcome::kOverdue;
    }
    return Outcome::kBadReply;
}

bool ArmLink::AwaitReplyStart() const {
    // A quick reply is caught by watching for it for a round trip's time;
    // after that, sleep until it starts to arrive rather than spin in the
    // arm's wait, so that the core is free for the device's side of the
    // exchange and for the application's threads, which share it on a small
    // machine. The watch waits for the whole reply, so that the arm's wait
    // finds it queued and reads it in one call, and reads the clock only
    // every kPollsPerClockRead polls.
    IO::SerialStream& port = *arm_.stream;
    const auto whole = static_cast<int>(Devices::Armillar::StateReplyLength());
    const Clock::time_point spin_until = exchange_started_ + kSpinBeforeSleep;
    for (unsigned polls = 1; polls % kPollsPerClockRead != 0 || Clock::now() < spin_until;
         ++polls) {
        if (port.Available() >= whole) {
            return true;
        }
    }
    for (;;) {
        // Bytes, or a hang-up, that the arm's wait takes from here.
        if (port.Available() >= whole || port.WaitReadable(kReadableSlice)) {
            return true;
        }
        if (cancel_.IsCancelled() || Overdue()) {
            return false;
        }
    }
}

std::string ArmLink::Why(Outcome outcome) {
    switch (outcome) {
    case Outcome::kUnwritten:
        return "the force request could not be written to the arm's port";
    case Outcome::kOverdue:
        return "the arm did not answer a force request within " +
               std::to_string(HapticLoop::kReplyLimit.count()) + " ms";
    case Outcome::kBadReply:
        return "the arm's reply to a force request was missing, wrong or short";
    case Outcome::kAnswered:
    case Outcome::kCancelled:
        break;
    }
    return {};
}

} // namespace Torvi::HardwareAPI::Haptics
