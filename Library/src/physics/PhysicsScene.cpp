#include "Torvi/HardwareAPI/physics/PhysicsScene.hpp"

#include "Torvi/HardwareAPI/haptics/HapticLoop.hpp"
#include "physics/MujocoLibrary.hpp"
#include "physics/StepTimes.hpp"
#include "physics/TripleBuffer.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Torvi::HardwareAPI::Physics {

namespace {

void RequireFinite(double value, const char* name) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(name) + " must be a finite number");
    }
}

void RequireNonNegative(double value, const char* name) {
    RequireFinite(value, name);
    if (value < 0.0) {
        throw std::invalid_argument(std::string(name) + " must not be negative");
    }
}

Coupling Validated(const Coupling& coupling) {
    RequireNonNegative(coupling.stiffness, "stiffness");
    RequireNonNegative(coupling.damping, "damping");
    RequireFinite(coupling.workspace_scale, "workspace_scale");
    if (coupling.workspace_scale <= 0.0) {
        throw std::invalid_argument("workspace_scale must be positive");
    }
    for (const double component : coupling.workspace_offset) {
        RequireFinite(component, "workspace_offset");
    }
    return coupling;
}

std::string Number(double value) {
    std::ostringstream text;
    text.precision(4);
    text << value;
    return text.str();
}

/// A step the scene may take: positive and at most kLongestStep.
void RequireStep(double dt, const char* what) {
    if (!(dt > 0.0) || dt > PhysicsScene::kLongestStep) {
        throw std::invalid_argument(std::string(what) + " is " + Number(dt * 1000.0) +
                                    " ms; a scene steps by at most " +
                                    Number(PhysicsScene::kLongestStep * 1000.0) + " ms");
    }
}

void RequireStable(const Coupling& coupling, double mass, double dt, const char* what) {
    const double limit = PhysicsScene::StableStiffness(mass, dt, coupling.damping);
    if (!(coupling.stiffness < limit)) {
        throw std::invalid_argument(
            "stiffness " + Number(coupling.stiffness) + " N/m is more than the tool's mass of " +
            Number(mass) + " kg follows stably at " + what + " of " + Number(dt * 1000.0) +
            " ms with damping " + Number(coupling.damping) + " N*s/m: it must be below " +
            Number(std::max(limit, 0.0)) + " N/m (stiffness dt^2 + 2 damping dt < 4 mass)");
    }
}

/// The body `name` of `model`, a child of the world with a free joint.
int FindTool(const MujocoFunctions& f, const mjModel* model, const std::string& name) {
    const int body = f.name_to_id(model, mjOBJ_BODY, name.c_str());
    if (body < 0) {
        throw std::invalid_argument("the model has no body named '" + name + "'");
    }
    const bool free = body > 0 && model->body_jntnum[body] >= 1 &&
                      model->jnt_type[model->body_jntadr[body]] == mjJNT_FREE &&
                      model->body_parentid[body] == 0;
    if (!free) {
        throw std::invalid_argument("the tool '" + name +
                                    "' must be a body of the world with a free joint");
    }
    return body;
}

std::vector<double> StateOf(const MujocoFunctions& f, const mjModel* model, const mjData* data) {
    std::vector<double> state(static_cast<std::size_t>(f.state_size(model, kStateSignature)));
    f.get_state(model, data, state.data(), kStateSignature);
    return state;
}

/// MuJoCo's name of a geom type, as its XML writes it.
const char* GeomKind(int type) {
    static const std::pair<int, const char*> kKinds[] = {
        {mjGEOM_PLANE, "plane"},     {mjGEOM_HFIELD, "hfield"},       {mjGEOM_SPHERE, "sphere"},
        {mjGEOM_CAPSULE, "capsule"}, {mjGEOM_ELLIPSOID, "ellipsoid"}, {mjGEOM_CYLINDER, "cylinder"},
        {mjGEOM_BOX, "box"},         {mjGEOM_MESH, "mesh"},           {mjGEOM_SDF, "sdf"},
    };
    for (const auto& [value, name] : kKinds) {
        if (value == type) {
            return name;
        }
    }
    return "other";
}

} // namespace

