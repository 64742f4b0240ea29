#include "VirtualArm.hpp"

#include "Torvi/HardwareAPI/devices/ArmillarKinematics.hpp"
#include "Torvi/HardwareAPI/protocol/ArmillarProtocol.hpp"

#include <cmath>

namespace Torvi::VirtualDevice {

namespace Wire = HardwareAPI::Wire;
namespace P = HardwareAPI::Devices::ArmillarProtocol;

ArmIdentity VirtualArm::DefaultIdentity() {
    return ArmIdentity{
        0x0B17,
        P::kArmillarModelNumber,
        2,
        7,
        {0x7a, 0x3c, 0x51, 0x0e, 0x92, 0x4b, 0x4f, 0x1d, 0xa6, 0x05, 0x63, 0xc8, 0x2e, 0x94, 0x10,
         0x7f},
        // "1.4.2-virtual" padded with zeros.
        {'1', '.', '4', '.', '2', '-', 'v', 'i', 'r', 't', 'u', 'a', 'l', 0, 0, 0},
    };
}

VirtualArm::VirtualArm(std::optional<uint8_t> model, Clock::time_point start,
                       const ArmSettings& settings)
    : identity(DefaultIdentity()), dynamics(settings), last_update(start) {
    if (model) identity.model = *model;
}

RequestMeasure VirtualArm::Measure(const uint8_t* pending, std::size_t /*available*/) const {
    switch (pending[0]) {
    case P::kDeviceWakeup:
    case P::kOrientationRequest:
    case P::kTemperatureRequest:
    case P::kCurrentRequest:
    case P::kPowerStatusRequest:
        return RequestMeasure::Complete(1);
    case P::kParameterRequest:
        return RequestMeasure::Complete(P::kParameterRequestLength);
    case P::kJointTorques:
    case P::kJointAngles:
    case P::kEndEffectorForce:
    case P::kEndEffectorPosition:
        return RequestMeasure::Complete(P::kVectorRequestLength);
    default:
        return RequestMeasure::Unknown();
    }
}

void VirtualArm::AdvanceTo(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - last_update).count();
    if (seconds <= 0.0) return;
    last_update = now;
    dynamics.Advance(seconds);

    // The motors warm towards a level set by the square of their currents.
    double square_amps = 0.0;
    for (double torque : dynamics.MotorTorques()) {
        const double amps = torque / kTorqueConstant;
        square_amps += amps * amps;
    }
    const double settled = kAmbientTemperature + kHeatingPerSquareAmp * square_amps;
    temperature += (settled - temperature) * (1.0 - std::exp(-seconds / kThermalTimeConstant));
}

Bytes VirtualArm::EndEffectorState() const {
    Bytes reply{P::kEndEffectorState};
    Wire::AppendFloats(reply, dynamics.EndEffectorPosition());
    Wire::AppendFloats(reply, dynamics.EndEffectorVelocity());
    return reply;
}

Bytes VirtualArm::JointState() const {
    Bytes reply{P::kJointState};
    Wire::AppendFloats(reply, dynamics.RawAnglesDegrees());
    Wire::AppendFloats(reply, dynamics.JointVelocitiesDegrees());
    return reply;
}

Bytes VirtualArm::DeviceInfo() const {
    Bytes reply{P::kDeviceInfo};
    Wire::AppendU16(reply, identity.device_id);
    reply.push_back(identity.model);
    reply.push_back(identity.hardware_version);
    reply.push_back(identity.firmware_version);
    reply.insert(reply.end(), identity.identifier.begin(), identity.identifier.end());
    return reply;
}

std::optional<Bytes> VirtualArm::Parameter(uint8_t selector) const {
    const std::array<uint8_t, 16>* data = selector == P::kSelectorDeviceId ? &identity.identifier
                                          : selector == P::kSelectorFirmwareVersion
                                              ? &identity.firmware_version_bytes
                                              : nullptr;
    if (!data) return std::nullopt;
    Bytes reply{P::kParameterReply, selector, P::kParameterDataLength};
    reply.insert(reply.end(), data->begin(), data->end());
    return reply;
}

Bytes VirtualArm::Telemetry(uint8_t request) const {
    Bytes reply;
    switch (request) {
    case P::kOrientationRequest:
        // The base stands as the host's default model assumes.
        reply.push_back(P::kOrientationReply);
        Wire::AppendFloats(reply,
                           HardwareAPI::Devices::KinematicConstants::kDefaultBaseOrientation);
        break;
    case P::kTemperatureRequest:
        reply.push_back(P::kTemperatureReply);
        Wire::AppendFloat(reply, static_cast<float>(temperature));
        break;
    case P::kCurrentRequest:
        reply.push_back(P::kCurrentReply);
        for (double torque : dynamics.MotorTorques()) {
            Wire::AppendFloat(reply, static_cast<float>(torque / kTorqueConstant));
        }
        break;
    default: // P::kPowerStatusRequest
        reply = {P::kPowerStatusReply, kPowered};
        break;
    }
    return reply;
}

Bytes VirtualArm::Command(uint8_t request, const Vector3& values) {
    switch (request) {
    case P::kJointTorques:
        dynamics.CommandJointTorques(values);
        return JointState();
    case P::kJointAngles:
        dynamics.CommandJointAngles(values);
        return JointState();
    case P::kEndEffectorForce:
        dynamics.CommandEndEffectorForce(values);
        return EndEffectorState();
    default: // P::kEndEffectorPosition
        dynamics.CommandEndEffectorPosition(values);
        return EndEffectorState();
    }
}

std::vector<Message> VirtualArm::Answer(const Bytes& request, Clock::time_point now) {
    AdvanceTo(now);
    switch (request[0]) {
    case P::kDeviceWakeup:
        return {Message{DeviceInfo()}};
    case P::kParameterRequest:
        // No such parameter: the arm stays quiet.
        if (auto reply = Parameter(request[1])) return {Message{std::move(*reply)}};
        return {};
    case P::kOrientationRequest:
    case P::kTemperatureRequest:
    case P::kCurrentRequest:
    case P::kPowerStatusRequest:
        return {Message{Telemetry(request[0])}};
    case P::kJointTorques:
    case P::kJointAngles:
    case P::kEndEffectorForce:
    case P::kEndEffectorPosition:
        return {Message{Command(request[0], Wire::DecodeFloats<3>(&request[1]))}};
    default:
        return {};
    }
}

} // namespace Torvi::VirtualDevice
