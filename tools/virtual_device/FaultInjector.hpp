#pragma once

// Turns what a sound device would send into what a faulty one sends, and
// keeps count of the requests for a scheduled hang-up.

#include "DeviceModel.hpp"
#include "Options.hpp"

#include <chrono>
#include <optional>

namespace Torvi::VirtualDevice {

class FaultInjector {
public:
    /// A header code that neither protocol uses, sent by --wrong-code.
    static constexpr uint8_t kForeignCode = 0xEE;
    /// Where --bad-frame puts an END byte: an unused byte of the frame, so
    /// that the frame unstuffs one byte short and nothing else changes.
    static constexpr std::size_t kBadFrameOffset = 5;

    explicit FaultInjector(const FaultSettings& settings) : settings(settings) {}

    /// The bytes that go on the wire for `message`; nothing when silent.
    std::optional<Bytes> Apply(const Message& message);

    /// Whether nothing at all goes out.
    bool Silent() const { return settings.silent; }

    /// How long after its request a reply goes out.
    std::chrono::milliseconds ReplyDelay() const {
        return std::chrono::milliseconds(settings.delay_ms);
    }

    /// Counts one request that the device took.
    void CountExchange() { ++exchanges; }

    /// Whether the device has taken as many requests as it was to serve:
    /// the next request makes it hang up instead of answering.
    bool HangupDue() const { return settings.hangup_after && exchanges >= *settings.hangup_after; }

    /// Whether the device is to hang up without serving any request
    /// (--hangup-after 0), at once.
    bool HangupBeforeAnyRequest() const { return settings.hangup_after == 0ul; }

    /// Whether `byte` is a header code of either protocol (the arm's, the
    /// handle's); garbage never contains one.
    static bool IsProtocolCode(uint8_t byte);

private:
    uint8_t NextNoise();

    FaultSettings settings;
    unsigned long exchanges = 0;
    uint32_t noise_state = 0x2545F491u; // fixed seed: the same noise on every run
};

} // namespace Torvi::VirtualDevice
