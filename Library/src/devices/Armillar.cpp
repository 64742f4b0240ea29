#include "Torvi/HardwareAPI/devices/Armillar.hpp"

#include "Torvi/HardwareAPI/protocol/ArmillarCodec.hpp"

#include <cmath>
#include <cstring>

namespace Torvi::HardwareAPI::Devices {

namespace P = ArmillarProtocol;
namespace K = KinematicConstants;
namespace Messages = ArmillarMessages;

namespace {

/// A zero force or torque: the way to read the arm's state without acting on it.
constexpr Vector3 kNoEffort{0.0f, 0.0f, 0.0f};

void ConfigureKinematics(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2,
                         float extension) {
    ArmillarKinematics& model = SharedKinematics();
    model.inner_arm_1 = inner_arm_1;
    model.outer_arm_1 = outer_arm_1;
    model.inner_arm_2 = inner_arm_2;
    model.outer_arm_2 = outer_arm_2;
    model.extension = std::fabs(extension);
    model.base_orientation = K::kDefaultBaseOrientation;
}

void SetGearRatios(float head, float inner_arm, float outer_arm) {
    ArmillarKinematics& model = SharedKinematics();
    model.head_gear_ratio_coeff = head;
    model.inner_arm_gear_ratio_coeff = inner_arm;
    model.outer_arm_gear_ratio_coeff = outer_arm;
}

} // namespace

ArmillarKinematics& SharedKinematics() {
    static ArmillarKinematics model;
    return model;
}

Armillar::Armillar(IO::SerialStream* stream_) : Device(stream_) {
    // Every new arm starts from the default model; only the angle offsets,
    // which describe the arm's calibration, carry over.
    SetGearRatios(K::kDefaultGearRatio, K::kDefaultGearRatio, K::kDefaultGearRatio);
    ConfigureKinematics(K::kDefaultInnerArm1, K::kDefaultOuterArm1, K::kDefaultInnerArm2,
                        K::kDefaultOuterArm2, K::kDefaultExtension);
}

// Framing of the arm's exchanges.

std::size_t Armillar::StateReplyLength() { return 1 + P::kStateLength; }

void Armillar::SendCode(uint8_t code) { Send(Messages::BuildRequest(send_buffer.get(), code)); }

void Armillar::SendFloats(uint8_t code, const float* values, std::size_t count) {
    Send(Messages::BuildFloatsRequest(send_buffer.get(), code, values, count));
}

void Armillar::DrainAfter(const Frame& frame) {
    // No resynchronisation: clear what may be queued and give up. A
    // cancelled caller gives up at once. The payload bytes read with the
    // code count towards the drain, so that the same bytes are consumed as
    // when the code is read alone.
    if (!WaitCancelled()) {
        AwaitBytes(P::kDrainLength - frame.taken);
    }
}

bool Armillar::AwaitReply(uint8_t code, std::size_t length) {
    const auto n = static_cast<unsigned>(length);
    const Frame frame = AwaitFrame(n);
    if (frame.code != code) {
        DrainAfter(frame);
        return false;
    }
    return frame.taken == n || AwaitBytes(n) == n;
}

bool Armillar::AwaitParameterReply(uint8_t selector) {
    // The selector is read as a second header byte, whatever the first was:
    // with the code when the whole reply is queued, else on its own.
    constexpr auto kPayload = static_cast<unsigned>(P::kParameterLength);
    constexpr unsigned kSelectorAndPayload = 1 + kPayload;
    Frame frame = AwaitFrame(kSelectorAndPayload);
    if (WaitCancelled()) {
        return false;
    }
    const uint8_t code = frame.code;
    uint8_t echoed = 0;
    if (frame.taken == kSelectorAndPayload) {
        echoed = receive_buffer[0];
        frame.taken = kPayload;
    } else {
        echoed = AwaitHeaderCode();
    }
    if (code != P::kParameterReply || echoed != selector) {
        DrainAfter(frame);
        return false;
    }
    if (frame.taken == kPayload) {
        std::memmove(receive_buffer.get(), receive_buffer.get() + 1, kPayload);
        return true;
    }
    return AwaitBytes(kPayload) == kPayload;
}

bool Armillar::AwaitState(uint8_t code, ArmillarState& state) {
    last_state_received = AwaitReply(code, P::kStateLength);
    if (last_state_received) {
        state = Messages::DecodeState(receive_buffer.get());
    }
    return last_state_received;
}

UUID Armillar::QueryParameter(uint8_t selector) {
    Send(Messages::BuildParameterRequest(send_buffer.get(), selector));
    if (!AwaitParameterReply(selector)) {
        return UUID();
    }
    return Messages::DecodeParameter(receive_buffer.get()).value_or(UUID());
}

ArmillarState Armillar::Exchange(uint8_t request, const Vector3& values, uint8_t reply) {
    SendFloats(request, values.data(), values.size());
    ArmillarState state;
    AwaitState(reply, state);
    return state;
}

Vector3 Armillar::ReadRawJointAngles() { return joint_torques(kNoEffort).position; }

// Request and reply.

DeviceInfo Armillar::device_wakeup() {
    SendDeviceWakeup();
    return ReceiveDeviceInfo();
}

UUID Armillar::get_firmware_version() { return QueryParameter(P::kSelectorFirmwareVersion); }

UUID Armillar::get_device_id() { return QueryParameter(P::kSelectorDeviceId); }

Vector3 Armillar::get_motor_currents() {
    Vector3 currents{};
    RequestCurrent();
    ReceiveCurrent(currents);
    return currents;
}

Quaternion Armillar::get_device_orientation() {
    SendCode(P::kOrientationRequest);
    if (!AwaitReply(P::kOrientationReply, P::kOrientationLength)) {
        return {};
    }
    return Messages::DecodeFloats<P::kQuaternionCount>(receive_buffer.get());
}

bool Armillar::get_power_status() {
    SendCode(P::kPowerStatusRequest);
    if (!AwaitReply(P::kPowerStatusReply, P::kPowerStatusLength)) {
        return false;
    }
    return Messages::DecodePowerStatus(receive_buffer.get());
}

float Armillar::get_temperature() {
    SendCode(P::kTemperatureRequest);
    if (!AwaitReply(P::kTemperatureReply, P::kTemperatureLength)) {
        return 0.0f;
    }
    return Messages::DecodeFloat(receive_buffer.get());
}

ArmillarState Armillar::end_effector_force(const Vector3& force) {
    return Exchange(P::kEndEffectorForce, force, P::kEndEffectorState);
}

ArmillarState Armillar::get_end_effector_position(bool onboard) {
    if (onboard) {
        return end_effector_force(kNoEffort);
    }
    ArmillarState state;
    state.position = ForwardKinematics(SharedKinematics(), ReadRawJointAngles());
    return state;
}

ArmillarState Armillar::end_effector_position(const Vector3& position) {
    return Exchange(P::kEndEffectorPosition, position, P::kEndEffectorState);
}

ArmillarState Armillar::joint_torques(const Vector3& torques) {
    return Exchange(P::kJointTorques, torques, P::kJointState);
}

ArmillarState Armillar::joint_angles(const Vector3& angles) {
    return Exchange(P::kJointAngles, angles, P::kJointState);
}

// The shared kinematic model.

void Armillar::adjust_angles(const Vector3& angles) {
    const Vector3 raw = ReadRawJointAngles();
    ArmillarKinematics& model = SharedKinematics();
    // The arm joints turn the other way from the model, hence the signs.
    model.angle_offsets[0] =
        (raw[0] * model.head_gear_ratio_coeff - angles[0]) * K::kPi / K::kHalfTurnDegrees;
    model.angle_offsets[1] =
        -(raw[1] * model.inner_arm_gear_ratio_coeff - angles[1]) * K::kPi / K::kHalfTurnDegrees;
    model.angle_offsets[2] =
        -(raw[2] * model.outer_arm_gear_ratio_coeff - angles[2]) * K::kPi / K::kHalfTurnDegrees;
}

void Armillar::deactivate_orientation_sensor() {
    SharedKinematics().base_orientation = K::kDefaultBaseOrientation;
}

void Armillar::adjust_lengths(float inner_arm_1, float outer_arm_1, float inner_arm_2,
                              float outer_arm_2, float extension) {
    ConfigureKinematics(inner_arm_1, outer_arm_1, inner_arm_2, outer_arm_2, extension);
}

void Armillar::adjust_gear_ratios(float head, float inner_arm, float outer_arm) {
    SetGearRatios(head, inner_arm, outer_arm);
}

// Split request and reply.

void Armillar::SendDeviceWakeup() { SendCode(P::kDeviceWakeup); }

DeviceInfo Armillar::ReceiveDeviceInfo() {
    if (!AwaitReply(P::kDeviceInfo, P::kDeviceInfoLength)) {
        return DeviceInfo();
    }
    return Messages::DecodeDeviceInfo(receive_buffer.get());
}

void Armillar::RequestCurrent() { SendCode(P::kCurrentRequest); }

void Armillar::ReceiveCurrent(Vector3& current) {
    if (AwaitReply(P::kCurrentReply, P::kCurrentLength)) {
        current = Messages::DecodeFloats<P::kVectorCount>(receive_buffer.get());
    }
}

void Armillar::SendForce(const Vector3& force) {
    SendFloats(P::kEndEffectorForce, force.data(), force.size());
}

void Armillar::SendJointTorques(const Vector3& joint_torque) {
    SendFloats(P::kJointTorques, joint_torque.data(), joint_torque.size());
}

void Armillar::SendAngle(const Vector3& angle) {
    SendFloats(P::kJointAngles, angle.data(), angle.size());
}

void Armillar::SendPosition(const Vector3& position) {
    SendFloats(P::kEndEffectorPosition, position.data(), position.size());
}

void Armillar::ReceiveState(Vector3& position, Vector3& velocity) {
    ArmillarState state;
    if (AwaitState(P::kEndEffectorState, state)) {
        position = state.position;
        velocity = state.velocity;
    }
}

void Armillar::ReceiveJointState(Vector3& joint_position, Vector3& joint_velocity) {
    ArmillarState state;
    if (AwaitState(P::kJointState, state)) {
        joint_position = state.position;
        joint_velocity = state.velocity;
    }
}

} // namespace Torvi::HardwareAPI::Devices