/// What a followed body shows its meshes and what they push it with; the
/// lock is held only to copy.
struct PhysicsScene::BodyChannel {
    std::atomic<int> followers{0};
    std::mutex mutex;
    bool posed = false; ///< a pose was published since the body was first followed
    ScenePoint position{};
    std::array<double, 4> rotation{1.0, 0.0, 0.0, 0.0};
    ScenePoint force{};  ///< the pushes since the last step, scene frame, N
    ScenePoint moment{}; ///< their moment about the scene's origin, N*m
};

/// The engine and the scene's own simulation, which the loop's thread steps.
struct PhysicsScene::Engine {
    struct Published {
        std::vector<double> state;
        SceneSnapshot snapshot;
    };
    using ModelCopy = std::unique_ptr<mjModel, decltype(&::mj_deleteModel)>;
    using DataCopy = std::unique_ptr<mjData, decltype(&::mj_deleteData)>;

    Engine(std::unique_ptr<MujocoLibrary> opened, const mjModel* source_model,
           const mjData* source_data, int tool_body)
        : library(std::move(opened)), f(library->Functions()),
          model(f.copy_model(nullptr, source_model), f.delete_model),
          data(model ? f.make_data(model.get()) : nullptr, f.delete_data),
          pose_data(model ? f.make_data(model.get()) : nullptr, f.delete_data), tool(tool_body) {
        if (!model || !data || !pose_data) {
            throw std::bad_alloc();
        }
        f.copy_data(data.get(), model.get(), source_data);
        f.forward(model.get(), data.get()); // poses and contacts as the state has them
        const int joint = model->body_jntadr[tool];
        qpos = model->jnt_qposadr[joint];
        dof = model->jnt_dofadr[joint];
        const auto nv = static_cast<std::size_t>(model->nv);
        caller_forces.assign(data->qfrc_applied, data->qfrc_applied + nv);
        const std::vector<double> state = StateOf(f, model.get(), data.get());
        published = std::make_unique<TripleBuffer<Published>>(Published{state, Snapshot({})});
        reset_state = state;
        channels = std::make_unique<BodyChannel[]>(static_cast<std::size_t>(model->nbody));
    }

    SceneSnapshot Snapshot(const ScenePoint& force) const {
        const double* at = data->qpos + qpos;
        return {{at[0], at[1], at[2]}, force, steps, data->time};
    }

    std::unique_ptr<MujocoLibrary> library;
    const MujocoFunctions& f;
    ModelCopy model;
    DataCopy data;
    DataCopy pose_data; ///< where readers pose the bodies of a published state
    int tool = 0;
    int qpos = 0; ///< the tool's position in qpos
    int dof = 0;  ///< its translation in qvel and qfrc_applied
    /// qfrc_applied as the caller's state has it: the scene adds its own
    /// forces for each step and puts these back after it.
    std::vector<double> caller_forces;
    std::uint64_t steps = 0;
    StepTimes step_times;

    std::unique_ptr<TripleBuffer<Published>> published;
    mutable std::mutex reader_mutex; // one reader of `published` and pose_data at a time

    std::mutex reset_mutex; // held only to copy
    std::vector<double> reset_state;
    std::atomic<bool> reset_due{false};

    std::unique_ptr<BodyChannel[]> channels; // one per body
};

double PhysicsScene::StableStiffness(double mass, double dt, double damping) {
    return (4.0 * mass - 2.0 * damping * dt) / (dt * dt);
}

PhysicsScene::PhysicsScene(const std::string& library, const mjModel_* model, const mjData_* data,
                           const std::string& tool, const Coupling& coupling)
    : coupling_(Validated(coupling)), model_timestep_(model->opt.timestep) {
    auto opened = std::make_unique<MujocoLibrary>(library);
    const int body = FindTool(opened->Functions(), model, tool);
    RequireStep(model_timestep_, "the model's timestep");
    tool_mass_ = model->body_subtreemass[body];
    RequireStable(coupling_, tool_mass_, model_timestep_, "the model's timestep");
    engine_ = std::make_unique<Engine>(std::move(opened), model, data, body);
}

PhysicsScene::~PhysicsScene() = default;

