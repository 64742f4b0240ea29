#pragma once

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <cstdint>

namespace Torvi::HardwareAPI::Haptics {

using Devices::Vector3;

/// The largest stiffness (N/m) of a wall with damping `wall_damping_nsm`
/// (N·s/m) that a loop at `rate_hz` renders passively on a device whose own
/// damping is `device_damping_nsm`: the bound b > K T / 2 + |B| solved for K,
/// 2 (b - |B|) / T, and 0 when the wall's damping alone takes up the
/// device's. Throws std::invalid_argument for a rate that is not a positive
/// finite number, a device damping that is negative or not finite, and a
/// wall damping that is not finite.
double PassiveStiffness(double rate_hz, double device_damping_nsm, double wall_damping_nsm = 0.0);

/// What a passivity controller knows of one cycle, from the last reply.
struct PassivityCycle {
    Vector3 position{}; ///< the hand's, m
    Vector3 velocity{}; ///< the hand's, m/s
    /// What of the force sent with the last request the loop rendered (N): the
    /// force sent less the program's external force, which is the program's
    /// own push and not the rendering's.
    Vector3 rendered_force{};
    double hold_s = 0.0; ///< how long the force about to be sent will be held, s
};

/// The time-domain passivity observer and controller of one loop.
///
/// Sign convention (every other place refers to this one): energy is the
/// work done on the hand by the force the loop rendered, in J; positive
/// means the rendering has given the hand more energy than it took from it.
///
/// The observer adds, each cycle, the work of the force rendered in the
/// cycle before over the displacement that followed it (the force held
/// between two replies times the distance between them). Its sum is the
/// energy the rendering has exchanged with the hand since the loop started;
/// a passive rendering keeps it at or below zero.
///
/// When the sum, less what the controller's damping of the cycle in flight
/// will still take out, shows net output, the controller adds a damping
/// force -alpha v_f on the hand's velocity along the rendered force (v_f,
/// the only motion that exchanges energy with it), with alpha chosen to
/// dissipate exactly that excess over one period (alpha |v_f|^2 T =
/// excess), at most kDampingMassKg / T; a hand that barely moves gets that
/// maximum, never a division by its vanishing speed. Otherwise, and when
/// nothing is rendered, the force passes unchanged, bit for bit.
///
/// Used on the loop's thread alone: nothing here allocates, locks or throws.
class PassivityController {
public:
    /// What bounds the damping the controller adds in one cycle: at most
    /// kDampingMassKg / T N·s/m for a period of T seconds (50 at 1 kHz, 12.5
    /// at 250 Hz). The damping force acts a cycle after the reply whose
    /// velocity it brakes, and such a damper on a moving mass m rings once
    /// its damping times T nears m; the bound keeps it at less than half of
    /// that for an arm whose moving mass is 0.1 kg or more.
    static constexpr double kDampingMassKg = 0.05;

    /// `force` with the controller's damping for `cycle` added, the observer
    /// updated first.
    Vector3 Apply(const PassivityCycle& cycle, const Vector3& force);
    /// Forgets the observed energy and the last cycle: a new start.
    void Restart();

    /// The observer's sum after the last Apply(), J.
    double EnergyJ() const { return energy_j_; }
    /// The damping the last Apply() added, N·s/m; 0 when none.
    double DampingNsm() const { return damping_nsm_; }
    /// The energy the controller's damping has been set to dissipate since
    /// the last Restart(), J.
    double DissipatedJ() const { return dissipated_j_; }
    /// Cycles since the last Restart() in which the controller added damping.
    std::uint64_t ActiveCycles() const { return active_cycles_; }

private:
    bool seen_cycle_ = false; ///< a cycle before this one to measure from
    Vector3 last_position_{};
    Vector3 last_rendered_force_{};
    double energy_j_ = 0.0;
    double in_flight_j_ = 0.0; ///< what the last damping will dissipate, not yet observed
    double damping_nsm_ = 0.0;
    double dissipated_j_ = 0.0;
    std::uint64_t active_cycles_ = 0;
};

} // namespace Torvi::HardwareAPI::Haptics
