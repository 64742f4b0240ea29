#pragma once

#include "Torvi/HardwareAPI/devices/Vector3.hpp"
#include "Torvi/HardwareAPI/haptics/Effects.hpp"
#include "Torvi/HardwareAPI/haptics/Mesh.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// MuJoCo's model and data, as its C headers declare them (mjModel and
// mjData are these structs): this header needs none of MuJoCo's.
struct mjModel_;
struct mjData_;

namespace Torvi::HardwareAPI::Physics {

using Haptics::CycleInput;
using Haptics::Vector3;

/// A point or vector of the scene, in metres (or newtons), double.
using ScenePoint = std::array<double, 3>;

/// How the hand is coupled to the scene's tool. The scene's frame is the
/// model's world frame, in metres; the arm's hand maps into it as
/// `workspace_offset + workspace_scale * hand` (its velocity times
/// `workspace_scale`).
struct Coupling {
    double stiffness = 0.0;        ///< N/m of the spring between the mapped hand and the tool, >= 0
    double damping = 0.0;          ///< N*s/m on their relative velocity, >= 0
    double workspace_scale = 1.0;  ///< scene metres per metre of the arm, > 0
    ScenePoint workspace_offset{}; ///< where the arm's origin is in the scene, m
};

/// What other threads may read of a scene's last step.
struct SceneSnapshot {
    ScenePoint tool_position{}; ///< the tool body's origin, scene frame, m
    ScenePoint
        coupling_force{};    ///< the spring's force on the tool, N; the arm is given its negative
    std::uint64_t steps = 0; ///< steps since the scene was made
    double time = 0.0;       ///< the simulation's time, s
};

/// A body's pose in the scene's frame.
struct BodyPose {
    ScenePoint position{};
    std::array<double, 4> rotation{1.0, 0.0, 0.0, 0.0}; ///< w, x, y, z
};

/// One geom of the scene's model, as a view draws it: its shape in its
/// body's frame.
struct SceneGeom {
    std::string kind;  ///< MuJoCo's name of its type: "sphere", "box", "mesh", ...
    int body = 0;      ///< the body it moves with (0: the world)
    ScenePoint size{}; ///< MuJoCo's sizes for the type: radii, half-lengths, m
    BodyPose pose;     ///< in the body's frame
    std::array<float, 4> rgba{};
    std::vector<float> vertices; ///< a mesh geom's, x y z each, in the geom's frame; else none
    std::vector<int> faces;      ///< a mesh geom's triangles, three indices into its vertices
};

/// A MuJoCo simulation stepped by a HapticLoop's thread, one step per cycle,
/// with the hand coupled to a tool body of the model by a spring and damper:
///
///   F = stiffness * (hand in scene - tool) - damping * (tool velocity - hand velocity in scene)
///
/// (the damper resists the tool's motion relative to the hand; with the
/// opposite sign it would feed energy into both)
/// acts on the tool at its origin inside the simulation, the model takes one
/// step, and the loop is given -F (in newtons: the arm's frame is the scene's
/// turned by nothing, only moved and scaled). A loop at a fixed rate steps
/// by its period; a free-running one by the measured time since the last
/// cycle, at most the model's own timestep.
///
/// The scene works on its own copies of the model and data, made by the
/// constructor: the caller's stay theirs. Sync() copies the newest state
/// out whole, Reset() copies a state in; both on the caller's thread, never
/// making the loop's thread wait. The scene's own forces (the coupling, the
/// pushes of meshes) are applied inside each step and are not part of the
/// state that Sync() gives or Reset() takes.
///
/// Stability: the tool (the mass m of its body's subtree) under an explicit
/// spring and damper at a step dt stays stable only while
/// stiffness * dt^2 + 2 * damping * dt < 4 * m, without damping
/// stiffness < 4 m / dt^2; steps above kLongestStep are refused too.
///
/// The engine is loaded from `library` at run time (MujocoLibrary), and must
/// be the version the library was built against. A scene belongs to one loop
/// at a time.
class PhysicsScene final : public Haptics::Effect,
                           public std::enable_shared_from_this<PhysicsScene> {
public:
    /// The longest step a scene takes (a model's timestep, a loop's period), s.
    static constexpr double kLongestStep = 0.005;

    /// Copies `model` and `data` (which must be the model's: the caller
    /// checks) and couples the hand to the body `tool`. Throws
    /// std::runtime_error when the library cannot be loaded or is of another
    /// version, std::invalid_argument, before copying anything, for a
    /// coupling that is not finite, a negative stiffness or damping, a scale
    /// that is not positive, no body `tool`, a tool without a free joint, a
    /// timestep that is not positive or above kLongestStep, or a stiffness
    /// the tool cannot follow stably at the model's timestep.
    PhysicsScene(const std::string& library, const mjModel_* model, const mjData_* data,
                 const std::string& tool, const Coupling& coupling);
    ~PhysicsScene() override;

    PhysicsScene(const PhysicsScene&) = delete;
    PhysicsScene& operator=(const PhysicsScene&) = delete;

    /// The largest stiffness (exclusive) that a body of `mass` follows stably
    /// at a step of `dt` with `damping`: (4 m - 2 damping dt) / dt^2.
    static double StableStiffness(double mass, double dt, double damping);

    /// The loop's thread: the simulation goes on from its state (Reset()
    /// starts a trial afresh).
    void Restart() override {}
    /// The loop's thread: applies a pending Reset(), steps once with the
    /// coupling force, publishes the state and returns -F.
    Vector3 Render(const CycleInput& cycle) override;
    /// -F for this hand with the tool where it is, without a step. The
    /// loop's thread only.
    Vector3 Force(const Vector3& position, const Vector3& velocity) const override;
    /// Refuses (std::invalid_argument) a loop other than the one the scene
    /// is in, and a fixed-rate loop whose period is above kLongestStep or at
    /// which the coupling is not stable; a fixed rate's period becomes the
    /// step.
    void Joining(const Haptics::HapticLoop& loop) override;
    void Left(const Haptics::HapticLoop& loop) override;

    /// The last step's snapshot (before any: the state the scene was made
    /// from). Any thread; never makes the loop's thread wait.
    SceneSnapshot Latest() const;
    /// The `fraction` percentile (0.5: the median) of mj_step's duration
    /// over the last 1024 steps, microseconds; 0 before any.
    double StepUs(double fraction) const;
    /// Sets `data` (made for `model`) to the newest state and runs
    /// mj_forward on it there, so that its positions, contacts and the rest
    /// are consistent. Throws std::invalid_argument when `model` is not
    /// shaped as the scene's (its degrees of freedom, bodies or state size).
    void Sync(const mjModel_* model, mjData_* data) const;
    /// The model's geoms, in its order. Any thread.
    std::vector<SceneGeom> Geoms() const;
    /// Every body's pose (the world's first) at the newest state, posed on
    /// the caller's thread from a copy of that state, so that the loop's
    /// thread does no more for it. Any thread; never makes the loop wait.
    std::vector<BodyPose> BodyPoses() const;
    /// The state of `data` (made for `model`) becomes the scene's: taken by
    /// the loop's thread at its next cycle, or at once when the scene is in
    /// no running loop. Throws as Sync() does.
    void Reset(const mjModel_* model, const mjData_* data);

    /// An anchor for Haptics::Mesh::Follow: poses the mesh by `body` each
    /// cycle ((body position - offset) / scale, its orientation) and applies
    /// the reaction of the mesh's contact force to the body at the contact
    /// point, at the scene's next step. The anchor keeps the scene alive.
    /// Throws std::invalid_argument when there is no such body, or it is
    /// the world.
    std::shared_ptr<Haptics::MeshAnchor> Anchor(const std::string& body);

    const Coupling& CouplingSet() const { return coupling_; }
    /// The model's own timestep, s.
    double ModelTimestep() const { return model_timestep_; }
    /// The tool's mass (its body's subtree), kg.
    double ToolMass() const { return tool_mass_; }

private:
    struct Engine;
    struct BodyChannel;
    class BodyAnchor;

    /// The coupling force on the tool for this hand (arm frame), from the
    /// simulation's current state.
    ScenePoint CouplingForce(const Vector3& position, const Vector3& velocity) const;
    /// The step for a cycle `step_s` after the last: the fixed rate's
    /// period, or at most the model's timestep. 0: no step.
    double StepFor(double step_s) const;
    /// The loop's thread (or a caller while no loop steps): a pending
    /// Reset() becomes the state.
    void TakeReset();
    /// The coupling and the meshes' pushes added to the caller's applied
    /// forces, one timed step, the caller's forces back.
    void Step(const ScenePoint& force, double dt);
    /// The state and snapshot of the last step to the readers, the poses to
    /// the anchors.
    void Publish(const ScenePoint& force);
    void RequireShape(const mjModel_* model) const;
    /// Whether a loop that runs holds the scene; owner_mutex_ not held.
    bool InRunningLoop() const;

    const Coupling coupling_;
    double model_timestep_ = 0.0;
    double tool_mass_ = 0.0;
    std::unique_ptr<Engine> engine_;

    // Set by Render and by a Reset() applied at once: whoever steps or
    // changes the simulation holds it, so that two never do at a time.
    std::atomic<bool> busy_{false};
    std::atomic<double> fixed_step_{0.0}; // a fixed-rate loop's period; 0: free-running

    mutable std::mutex owner_mutex_; // callers' threads only
    const Haptics::HapticLoop* owner_ = nullptr;
};

} // namespace Torvi::HardwareAPI::Physics
