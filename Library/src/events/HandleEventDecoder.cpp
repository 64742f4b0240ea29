#include "events/HandleEventDecoder.hpp"

#include "Torvi/HardwareAPI/protocol/HandleCodec.hpp"

#include <cstring>

namespace Torvi::HardwareAPI::Events {

namespace P = Devices::HandleProtocol;
namespace Messages = Devices::HandleMessages;
using Wire::MessageMeasure;

void HandleEventDecoder::Feed(const uint8_t* bytes, std::size_t n, double time,
                              std::vector<HandleEvent>& out) {
    if (pending_.empty()) {
        pending_since_ = time;
    }
    pending_.insert(pending_.end(), bytes, bytes + n);
    std::size_t at = 0;
    while (at < pending_.size()) {
        const uint8_t* reply = pending_.data() + at;
        const bool frame = frames_expected_ > 0 && reply[0] == P::kStatusMessage;
        const MessageMeasure measure = Messages::MeasureReply(reply, pending_.size() - at, frame);
        if (measure.kind == MessageMeasure::Kind::Unknown) {
            ++skipped_;
            ++at;
            continue;
        }
        if (measure.kind == MessageMeasure::Kind::NeedMore ||
            measure.length > pending_.size() - at) {
            break;
        }
        out.push_back(Decode(reply, frame, time));
        at += measure.length;
    }
    // What is left began in this read unless nothing was taken from before.
    if (at > 0 && at < pending_.size()) {
        pending_since_ = time;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

void HandleEventDecoder::DropIncomplete() {
    skipped_ += pending_.size();
    pending_.clear();
}

HandleEvent HandleEventDecoder::Decode(const uint8_t* reply, bool status_frame, double time) {
    const uint8_t* payload = reply + P::kHeaderCodeLength;
    HandleEvent event;
    event.time = time;
    switch (reply[0]) {
    case P::kInfoResponse:
        event.message = Messages::DecodeInfoResponse(payload);
        break;
    case P::kErrorResponse:
        event.message = Messages::DecodeErrorResponse(payload);
        break;
    default: // the status reply, in the form expected
        if (status_frame) {
            --frames_expected_;
            event.message = Messages::DecodeStatusFrame(payload);
        } else {
            Devices::HandleStatusMessage message = Messages::DecodeStatusMessage(payload);
            std::memcpy(message.user_data.data(), payload + P::kStatusMessageLength,
                        message.user_data_length);
            event.message = message;
        }
        break;
    }
    return event;
}

} // namespace Torvi::HardwareAPI::Events
