#include "Torvi/HardwareAPI/devices/Handle.hpp"

#include "Torvi/HardwareAPI/protocol/HandleCodec.hpp"

#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <chrono>
#include <cstring>

namespace Torvi::HardwareAPI::Devices {

namespace P = HandleProtocol;
namespace Messages = HandleMessages;

Handle::Handle(IO::SerialStream* stream_) : Device(stream_) {}

void Handle::SendDeviceWakeup() {
    send_buffer[0] = P::kDeviceWakeup;
    Send(1);
}

void Handle::RequestStatus() {
    send_buffer[0] = P::kStatusRequest;
    Send(1);
}

void Handle::SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data) {
    Send(Messages::BuildHandleState(send_buffer.get(), device_id, data_length, user_data));
}

int Handle::Receive() {
    switch (AwaitHeaderCode()) {
    case P::kStatusMessage:
        return ReceiveStatusMessage();
    case P::kErrorResponse:
        return ReceiveErrorResponse();
    case P::kInfoResponse:
        return ReceiveInfoResponse();
    default:
        return kNoReply;
    }
}

unsigned Handle::AwaitPayload(unsigned n) {
    const unsigned got = AwaitBytes(n);
    if (got != n) {
        std::memset(receive_buffer.get(), 0, n);
    }
    return got;
}

int Handle::ReceiveInfoResponse() {
    const unsigned got = AwaitPayload(P::kInfoResponseLength);
    if (WaitCancelled()) {
        return static_cast<int>(got);
    }
    const HandleInfoResponse info = Messages::DecodeInfoResponse(receive_buffer.get());
    OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                        info.hardware_version, info.firmware_version);
    OnHandleInfoResponse(info);
    return static_cast<int>(got);
}

int Handle::ReceiveStatusMessage() {
    const unsigned fixed = AwaitPayload(P::kStatusMessageLength);
    if (WaitCancelled()) {
        return static_cast<int>(fixed);
    }
    HandleStatusMessage message = Messages::DecodeStatusMessage(receive_buffer.get());
    // The user data lands at offset 0 again, over the fixed part decoded above.
    const unsigned extra = AwaitPayload(message.user_data_length);
    if (WaitCancelled()) {
        return static_cast<int>(fixed + extra);
    }
    std::memcpy(message.user_data.data(), receive_buffer.get(), message.user_data_length);
    OnReceiveHandleStatusMessage(message.device_id, message.quaternion.data(), message.error_flag,
                                 message.hall_effect_sensor_level, message.user_data_length,
                                 message.user_data.data());
    OnHandleStatusMessage(message);
    return static_cast<int>(fixed + extra);
}

int Handle::ReceiveErrorResponse() {
    const unsigned got = AwaitPayload(P::kErrorResponseLength);
    if (WaitCancelled()) {
        return static_cast<int>(got);
    }
    const HandleErrorResponse error = Messages::DecodeErrorResponse(receive_buffer.get());
    OnReceiveHandleErrorResponse(error.device_id, error.error_code);
    OnHandleErrorResponse(error);
    return static_cast<int>(got);
}

bool Handle::MaySkipMore(double elapsed_seconds, std::size_t discarded) const {
    // A failed stream delivers nothing more: every further wait would end at
    // once with 0, so the search would spin.
    if (stream == nullptr || !stream->good()) {
        return false;
    }
    if (WaitCancelled()) {
        return false;
    }
    if (discarded >= kMaxDiscardedBytes) {
        return false;
    }
    // Without a time-out each wait blocks until a byte comes; only the byte
    // count bounds the search then.
    return timeout <= 0 || elapsed_seconds < kStatusSearchTimeouts * static_cast<double>(timeout);
}

HandleStatus Handle::GetQuillonetStatus() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();

    uint8_t code = AwaitHeaderCode();
    if (code == 0) {
        return Messages::NoAnswerStatus();
    }
    // Skip what comes before the frame's header. Waits that time out here
    // log their line and the search goes on, until the bound is reached.
    std::size_t discarded = 0;
    while (code != P::kStatusMessage) {
        if (code != 0) {
            ++discarded;
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (!MaySkipMore(elapsed, discarded)) {
            return Messages::NoAnswerStatus();
        }
        code = AwaitHeaderCode();
    }

    if (AwaitBytes(P::kStatusFrameLength) != P::kStatusFrameLength) {
        return Messages::BadFrameStatus();
    }
    return Messages::DecodeStatusFrame(receive_buffer.get());
}

void Handle::OnHandleInfoResponse(const HandleInfoResponse&) {}

void Handle::OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) {}

void Handle::OnHandleStatusMessage(const HandleStatusMessage&) {}

void Handle::OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t,
                                          const uint8_t*) {}

void Handle::OnHandleErrorResponse(const HandleErrorResponse&) {}

void Handle::OnReceiveHandleErrorResponse(uint16_t, uint8_t) {}

} // namespace Torvi::HardwareAPI::Devices
