// The handle's receive step and status reader on an arbitrary byte stream,
// through the library's framing. Input byte 0 picks the mode: bit 0 runs the
// status reader instead of Receive, bit 1 makes the field-wise handlers
// throw. The rest is what the "handle" sends. Each call is checked against
// a model of the reply it should have read: how many bytes it took, what it
// returned and which handlers saw which fields.

#include "ReplyFeed.hpp"

#include "Torvi/HardwareAPI/devices/Handle.hpp"
#include "Torvi/HardwareAPI/protocol/HandleCodec.hpp"
#include "Torvi/HardwareAPI/protocol/HandleProtocol.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI;
using Devices::Handle;
using Devices::HandleStatus;
using TorviFuzz::Fail;
namespace P = Devices::HandleProtocol;

constexpr uint8_t kThrowingHandlers = 0x02;
constexpr uint8_t kStatusReaderMode = 0x01;

/// Thrown by the handlers in the throwing mode.
struct HandlerStop {};

/// What the handlers of one Receive saw.
struct Seen {
    int field_calls = 0;
    int record_calls = 0;
    uint8_t code = 0;
    std::vector<uint8_t> fields; ///< the field-wise arguments, byte by byte
};

uint16_t U16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

class CheckingHandle : public Handle {
public:
    CheckingHandle(IO::SerialStream* stream, bool throwing) : Handle(stream), throwing(throwing) {}

    Seen seen;

    void OnReceiveHandleInfo(uint8_t tool, uint16_t id, uint8_t model, uint8_t hardware,
                             uint8_t firmware) override {
        Field(P::kInfoResponse, {tool, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
                                 model, hardware, firmware});
    }
    void OnHandleInfoResponse(const Devices::HandleInfoResponse& info) override {
        Record(P::kInfoResponse);
        if (info.device_id != U16(&seen.fields[1]) || info.tool_data_remaining != seen.fields[0] ||
            info.device_model_number != seen.fields[3]) {
            Fail("info record differs from the field-wise call");
        }
    }
    void OnReceiveHandleStatusMessage(uint16_t id, const float* quaternion, uint8_t error,
                                      uint8_t hall, uint8_t length,
                                      const uint8_t* user_data) override {
        std::vector<uint8_t> fields{static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), error,
                                    hall};
        // Every byte the pointers promise is read, so reading them is safe.
        const auto* q = reinterpret_cast<const uint8_t*>(quaternion);
        fields.insert(fields.end(), q, q + P::kQuaternionComponents * sizeof(float));
        fields.push_back(length);
        fields.insert(fields.end(), user_data, user_data + length);
        Field(P::kStatusMessage, fields);
    }
    void OnHandleStatusMessage(const Devices::HandleStatusMessage& message) override {
        Record(P::kStatusMessage);
        const uint8_t length = message.user_data_length;
        if (length != seen.fields[4 + P::kQuaternionComponents * sizeof(float)]) {
            Fail("status record length differs");
        }
        for (std::size_t i = length; i < message.user_data.size(); ++i) {
            if (message.user_data[i] != 0) Fail("status record holds bytes past its user data");
        }
    }
    void OnReceiveHandleErrorResponse(uint16_t id, uint8_t code) override {
        Field(P::kErrorResponse, {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), code});
    }
    void OnHandleErrorResponse(const Devices::HandleErrorResponse& error) override {
        Record(P::kErrorResponse);
        if (error.device_id != U16(&seen.fields[0]) || error.error_code != seen.fields[2]) {
            Fail("error record differs from the field-wise call");
        }
    }

private:
    void Field(uint8_t code, std::vector<uint8_t> fields) {
        if (seen.field_calls++ != 0) Fail("two replies handled in one Receive");
        seen.code = code;
        seen.fields = std::move(fields);
        if (throwing) throw HandlerStop{};
    }
    void Record(uint8_t code) {
        if (throwing) Fail("record handler ran after the field-wise one threw");
        if (seen.field_calls != 1 || seen.code != code) Fail("record handler out of order");
        ++seen.record_calls;
    }

    bool throwing;
};

/// The feed as the host sees it, zero beyond its end.
struct HostView {
    std::vector<uint8_t> bytes;
    uint8_t at(std::size_t i) const { return i < bytes.size() ? bytes[i] : 0; }
    std::vector<uint8_t> span(std::size_t from, std::size_t n) const {
        std::vector<uint8_t> out(n);
        for (std::size_t i = 0; i < n; ++i)
            out[i] = at(from + i);
        return out;
    }
};

