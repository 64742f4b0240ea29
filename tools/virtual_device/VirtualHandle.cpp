#include "VirtualHandle.hpp"

#include "HandleSensors.hpp"
#include "StatusFrame.hpp"

#include "Torvi/HardwareAPI/protocol/HandleProtocol.hpp"

namespace Torvi::VirtualDevice {

namespace Wire = HardwareAPI::Wire;
namespace P = HardwareAPI::Devices::HandleProtocol;

HandleIdentity VirtualHandle::DefaultIdentity() { return HandleIdentity{0, 0x21, 2, 1, 3, 0x07}; }

VirtualHandle::VirtualHandle(const Options& options, Clock::time_point start)
    : identity(DefaultIdentity()), wakeup_answer(options.wakeup_answer),
      status_form(options.status_form), streams(!options.stream.Off()), start(start) {
    if (options.model) identity.model = *options.model;
}

RequestMeasure VirtualHandle::Measure(const uint8_t* pending, std::size_t available) const {
    switch (pending[0]) {
    case P::kDeviceWakeup:
    case P::kStatusRequest:
        return RequestMeasure::Complete(1);
    case P::kHandleState:
        if (available < P::kHandleStateHeaderLength) return RequestMeasure::NeedMore();
        return RequestMeasure::Complete(P::kHandleStateHeaderLength +
                                        pending[P::kStateDataLengthOffset]);
    default:
        return RequestMeasure::Unknown();
    }
}

std::vector<Message> VirtualHandle::Answer(const Bytes& request, Clock::time_point now) {
    switch (request[0]) {
    case P::kDeviceWakeup:
        switch (wakeup_answer) {
        case WakeupAnswer::Info:
            return {InfoResponse()};
        case WakeupAnswer::Status:
            return {StatusMessage(now)};
        case WakeupAnswer::Error:
            return {ErrorResponse()};
        }
        return {};
    case P::kStatusRequest:
        return {status_form == StatusForm::Frame ? StatusFrame(now) : StatusMessage(now)};
    case P::kHandleState:
        user_data.assign(request.begin() + P::kStateUserDataOffset, request.end());
        return {};
    default:
        return {};
    }
}

std::optional<Message> VirtualHandle::StreamMessage(Clock::time_point now) {
    if (!streams) return std::nullopt;
    return StatusMessage(now);
}

double VirtualHandle::SecondsSinceStart(Clock::time_point now) const {
    return std::chrono::duration<double>(now - start).count();
}

Message VirtualHandle::StatusMessage(Clock::time_point now) const {
    return Message{EncodeStatusMessage(ReadHandleSensors(SecondsSinceStart(now)),
                                       identity.DeviceId(), user_data)};
}

Message VirtualHandle::StatusFrame(Clock::time_point now) const {
    return Message{EncodeStatusFrame(ReadHandleSensors(SecondsSinceStart(now)), identity.id_low),
                   Message::Form::StuffedFrame};
}

Message VirtualHandle::InfoResponse() const {
    Bytes reply{P::kInfoResponse, identity.tool_data_remaining, 0};
    Wire::AppendU16(reply, identity.DeviceId()); // its high byte is the model number
    reply.push_back(identity.hardware_version);
    reply.push_back(identity.firmware_version);
    return Message{std::move(reply)};
}

Message VirtualHandle::ErrorResponse() const {
    Bytes reply{P::kErrorResponse};
    Wire::AppendU16(reply, identity.DeviceId());
    reply.push_back(identity.error_code);
    return Message{std::move(reply)};
}

} // namespace Torvi::VirtualDevice
