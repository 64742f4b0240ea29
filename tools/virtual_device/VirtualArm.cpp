#include "VirtualArm.hpp"

#include "Torvi/HardwareAPI/devices/ArmillarKinematics.hpp"
#include "Torvi/HardwareAPI/devices/ArmillarProtocol.hpp"

#include <cmath>

namespace Torvi::VirtualDevice {

namespace P = HardwareAPI::Devices::ArmillarProtocol;

ArmIdentity VirtualArm::DefaultIdentity() {
    return ArmIdentity{
        0x0B17,
        P::kArmillarModelNumber,
        2,
        7,
        {0x7a, 0x3c, 0x51, 0x0e, 0x92, 0x4b, 0x4f, 0x1d, 0xa6, 0x05, 0x63, 0xc8, 0x2e, 0x94, 0x10, 0x7f},
        // "1.4.2-virtual" padded with zeros.
        {'1', '.', '4', '.', '2', '-', 'v', 'i', 'r', 't', 'u', 'a', 'l', 0, 0, 0},
    };
}

VirtualArm::VirtualArm(std::optional<uint8_t> model, Clock::time_point start)
    : identity(DefaultIdentity()), last_update(start) {
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
    AppendFloats(reply, dynamics.EndEffectorPosition());
    AppendFloats(reply, dynamics.EndEffectorVelocity());
    return reply;
}

Bytes VirtualArm::JointState() const {
    Bytes reply{P::kJointState};
    AppendFloats(reply, dynamics.RawAnglesDegrees());
    AppendFloats(reply, dynamics.JointVelocitiesDegrees());
    return reply;
}

std::vector<Message> VirtualArm::Answer(const Bytes& request, Clock::time_point now) {
    AdvanceTo(now);
    Bytes reply;
    switch (request[0]) {
    case P::kDeviceWakeup:
        reply.push_back(P::kDeviceInfo);
        AppendU16(reply, identity.device_id);
        reply.push_back(identity.model);
        reply.push_back(identity.hardware_version);
        reply.push_back(identity.firmware_version);
        reply.insert(reply.end(), identity.identifier.begin(), identity.identifier.end());
        break;
    case P::kParameterRequest: {
        const uint8_t selector = request[1];
        const std::array<uint8_t, 16>* data =
            selector == P::kSelectorDeviceId          ? &identity.identifier
            : selector == P::kSelectorFirmwareVersion ? &identity.firmware_version_bytes
                                                      : nullptr;
        if (!data) return {}; // no such parameter: the arm stays quiet
        reply = {P::kParameterReply, selector, P::kParameterDataLength};
        reply.insert(reply.end(), data->begin(), data->end());
        break;
    }
    case P::kOrientationRequest:
        // The base stands as the host's default model assumes.
        reply.push_back(P::kOrientationReply);
        AppendFloats(reply, HardwareAPI::Devices::KinematicConstants::kDefaultBaseOrientation);
        break;
    case P::kTemperatureRequest:
        reply.push_back(P::kTemperatureReply);
        AppendFloat(reply, static_cast<float>(temperature));
        break;
    case P::kCurrentRequest: {
        reply.push_back(P::kCurrentReply);
        for (double torque : dynamics.MotorTorques()) {
            AppendFloat(reply, static_cast<float>(torque / kTorqueConstant));
        }
        break;
    }
    case P::kPowerStatusRequest:
        reply = {P::kPowerStatusReply, kPowered};
        break;
    case P::kJointTorques:
        dynamics.CommandJointTorques(ReadVec3(&request[1]));
        reply = JointState();
        break;
    case P::kJointAngles:
        dynamics.CommandJointAngles(ReadVec3(&request[1]));
        reply = JointState();
        break;
    case P::kEndEffectorForce:
        dynamics.CommandEndEffectorForce(ReadVec3(&request[1]));
        reply = EndEffectorState();
        break;
    case P::kEndEffectorPosition:
        dynamics.CommandEndEffectorPosition(ReadVec3(&request[1]));
        reply = EndEffectorState();
        break;
    default:
        return {};
    }
    return {Message{std::move(reply)}};
}

} // namespace Torvi::VirtualDevice