ScenePoint PhysicsScene::CouplingForce(const Vector3& position, const Vector3& velocity) const {
    const Engine& e = *engine_;
    const double* tool_position = e.data->qpos + e.qpos;
    const double* tool_velocity = e.data->qvel + e.dof;
    const double scale = coupling_.workspace_scale;
    ScenePoint force{};
    for (std::size_t k = 0; k < 3; ++k) {
        const double hand = coupling_.workspace_offset[k] + scale * position[k];
        const double hand_velocity = scale * velocity[k];
        // The damper resists the tool's motion relative to the hand.
        force[k] = coupling_.stiffness * (hand - tool_position[k]) -
                   coupling_.damping * (tool_velocity[k] - hand_velocity);
    }
    return force;
}

namespace {

Vector3 Felt(const ScenePoint& force) {
    return {static_cast<float>(-force[0]), static_cast<float>(-force[1]),
            static_cast<float>(-force[2])};
}

} // namespace

double PhysicsScene::StepFor(double step_s) const {
    const double fixed = fixed_step_.load();
    if (fixed > 0.0) {
        return fixed;
    }
    return step_s > 0.0 ? std::min(step_s, model_timestep_) : 0.0;
}

Vector3 PhysicsScene::Render(const CycleInput& cycle) {
    if (busy_.exchange(true, std::memory_order_acquire)) {
        return {}; // a Reset() applied at once, or another loop, has it this cycle
    }
    TakeReset();
    const ScenePoint force = CouplingForce(cycle.position, cycle.velocity);
    const double dt = StepFor(cycle.step_s);
    if (dt > 0.0) {
        Step(force, dt);
    }
    Publish(force);
    busy_.store(false, std::memory_order_release);
    return Felt(force);
}

Vector3 PhysicsScene::Force(const Vector3& position, const Vector3& velocity) const {
    return Felt(CouplingForce(position, velocity));
}

void PhysicsScene::TakeReset() {
    Engine& e = *engine_;
    if (!e.reset_due.load(std::memory_order_acquire)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(e.reset_mutex);
        e.f.set_state(e.model.get(), e.data.get(), e.reset_state.data(), kStateSignature);
        e.reset_due.store(false);
    }
    std::copy(e.data->qfrc_applied, e.data->qfrc_applied + e.model->nv, e.caller_forces.begin());
    e.f.forward(e.model.get(), e.data.get());
}

void PhysicsScene::Step(const ScenePoint& force, double dt) {
    Engine& e = *engine_;
    mjModel* const model = e.model.get();
    mjData* const data = e.data.get();
    double* const applied = data->qfrc_applied;
    for (std::size_t k = 0; k < 3; ++k) {
        applied[e.dof + static_cast<int>(k)] += force[k];
    }
    const ScenePoint origin{};
    for (int body = 1; body < model->nbody; ++body) {
        BodyChannel& channel = e.channels[static_cast<std::size_t>(body)];
        if (channel.followers.load(std::memory_order_relaxed) == 0) {
            continue;
        }
        ScenePoint push{};
        ScenePoint moment{};
        {
            std::lock_guard<std::mutex> lock(channel.mutex);
            std::swap(push, channel.force);
            std::swap(moment, channel.moment);
        }
        if (push != origin || moment != origin) {
            e.f.apply_force(model, data, push.data(), moment.data(), origin.data(), body, applied);
        }
    }
    model->opt.timestep = dt;
    const auto before = std::chrono::steady_clock::now();
    e.f.step(model, data);
    const std::chrono::duration<float, std::micro> took = std::chrono::steady_clock::now() - before;
    std::copy(e.caller_forces.begin(), e.caller_forces.end(), applied);
    ++e.steps;
    e.step_times.Add(took.count());
}

void PhysicsScene::Publish(const ScenePoint& force) {
    Engine& e = *engine_;
    auto& slot = e.published->Back();
    e.f.get_state(e.model.get(), e.data.get(), slot.state.data(), kStateSignature);
    slot.snapshot = e.Snapshot(force);
    e.published->Publish();
    for (int body = 1; body < e.model->nbody; ++body) {
        BodyChannel& channel = e.channels[static_cast<std::size_t>(body)];
        if (channel.followers.load(std::memory_order_relaxed) == 0) {
            continue;
        }
        const double* position = e.data->xpos + std::ptrdiff_t{3} * body;
        const double* rotation = e.data->xquat + std::ptrdiff_t{4} * body;
        std::lock_guard<std::mutex> lock(channel.mutex);
        std::copy(position, position + 3, channel.position.begin());
        std::copy(rotation, rotation + 4, channel.rotation.begin());
        channel.posed = true;
    }
}

