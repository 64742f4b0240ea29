#pragma once

// The arm as the host sees it over the wire: every request of the arm's
// protocol answered with its reply, from the state of ArmDynamics advanced to
// the moment the request arrived.

#include "ArmDynamics.hpp"
#include "DeviceModel.hpp"

#include <array>
#include <optional>

namespace Torvi::VirtualDevice {

/// Who the arm says it is.
struct ArmIdentity {
    uint16_t device_id;
    uint8_t model;
    uint8_t hardware_version;
    uint8_t firmware_version;
    std::array<uint8_t, 16> identifier; ///< also the device-info extension
    std::array<uint8_t, 16> firmware_version_bytes;
};

class VirtualArm : public DeviceModel {
public:
    // Telemetry.
    static constexpr double kTorqueConstant = 0.02;      ///< N·m per A
    static constexpr double kAmbientTemperature = 30.0;  ///< °C
    static constexpr double kHeatingPerSquareAmp = 0.5;  ///< °C above ambient per A² of current
    static constexpr double kThermalTimeConstant = 30.0; ///< s
    static constexpr uint8_t kPowered = 1;

    static ArmIdentity DefaultIdentity();

    /// An arm at rest in its rest pose; `model` replaces the model byte,
    /// `settings` its mechanics and the hand that holds it.
    VirtualArm(std::optional<uint8_t> model, Clock::time_point start,
               const ArmSettings& settings = {});

    RequestMeasure Measure(const uint8_t* pending, std::size_t available) const override;
    std::vector<Message> Answer(const Bytes& request, Clock::time_point now) override;

private:
    void AdvanceTo(Clock::time_point now);
    Bytes EndEffectorState() const;
    Bytes JointState() const;
    Bytes DeviceInfo() const;
    /// The reply to a parameter request; none for an unknown selector.
    std::optional<Bytes> Parameter(uint8_t selector) const;
    /// The reply to a request without payload: orientation, temperature,
    /// currents or power status.
    Bytes Telemetry(uint8_t request) const;
    /// Applies a command request's three values and returns the state reply.
    Bytes Command(uint8_t request, const Vector3& values);

    ArmIdentity identity;
    ArmDynamics dynamics;
    Clock::time_point last_update;
    double temperature = kAmbientTemperature;
};

} // namespace Torvi::VirtualDevice
