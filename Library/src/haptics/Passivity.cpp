#include "Torvi/HardwareAPI/haptics/Passivity.hpp"

#include "haptics/Geometry.hpp"

#include <cmath>
#include <stdexcept>

namespace Torvi::HardwareAPI::Haptics {

using Geometry::Dot;
using Geometry::FromFloats;

double PassiveStiffness(double rate_hz, double device_damping_nsm, double wall_damping_nsm) {
    if (!std::isfinite(rate_hz) || rate_hz <= 0.0) {
        throw std::invalid_argument("rate_hz must be a positive finite number");
    }
    if (!std::isfinite(device_damping_nsm) || device_damping_nsm < 0.0) {
        throw std::invalid_argument("device_damping must be a finite number, not negative");
    }
    if (!std::isfinite(wall_damping_nsm)) {
        throw std::invalid_argument("wall_damping must be a finite number");
    }
    // b > K T / 2 + |B|  <=>  K < 2 (b - |B|) / T
    const double margin = device_damping_nsm - std::fabs(wall_damping_nsm);
    return margin > 0.0 ? 2.0 * margin * rate_hz : 0.0;
}

Vector3 PassivityController::Apply(const PassivityCycle& cycle, const Vector3& force) {
    if (seen_cycle_) {
        energy_j_ += Dot(FromFloats(last_rendered_force_),
                         FromFloats(cycle.position) - FromFloats(last_position_));
    }
    seen_cycle_ = true;
    last_position_ = cycle.position;
    last_rendered_force_ = cycle.rendered_force;

    // The damping of the cycle in flight will take out about what it was set
    // to; only what remains beyond that is this cycle's to dissipate.
    const double excess_j = energy_j_ - in_flight_j_;
    damping_nsm_ = 0.0;
    in_flight_j_ = 0.0;
    const double force_norm = Geometry::Norm(FromFloats(force));
    if (!(excess_j > 0.0) || !(cycle.hold_s > 0.0) || !(force_norm > 0.0)) {
        return force;
    }
    // Only motion along the rendered force exchanges energy with it, so the
    // damping brakes the velocity's component along that force and leaves
    // the other directions, along which the arm may be far lighter, alone.
    const double along_mps = Dot(FromFloats(cycle.velocity), FromFloats(force)) / force_norm;
    const double reach_j = along_mps * along_mps * cycle.hold_s; // J per N·s/m of damping
    const double most_nsm = kDampingMassKg / cycle.hold_s;
    damping_nsm_ = excess_j >= most_nsm * reach_j ? most_nsm : excess_j / reach_j;
    in_flight_j_ = damping_nsm_ * reach_j;
    dissipated_j_ += in_flight_j_;
    ++active_cycles_;
    const auto brake = static_cast<float>(damping_nsm_ * along_mps / force_norm);
    return {force[0] - brake * force[0], force[1] - brake * force[1], force[2] - brake * force[2]};
}

void PassivityController::Restart() { *this = PassivityController{}; }

} // namespace Torvi::HardwareAPI::Haptics