SceneSnapshot PhysicsScene::Latest() const {
    std::lock_guard<std::mutex> lock(engine_->reader_mutex);
    return engine_->published->Front().snapshot;
}

double PhysicsScene::StepUs(double fraction) const {
    return engine_->step_times.Percentile(fraction);
}

void PhysicsScene::RequireShape(const mjModel_* model) const {
    const mjModel& ours = *engine_->model;
    const int state = engine_->f.state_size(model, kStateSignature);
    if (model->nq != ours.nq || model->nv != ours.nv || model->nbody != ours.nbody ||
        state != engine_->f.state_size(&ours, kStateSignature)) {
        throw std::invalid_argument(
            "the data is not of the scene's model: nq " + std::to_string(model->nq) + ", nv " +
            std::to_string(model->nv) + ", nbody " + std::to_string(model->nbody) +
            " where the scene has nq " + std::to_string(ours.nq) + ", nv " +
            std::to_string(ours.nv) + ", nbody " + std::to_string(ours.nbody));
    }
}

void PhysicsScene::Sync(const mjModel_* model, mjData_* data) const {
    RequireShape(model);
    const Engine& e = *engine_;
    {
        std::lock_guard<std::mutex> lock(e.reader_mutex);
        e.f.set_state(model, data, e.published->Front().state.data(), kStateSignature);
    }
    e.f.forward(model, data);
}

std::vector<SceneGeom> PhysicsScene::Geoms() const {
    // Only the step's timestep is ever written to the model after it is
    // made, so its geoms are read here without a lock.
    const mjModel& m = *engine_->model;
    std::vector<SceneGeom> geoms(static_cast<std::size_t>(m.ngeom));
    for (int g = 0; g < m.ngeom; ++g) {
        SceneGeom& geom = geoms[static_cast<std::size_t>(g)];
        geom.kind = GeomKind(m.geom_type[g]);
        geom.body = m.geom_bodyid[g];
        std::copy_n(m.geom_size + std::ptrdiff_t{3} * g, 3, geom.size.begin());
        std::copy_n(m.geom_pos + std::ptrdiff_t{3} * g, 3, geom.pose.position.begin());
        std::copy_n(m.geom_quat + std::ptrdiff_t{4} * g, 4, geom.pose.rotation.begin());
        std::copy_n(m.geom_rgba + std::ptrdiff_t{4} * g, 4, geom.rgba.begin());
        const int mesh = m.geom_dataid[g];
        if (m.geom_type[g] == mjGEOM_MESH && mesh >= 0) {
            const float* vertices = m.mesh_vert + std::ptrdiff_t{3} * m.mesh_vertadr[mesh];
            const int* faces = m.mesh_face + std::ptrdiff_t{3} * m.mesh_faceadr[mesh];
            geom.vertices.assign(vertices, vertices + std::ptrdiff_t{3} * m.mesh_vertnum[mesh]);
            geom.faces.assign(faces, faces + std::ptrdiff_t{3} * m.mesh_facenum[mesh]);
        }
    }
    return geoms;
}

std::vector<BodyPose> PhysicsScene::BodyPoses() const {
    const Engine& e = *engine_;
    const mjModel* const model = e.model.get();
    std::vector<BodyPose> poses(static_cast<std::size_t>(model->nbody));
    std::lock_guard<std::mutex> lock(e.reader_mutex);
    mjData* const data = e.pose_data.get();
    e.f.set_state(model, data, e.published->Front().state.data(), kStateSignature);
    e.f.kinematics(model, data);
    for (std::size_t body = 0; body < poses.size(); ++body) {
        std::copy_n(data->xpos + 3 * body, 3, poses[body].position.begin());
        std::copy_n(data->xquat + 4 * body, 4, poses[body].rotation.begin());
    }
    return poses;
}

