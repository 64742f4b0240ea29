#include "Torvi/HardwareAPI/haptics/MoveTo.hpp"

#include "haptics/ParameterChecks.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace Torvi::HardwareAPI::Haptics {

namespace {

using Checks::RequireFinite;
using Checks::RequireNonNegative;

AnchorPoint ToPoint(const Vector3& v) {
    return {static_cast<double>(v[0]), static_cast<double>(v[1]), static_cast<double>(v[2])};
}

Vector3 ToVector(const AnchorPoint& p) {
    return {static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])};
}

double Distance(const AnchorPoint& a, const AnchorPoint& b) {
    return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

} // namespace

void Validate(MoveToParameters& parameters) {
    RequireFinite(parameters.target, "target");
    RequireNonNegative(parameters.stiffness, "stiffness");
    RequireNonNegative(parameters.damping, "damping");
    RequireNonNegative(parameters.tolerance, "tolerance");
    RequireFinite(parameters.max_speed, "max_speed");
    if (!(parameters.max_speed > 0.0f)) {
        throw std::invalid_argument("max_speed must be above 0");
    }
}

namespace ForceLaws {

AnchorPoint StepAnchor(const AnchorPoint& anchor, const Vector3& target, double max_distance) {
    const AnchorPoint goal = ToPoint(target);
    const double distance = Distance(goal, anchor);
    if (distance <= max_distance) {
        return goal;
    }
    const double fraction = max_distance / distance;
    return {anchor[0] + (goal[0] - anchor[0]) * fraction,
            anchor[1] + (goal[1] - anchor[1]) * fraction,
            anchor[2] + (goal[2] - anchor[2]) * fraction};
}

Vector3 MovingSpring(const MoveToParameters& move, const AnchorPoint& anchor,
                     const AnchorPoint& anchor_velocity, const Vector3& position,
                     const Vector3& velocity) {
    Vector3 force{};
    for (std::size_t i = 0; i < force.size(); ++i) {
        force[i] = static_cast<float>(move.stiffness * (anchor[i] - position[i]) +
                                      move.damping * (anchor_velocity[i] - velocity[i]));
    }
    return force;
}

} // namespace ForceLaws

MoveToProgress MoveTo::Progress() const {
    Published published;
    {
        std::lock_guard<std::mutex> lock(published_mutex_);
        published = published_;
    }
    // A cycle that judged another target or tolerance says nothing about
    // these.
    const MoveToParameters now = Get();
    if (published.target != now.target || published.tolerance != now.tolerance) {
        published.progress.arrived = false;
    }
    return published.progress;
}

void MoveTo::Restart() {
    anchored_ = false;
    std::lock_guard<std::mutex> lock(published_mutex_);
    published_.progress.arrived = false;
}

Vector3 MoveTo::Render(const CycleInput& cycle) {
    const MoveToParameters parameters = Get();
    AnchorPoint anchor_velocity{};
    if (!anchored_) {
        anchor_ = ToPoint(cycle.position);
        anchored_ = true;
    } else {
        const AnchorPoint before = anchor_;
        anchor_ =
            ForceLaws::StepAnchor(anchor_, parameters.target, parameters.max_speed * cycle.step_s);
        if (cycle.step_s > 0.0) {
            for (std::size_t i = 0; i < anchor_.size(); ++i) {
                anchor_velocity[i] = (anchor_[i] - before[i]) / cycle.step_s;
            }
        }
    }
    const AnchorPoint target = ToPoint(parameters.target);
    const bool arrived = anchor_ == target && Distance(ToPoint(cycle.position), target) <=
                                                  static_cast<double>(parameters.tolerance);
    {
        std::lock_guard<std::mutex> lock(published_mutex_);
        published_ = {{ToVector(anchor_), arrived}, parameters.target, parameters.tolerance};
    }
    return ForceLaws::MovingSpring(parameters, anchor_, anchor_velocity, cycle.position,
                                   cycle.velocity);
}

Vector3 MoveTo::Force(const Vector3& position, const Vector3& velocity) const {
    if (!anchored_) {
        return {};
    }
    return ForceLaws::MovingSpring(Get(), anchor_, AnchorPoint{}, position, velocity);
}

} // namespace Torvi::HardwareAPI::Haptics
