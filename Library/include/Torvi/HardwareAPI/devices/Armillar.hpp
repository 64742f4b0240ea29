#pragma once

#include "Torvi/HardwareAPI/devices/ArmillarKinematics.hpp"
#include "Torvi/HardwareAPI/devices/ArmillarMessages.hpp"
#include "Torvi/HardwareAPI/devices/Device.hpp"
#include "Torvi/HardwareAPI/devices/UUID.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Torvi::HardwareAPI::Devices {

/// The three-joint arm: a Device on a serial stream plus the operations that
/// exchange the arm's messages and turn the replies into values.
///
/// Nothing here throws for a missing or wrong reply. An operation whose reply
/// does not come, comes with another code or comes short returns its fallback
/// (zeros, an all-zero identifier, not powered, or the caller's values left
/// as they were); the error lines of the transport are the only report. After
/// an unexpected reply code the operation drains 1024 bytes, which waits out
/// the time-out unless that many are queued.
///
/// Every Armillar shares the process-wide kinematic model SharedKinematics();
/// constructing one resets its lengths, gear ratios and base orientation but
/// keeps the angle offsets.
class Armillar : public Device {
public:
    /// An arm on `stream` (borrowed; the caller keeps it alive). Resets the
    /// shared kinematic model as above; sends nothing.
    explicit Armillar(IO::SerialStream* stream);

    // Request and reply.

    /// Wakes the arm (0x0A) and reads its device information (0x0B).
    DeviceInfo device_wakeup();
    /// The 16-byte firmware version (parameter 0xD2); all zero on failure.
    UUID get_firmware_version();
    /// The 16-byte identifier (parameter 0xD1); all zero on failure.
    UUID get_device_id();
    /// Currents of motors 0, 1, 2; zeros on failure.
    Vector3 get_motor_currents();
    /// The base's orientation quaternion as received; zeros on failure.
    Quaternion get_device_orientation();
    /// Whether the arm is powered; false on failure.
    bool get_power_status();
    /// The arm's temperature; 0 on failure.
    float get_temperature();

    /// Commands a force (0x2A) and returns the end-effector state (0x2B).
    ArmillarState end_effector_force(const Vector3& force);
    /// The end-effector position and velocity: computed by the arm when
    /// `onboard`, otherwise on the host from the raw joint angles (with a
    /// zero velocity, and from zero angles when the reply fails).
    ArmillarState get_end_effector_position(bool onboard);
    /// Commands a position (0x2C) and returns the end-effector state (0x2B).
    ArmillarState end_effector_position(const Vector3& position);
    /// Commands joint torques (0x1A) and returns the raw joint state (0x1B).
    ArmillarState joint_torques(const Vector3& torques);
    /// Commands joint angles (0x1C) and returns the raw joint state (0x1B).
    ArmillarState joint_angles(const Vector3& angles);

    // The shared kinematic model.

    /// Sets the angle offsets so that the arm's present pose reads as
    /// `angles_degrees`; reads the pose with a zero torque request (raw angles
    /// 0 when the reply fails).
    void adjust_angles(const Vector3& angles_degrees);
    /// Puts the base orientation back to its default. Sends nothing.
    void deactivate_orientation_sensor();
    /// Sets the link lengths (extension as its absolute value) and puts the
    /// base orientation back to its default. Sends nothing.
    void adjust_lengths(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2,
                        float extension);
    /// Sets the head, inner-arm and outer-arm gear ratios. Sends nothing.
    void adjust_gear_ratios(float head_gear_ratio_coeff, float inner_arm_gear_ratio_coeff,
                            float outer_arm_gear_ratio_coeff);

    // Split request and reply: one call sends, a later one reads.

    void SendDeviceWakeup();
    DeviceInfo ReceiveDeviceInfo();
    void RequestCurrent();
    /// Replaces `current` by the received currents; leaves it on failure.
    void ReceiveCurrent(Vector3& current);
    void SendForce(const Vector3& force);
    void SendJointTorques(const Vector3& joint_torque);
    void SendAngle(const Vector3& angle);
    void SendPosition(const Vector3& position);
    /// Replaces both by the received end-effector state; leaves them on failure.
    void ReceiveState(Vector3& position, Vector3& velocity);
    /// Replaces both by the received raw joint state; leaves them on failure.
    void ReceiveJointState(Vector3& joint_position, Vector3& joint_velocity);

    // For drivers that run the arm from a thread of their own (the haptic
    // loop). None of these sends anything or changes an operation above.

    /// Bytes of a whole end-effector or joint state reply, its header code
    /// included: what a driver waits to see queued before reading one.
    static std::size_t StateReplyLength();
    /// True when the last reply awaited for an end-effector or joint state
    /// (by the state commands, ReceiveState or ReceiveJointState) arrived
    /// whole; false after its fallback was returned.
    bool LastStateReceived() const { return last_state_received; }
    /// Marks the arm as driven by one driver; false, changing nothing, when
    /// one already has it. Any thread.
    bool ClaimForDriver() { return !driven.exchange(true); }
    /// Ends the claim of ClaimForDriver. Any thread.
    void ReleaseFromDriver() { driven.store(false); }
    /// True while a driver has the arm: other users must leave it alone.
    bool Driven() const { return driven.load(); }

private:
    bool last_state_received = false;
    std::atomic<bool> driven{false};

    void SendCode(uint8_t code);
    void SendFloats(uint8_t code, const float* values, std::size_t count);
    /// After a reply with another code: drains what a wait for kDrainLength
    /// bytes after the code takes, less what `frame` read with the code.
    void DrainAfter(const Frame& frame);
    /// Waits for `code` and its `length` payload bytes. True when the payload
    /// is in the receive buffer; after another code, drains and returns false.
    bool AwaitReply(uint8_t code, std::size_t length);
    /// The same for a parameter reply, whose selector is a second header byte.
    bool AwaitParameterReply(uint8_t selector);
    /// Writes `state` only when a whole reply with `code` arrived.
    bool AwaitState(uint8_t code, ArmillarState& state);
    UUID QueryParameter(uint8_t selector);
    ArmillarState Exchange(uint8_t request, const Vector3& values, uint8_t reply);
    Vector3 ReadRawJointAngles();
};

} // namespace Torvi::HardwareAPI::Devices
