#pragma once

#include "Torvi/HardwareAPI/devices/Vector3.hpp"
#include "Torvi/HardwareAPI/haptics/Effects.hpp"

#include <array>
#include <mutex>

namespace Torvi::HardwareAPI::Haptics {

/// How a MoveTo brings the hand to its target. Lengths in the arm's unit.
struct MoveToParameters {
    Vector3 target{};
    float stiffness = 0.0f; ///< force per unit of distance from the anchor, >= 0
    /// Force per unit of the hand's velocity relative to the anchor's, >= 0.
    float damping = 0.0f;
    float max_speed = 0.0f;   ///< the anchor's speed, length per second, > 0
    float tolerance = 0.001f; ///< how near the target the hand counts as there, >= 0
};

/// Throws std::invalid_argument for a non-finite number, a negative
/// stiffness, damping or tolerance, or a max_speed that is not above 0; the
/// argument is then unchanged.
void Validate(MoveToParameters& parameters);

/// A point of the anchor's path, in double: a float anchor moved by steps of
/// a few micrometres would drift by its rounding.
using AnchorPoint = std::array<double, 3>;

namespace ForceLaws {
/// The anchor moved toward `target` by at most `max_distance`, onto the
/// target itself when it is nearer than that.
AnchorPoint StepAnchor(const AnchorPoint& anchor, const Vector3& target, double max_distance);
/// F = stiffness * (anchor - position) + damping * (anchor_velocity - velocity).
Vector3 MovingSpring(const MoveToParameters& move, const AnchorPoint& anchor,
                     const AnchorPoint& anchor_velocity, const Vector3& position,
                     const Vector3& velocity);
} // namespace ForceLaws

/// What other threads may read of a MoveTo's last cycle.
struct MoveToProgress {
    Vector3 anchor{};     ///< where the spring pulls from (the origin before any cycle)
    bool arrived = false; ///< the anchor on the target and the hand within tolerance of it
};

/// A spring that brings the hand to a target: its anchor starts where the
/// hand is at the effect's first cycle (after each Restart) and travels in a
/// straight line to `target` at `max_speed`, with damping on the hand's
/// velocity relative to the anchor's. A changed target turns the anchor
/// toward it from where it is. The parameters may change from any thread
/// (ParametricEffect); the anchor belongs to the loop's thread, which
/// publishes a copy for Progress().
class MoveTo final : public ParametricEffect<MoveToParameters> {
public:
    /// Throws std::invalid_argument as Validate does.
    explicit MoveTo(MoveToParameters parameters) : ParametricEffect(parameters) {}

    /// The anchor and `arrived` of the last cycle. `arrived` is false until
    /// a cycle has seen the current target and tolerance, so that it never
    /// answers for a target set since. Any thread; holds a lock only for the
    /// copy.
    MoveToProgress Progress() const;

    /// The loop's thread: the next cycle anchors at the hand again.
    void Restart() override;
    /// The loop's thread: moves the anchor on by the cycle's time step,
    /// publishes it and returns the spring's force.
    Vector3 Render(const CycleInput& cycle) override;
    /// The force for this hand with the anchor standing where it is (no
    /// force before the first cycle). The loop's thread only.
    Vector3 Force(const Vector3& position, const Vector3& velocity) const override;

private:
    /// What the loop's thread publishes: the last cycle's progress and the
    /// parameters it was judged against.
    struct Published {
        MoveToProgress progress;
        Vector3 target{};
        float tolerance = 0.0f;
    };

    // The loop's thread only.
    bool anchored_ = false;
    AnchorPoint anchor_{};

    mutable std::mutex published_mutex_; // held only to copy
    Published published_;
};

} // namespace Torvi::HardwareAPI::Haptics