/// One Receive starting at `start`, checked against the reply found there.
void CheckOneReceive(CheckingHandle& handle, TorviFuzz::ReplyFeed& feed, const HostView& wire,
                     bool throwing) {
    const std::size_t start = feed.Consumed();
    handle.seen = Seen{};
    std::optional<int> result;
    try {
        result = handle.Receive();
    } catch (const HandlerStop&) {
        if (!throwing) Fail("unexpected exception");
    }
    const std::size_t taken = feed.Consumed() - start;

    const uint8_t code = wire.at(start);
    std::size_t payload = 0;
    std::vector<uint8_t> fields;
    switch (code) {
    case P::kInfoResponse: {
        payload = P::kInfoResponseLength;
        const std::vector<uint8_t> p = wire.span(start + 1, payload);
        fields = {p[0], p[2], p[3], p[3], p[4], p[5]};
        break;
    }
    case P::kErrorResponse:
        payload = P::kErrorResponseLength;
        fields = wire.span(start + 1, payload);
        break;
    case P::kStatusMessage: {
        const std::vector<uint8_t> fixed = wire.span(start + 1, P::kStatusMessageLength);
        const uint8_t length = fixed[P::kMessageUserDataLengthOffset];
        payload = P::kStatusMessageLength + length;
        fields = fixed; // id, error, hall, quaternion, length: the wire order
        const std::vector<uint8_t> user = wire.span(start + 1 + P::kStatusMessageLength, length);
        fields.insert(fields.end(), user.begin(), user.end());
        break;
    }
    default:
        if (taken != 1 || handle.seen.field_calls != 0) Fail("unknown code not skipped alone");
        if (!result || *result != Handle::kNoReply) Fail("unknown code not reported");
        return;
    }
    if (taken != 1 + payload) Fail("reply not read whole, or read beyond");
    if (handle.seen.field_calls != 1 || handle.seen.code != code) Fail("wrong handler");
    if (handle.seen.fields != fields) Fail("handler got other fields than the wire held");
    if (throwing) {
        if (result) Fail("throwing handler did not end Receive");
        return;
    }
    if (handle.seen.record_calls != 1) Fail("record handler missing");
    if (!result || *result != static_cast<int>(payload)) Fail("wrong payload count");
}

bool SameStatus(const HandleStatus& a, const HandleStatus& b) {
    return a.device_id == b.device_id && a.quaternion == b.quaternion &&
           a.error_flag == b.error_flag &&
           a.hall_effect_sensor_level == b.hall_effect_sensor_level && a.buttons == b.buttons &&
           a.battery_level == b.battery_level;
}

/// One status read starting at `start`, checked against the frame a careful
/// reader finds there: stray bytes skipped (zeros count as time-outs, not as
/// discarded bytes), within the handle's bound.
void CheckOneStatusRead(Handle& handle, TorviFuzz::ReplyFeed& feed, const HostView& wire) {
    const std::size_t start = feed.Consumed();
    const HandleStatus status = handle.GetQuillonetStatus();
    const std::size_t taken = feed.Consumed() - start;

    std::size_t at = start;
    HandleStatus expected;
    uint8_t code = wire.at(at++);
    std::size_t discarded = 0;
    bool gave_up = code == 0;
    while (!gave_up && code != P::kStatusMessage) {
        if (code != 0) ++discarded;
        if (discarded >= Handle::kMaxDiscardedBytes) {
            gave_up = true;
            break;
        }
        code = wire.at(at++);
    }
    if (gave_up) {
        expected = Devices::HandleMessages::NoAnswerStatus();
    } else {
        const std::vector<uint8_t> raw = wire.span(at, P::kStatusFrameLength);
        expected = Devices::HandleMessages::DecodeStatusFrame(raw.data());
        at += P::kStatusFrameLength;
    }
    if (taken != at - start) Fail("status reader took the wrong number of bytes");
    if (!SameStatus(status, expected)) Fail("status differs from the frame on the wire");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const bool status_reader = (mode & kStatusReaderMode) != 0;
    const bool throwing = (mode & kThrowingHandlers) != 0;

    // Padding that lets any call started inside the input end at once: for
    // Receive the longest reply after its code (zeros, which read as unknown
    // codes); for the status reader a frame header to find and its frame.
    std::vector<uint8_t> padding;
    if (status_reader) {
        for (int frame = 0; frame < 2; ++frame) {
            padding.push_back(P::kStatusMessage);
            padding.insert(padding.end(), P::kStatusFrameLength, 0);
        }
    } else {
        padding.assign(P::kStatusMessageLength + P::kMaxUserDataLength, 0);
    }

    TorviFuzz::ReplyFeed feed(data + 1, size - 1, padding);
    HostView wire;
    wire.bytes.assign(data + 1, data + 1 + std::min(size - 1, TorviFuzz::ReplyFeed::kMaxInput));
    wire.bytes.insert(wire.bytes.end(), padding.begin(), padding.end());

    CheckingHandle handle(&feed.stream(), throwing);
    while (feed.InputLeft()) {
        if (status_reader) {
            CheckOneStatusRead(handle, feed, wire);
        } else {
            CheckOneReceive(handle, feed, wire, throwing);
        }
    }
    if (!feed.stream().good()) Fail("stream failed on a well-behaved line");
    return 0;
}
