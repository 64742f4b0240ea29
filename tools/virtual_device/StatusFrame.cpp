#include "StatusFrame.hpp"

#include "Torvi/HardwareAPI/protocol/HandleProtocol.hpp"

#include <algorithm>
#include <cmath>

namespace Torvi::VirtualDevice {

namespace Wire = HardwareAPI::Wire;
namespace P = HardwareAPI::Devices::HandleProtocol;

namespace {

bool IsSpecial(uint8_t byte) { return byte == P::kSlipEnd || byte == P::kSlipEsc; }

bool IsFrameSafe(int16_t value) {
    const auto bits = static_cast<uint16_t>(value);
    return !IsSpecial(static_cast<uint8_t>(bits & 0xFF)) &&
           !IsSpecial(static_cast<uint8_t>(bits >> 8));
}

void PutQ15(StatusFrameBytes& frame, std::size_t offset, int16_t value) {
    const auto bits = static_cast<uint16_t>(value);
    frame[offset] = static_cast<uint8_t>(bits & 0xFF);
    frame[offset + 1] = static_cast<uint8_t>(bits >> 8);
}

} // namespace

int16_t FrameSafeQ15(float component) {
    const long scaled = std::lround(double(component) / double(P::kQ15Scale));
    const long nearest = std::clamp<long>(scaled, INT16_MIN, INT16_MAX);
    // At most 256 steps away a value has a clear high byte and, among its
    // neighbours, a clear low byte.
    for (long distance = 0; distance <= 512; ++distance) {
        for (long candidate : {nearest - distance, nearest + distance}) {
            if (candidate < INT16_MIN || candidate > INT16_MAX) continue;
            if (IsFrameSafe(static_cast<int16_t>(candidate)))
                return static_cast<int16_t>(candidate);
        }
    }
    return 0; // not reached: 0 is safe
}

uint8_t FrameSafeByte(uint8_t byte) {
    if (!IsSpecial(byte)) return byte;
    return IsSpecial(static_cast<uint8_t>(byte + 1)) ? static_cast<uint8_t>(byte - 1)
                                                     : static_cast<uint8_t>(byte + 1);
}

StatusFrameBytes LayOutStatusFrame(const HandleReading& reading, uint8_t device_id) {
    StatusFrameBytes frame{};
    frame[P::kFrameErrorFlagOffset] = FrameSafeByte(reading.error_flag);
    frame[P::kFrameBitsOffset] = FrameSafeByte(static_cast<uint8_t>(
        (reading.buttons << P::kButtonsShift) | (reading.hall_level & P::kHallLevelMask)));
    frame[P::kFrameDeviceIdOffset] = FrameSafeByte(device_id);
    for (std::size_t i = 0; i < P::kQuaternionComponents; ++i) {
        PutQ15(frame, P::kFrameQuaternionOffset + 2 * i, FrameSafeQ15(reading.quaternion[i]));
    }
    frame[P::kFrameBatteryOffset] = FrameSafeByte(reading.battery_raw);
    return frame;
}

Bytes StuffStatusFrame(const StatusFrameBytes& frame) {
    Bytes out;
    for (uint8_t byte : frame) {
        if (byte == P::kSlipEnd) {
            out.insert(out.end(), {P::kSlipEsc, P::kSlipEscEnd});
        } else if (byte == P::kSlipEsc) {
            out.insert(out.end(), {P::kSlipEsc, P::kSlipEscEsc});
        } else {
            out.push_back(byte);
        }
    }
    while (out.size() < P::kStatusFrameLength)
        out.push_back(P::kSlipEnd);
    return out;
}

Bytes EncodeStatusFrame(const HandleReading& reading, uint8_t device_id) {
    Bytes reply{P::kStatusMessage};
    const Bytes stuffed = StuffStatusFrame(LayOutStatusFrame(reading, device_id));
    reply.insert(reply.end(), stuffed.begin(), stuffed.end());
    return reply;
}

Bytes EncodeStatusMessage(const HandleReading& reading, uint16_t device_id,
                          const Bytes& user_data) {
    Bytes reply{P::kStatusMessage};
    Wire::AppendU16(reply, device_id);
    reply.push_back(reading.error_flag);
    reply.push_back(reading.hall_level);
    Wire::AppendFloats(reply, reading.quaternion);
    const std::size_t length = std::min(user_data.size(), P::kMaxUserDataLength);
    reply.push_back(static_cast<uint8_t>(length));
    reply.insert(reply.end(), user_data.begin(),
                 user_data.begin() + static_cast<std::ptrdiff_t>(length));
    return reply;
}

} // namespace Torvi::VirtualDevice
