#include "FaultInjector.hpp"

#include "Torvi/HardwareAPI/protocol/ArmillarProtocol.hpp"
#include "Torvi/HardwareAPI/protocol/HandleProtocol.hpp"

#include <algorithm>
#include <iterator>

namespace Torvi::VirtualDevice {

namespace Arm = HardwareAPI::Devices::ArmillarProtocol;
namespace Hnd = HardwareAPI::Devices::HandleProtocol;

bool FaultInjector::IsProtocolCode(uint8_t byte) {
    static constexpr uint8_t kCodes[] = {
        Arm::kDeviceWakeup,
        Arm::kOrientationRequest,
        Arm::kParameterRequest,
        Arm::kJointTorques,
        Arm::kJointAngles,
        Arm::kEndEffectorForce,
        Arm::kEndEffectorPosition,
        Arm::kTemperatureRequest,
        Arm::kCurrentRequest,
        Arm::kPowerStatusRequest,
        Arm::kDeviceInfo,
        Arm::kJointState,
        Arm::kEndEffectorState,
        Hnd::kInfoResponse,
        Hnd::kStatusMessage,
        Hnd::kHandleState,
        Hnd::kErrorResponse,
        Arm::kSelectorDeviceId,
        Arm::kSelectorFirmwareVersion,
        0x00, // 0 reads as a time-out on the host
    };
    return std::find(std::begin(kCodes), std::end(kCodes), byte) != std::end(kCodes);
}

// xorshift32: cheap, and deterministic so that a failing test can be rerun.
uint8_t FaultInjector::NextNoise() {
    for (;;) {
        noise_state ^= noise_state << 13;
        noise_state ^= noise_state >> 17;
        noise_state ^= noise_state << 5;
        const auto byte = static_cast<uint8_t>(noise_state >> 24);
        if (!IsProtocolCode(byte)) return byte;
    }
}

std::optional<Bytes> FaultInjector::Apply(const Message& message) {
    if (settings.silent) return std::nullopt;
    Bytes out = message.bytes;
    if (out.empty()) return out;
    if (settings.garbage) {
        for (auto& byte : out)
            byte = NextNoise();
    } else if (settings.wrong_code) {
        out[0] = kForeignCode;
    }
    if (settings.bad_frame && message.form == Message::Form::StuffedFrame &&
        out.size() > 1 + kBadFrameOffset) {
        out[1 + kBadFrameOffset] = Hnd::kSlipEnd;
    }
    if (settings.short_reply) out.pop_back();
    return out;
}

} // namespace Torvi::VirtualDevice
