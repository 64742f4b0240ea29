#pragma once

// The virtual arm's settings: its own mechanics as felt at the end effector
// and the simulated hand that may hold it. Plain values; Options fills them
// from the command line and ArmDynamics acts on them.

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <optional>

namespace Torvi::VirtualDevice {

using HardwareAPI::Devices::Vector3;

/// A hand holding the end effector: a spring and a damper in parallel
/// between the end effector and a hand target. The target stands still, or
/// moves as target + stroke * sin(2 pi stroke_hz t), with t the time since
/// the device started. The damper acts on the end effector's velocity
/// relative to the target's.
struct HandSettings {
    double stiffness_npm = 0.0;    ///< N/m
    double damping_nsm = 0.0;      ///< N·s/m
    std::optional<Vector3> target; ///< m; empty: the arm's home position
    Vector3 stroke{};              ///< m, the amplitude along each axis
    double stroke_hz = 0.0;        ///< Hz; 0 keeps the target still
};

struct ArmSettings {
    /// The arm's effective mass (kg) and damping (N·s/m) along z at the home
    /// position (ArmDynamics says how they vary elsewhere); empty: today's
    /// values, ArmDynamics::DefaultMassKg() and DefaultDampingNsm().
    std::optional<double> mass_kg;
    std::optional<double> damping_nsm;
    std::optional<HandSettings> hand; ///< empty: nobody holds the arm
};

} // namespace Torvi::VirtualDevice