void PhysicsScene::Reset(const mjModel_* model, const mjData_* data) {
    RequireShape(model);
    Engine& e = *engine_;
    {
        std::lock_guard<std::mutex> lock(e.reset_mutex);
        e.f.get_state(model, data, e.reset_state.data(), kStateSignature);
        e.reset_due.store(true, std::memory_order_release);
    }
    // No loop steps it: the state is the scene's now, for Sync() and Latest().
    if (!InRunningLoop() && !busy_.exchange(true, std::memory_order_acquire)) {
        TakeReset();
        Publish({});
        busy_.store(false, std::memory_order_release);
    }
}

bool PhysicsScene::InRunningLoop() const {
    std::lock_guard<std::mutex> lock(owner_mutex_);
    return owner_ != nullptr && owner_->Running();
}

void PhysicsScene::Joining(const Haptics::HapticLoop& loop) {
    std::lock_guard<std::mutex> lock(owner_mutex_);
    if (owner_ != nullptr && owner_ != &loop) {
        throw std::invalid_argument(
            "the scene is in another loop; a scene belongs to one loop at a time");
    }
    double step = 0.0;
    if (const std::optional<double> rate = loop.RateHz()) {
        step = 1.0 / *rate;
        RequireStep(step, "the loop's period");
        RequireStable(coupling_, tool_mass_, step, "the loop's period");
    }
    owner_ = &loop;
    fixed_step_.store(step);
}

void PhysicsScene::Left(const Haptics::HapticLoop& loop) {
    std::lock_guard<std::mutex> lock(owner_mutex_);
    if (owner_ == &loop) {
        owner_ = nullptr;
        fixed_step_.store(0.0);
    }
}

/// A body posing a mesh: what Anchor() gives Haptics::Mesh::Follow.
class PhysicsScene::BodyAnchor final : public Haptics::MeshAnchor {
public:
    BodyAnchor(std::shared_ptr<PhysicsScene> scene, int body)
        : scene_(std::move(scene)), channel_(scene_->engine_->channels[body]) {
        std::lock_guard<std::mutex> lock(channel_.mutex);
        if (channel_.followers.fetch_add(1) == 0) {
            channel_.posed = false; // what it holds is from before, if anything
        }
    }
    ~BodyAnchor() override { channel_.followers.fetch_sub(1); }

    BodyAnchor(const BodyAnchor&) = delete;
    BodyAnchor& operator=(const BodyAnchor&) = delete;

    bool Pose(Vector3& position, Devices::Quaternion& rotation) override {
        const Coupling& coupling = scene_->coupling_;
        std::lock_guard<std::mutex> lock(channel_.mutex);
        if (!channel_.posed) {
            return false;
        }
        for (std::size_t k = 0; k < 3; ++k) {
            position[k] = static_cast<float>((channel_.position[k] - coupling.workspace_offset[k]) /
                                             coupling.workspace_scale);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            rotation[k] = static_cast<float>(channel_.rotation[k]);
        }
        return true;
    }

    void Push(const Vector3& force, const Vector3& contact) override {
        const Coupling& coupling = scene_->coupling_;
        ScenePoint point{};
        ScenePoint reaction{};
        for (std::size_t k = 0; k < 3; ++k) {
            point[k] = coupling.workspace_offset[k] + coupling.workspace_scale * contact[k];
            reaction[k] = -static_cast<double>(force[k]);
        }
        const ScenePoint moment{point[1] * reaction[2] - point[2] * reaction[1],
                                point[2] * reaction[0] - point[0] * reaction[2],
                                point[0] * reaction[1] - point[1] * reaction[0]};
        std::lock_guard<std::mutex> lock(channel_.mutex);
        for (std::size_t k = 0; k < 3; ++k) {
            channel_.force[k] += reaction[k];
            channel_.moment[k] += moment[k];
        }
    }

private:
    std::shared_ptr<PhysicsScene> scene_;
    BodyChannel& channel_;
};

std::shared_ptr<Haptics::MeshAnchor> PhysicsScene::Anchor(const std::string& body) {
    const int id = engine_->f.name_to_id(engine_->model.get(), mjOBJ_BODY, body.c_str());
    if (id <= 0) {
        throw std::invalid_argument(id == 0 ? std::string("the world cannot be followed")
                                            : "the model has no body named '" + body + "'");
    }
    return std::make_shared<BodyAnchor>(shared_from_this(), id);
}

} // namespace Torvi::HardwareAPI::Physics
