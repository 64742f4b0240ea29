#pragma once

// What the event loop needs of an emulated device: how long the request at
// the front of the input is, the answer to a complete request, and (for a
// device that reports on its own) the next spontaneous message.

#include "Torvi/HardwareAPI/protocol/MessageMeasure.hpp"
#include "Torvi/HardwareAPI/protocol/WireBytes.hpp"

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

namespace Torvi::VirtualDevice {

using HardwareAPI::Wire::Bytes;

using Clock = std::chrono::steady_clock;

/// The length of the request at the front of the pending input.
using RequestMeasure = HardwareAPI::Wire::MessageMeasure;

/// One message the device sends. Stuffed status frames are marked, because
/// a fault can corrupt their stuffing.
struct Message {
    enum class Form { Plain, StuffedFrame };
    Bytes bytes;
    Form form = Form::Plain;
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    /// Measures the request that starts at `pending[0]` (`available` > 0).
    virtual RequestMeasure Measure(const uint8_t* pending, std::size_t available) const = 0;

    /// The messages that answer one complete request received at `now`
    /// (none for a request without reply, or one the device ignores).
    virtual std::vector<Message> Answer(const Bytes& request, Clock::time_point now) = 0;

    /// The message a streaming device sends on its own at `now`.
    virtual std::optional<Message> StreamMessage(Clock::time_point /*now*/) { return std::nullopt; }
};

} // namespace Torvi::VirtualDevice
