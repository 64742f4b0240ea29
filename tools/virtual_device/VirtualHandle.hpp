#pragma once

// The handle as the host sees it over the wire: it answers a wakeup (with its
// information, a status message or an error response, as configured), answers
// a status request with a stuffed frame or a status message (as configured),
// keeps the user data of the last HandleState it received, and streams
// status messages when asked to.

#include "DeviceModel.hpp"
#include "Options.hpp"

#include <optional>

namespace Torvi::VirtualDevice {

struct HandleIdentity {
    uint8_t tool_data_remaining;
    uint8_t id_low; ///< the device id's low byte (the high byte is the model)
    uint8_t model;
    uint8_t hardware_version;
    uint8_t firmware_version;
    uint8_t error_code; ///< what an error response reports

    /// The 16-bit device id: id_low with the model as its high byte, as the
    /// information response lays it out.
    uint16_t DeviceId() const { return static_cast<uint16_t>(id_low | (model << 8)); }
};

class VirtualHandle : public DeviceModel {
public:
    static HandleIdentity DefaultIdentity();

    VirtualHandle(const Options& options, Clock::time_point start);

    RequestMeasure Measure(const uint8_t* pending, std::size_t available) const override;
    std::vector<Message> Answer(const Bytes& request, Clock::time_point now) override;
    std::optional<Message> StreamMessage(Clock::time_point now) override;

private:
    double SecondsSinceStart(Clock::time_point now) const;
    Message StatusMessage(Clock::time_point now) const;
    Message StatusFrame(Clock::time_point now) const;
    Message InfoResponse() const;
    Message ErrorResponse() const;

    HandleIdentity identity;
    WakeupAnswer wakeup_answer;
    StatusForm status_form;
    bool streams;
    Clock::time_point start;
    /// User data of the last HandleState, carried by every status message.
    Bytes user_data;
};

} // namespace Torvi::VirtualDevice
