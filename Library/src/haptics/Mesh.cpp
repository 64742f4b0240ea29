#include "Torvi/HardwareAPI/haptics/Mesh.hpp"

#include "haptics/ParameterChecks.hpp"
#include "haptics/ProxySolver.hpp"
#include "haptics/Solid.hpp"
#include "haptics/TriangleTree.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Torvi::HardwareAPI::Haptics {

using Checks::RequireFiniteComponents;
using Checks::RequireNonNegative;
using Geometry::FromFloats;
using Geometry::ToFloats;
using Geometry::Vec3d;

namespace {

/// The mesh's pose as a rotation matrix and a translation, in double.
class Frame {
public:
    explicit Frame(const MeshParameters& p) : origin_(FromFloats(p.position)) {
        const double w = p.rotation[0], x = p.rotation[1], y = p.rotation[2], z = p.rotation[3];
        rows_ = {Vec3d{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                 Vec3d{2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                 Vec3d{2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
    }
    /// A direction of the mesh's frame in the arm's.
    Vec3d ToArm(const Vec3d& v) const {
        return {Dot(rows_[0], v), Dot(rows_[1], v), Dot(rows_[2], v)};
    }
    /// A direction of the arm's frame in the mesh's (the transpose).
    Vec3d ToMesh(const Vec3d& v) const { return rows_[0] * v.x + rows_[1] * v.y + rows_[2] * v.z; }
    Vec3d PointToArm(const Vec3d& p) const { return ToArm(p) + origin_; }
    Vec3d PointToMesh(const Vec3d& p) const { return ToMesh(p - origin_); }

private:
    Vec3d origin_;
    std::array<Vec3d, 3> rows_{};
};

std::vector<Geometry::Triangle> Triangles(const std::vector<Vector3>& vertices,
                                          const std::vector<Mesh::Face>& faces) {
    if (vertices.empty()) throw std::invalid_argument("a mesh needs at least one vertex");
    if (faces.empty()) throw std::invalid_argument("a mesh needs at least one face");
    for (std::size_t i = 0; i < vertices.size(); ++i) {
        for (const float coordinate : vertices[i]) {
            if (!std::isfinite(coordinate)) {
                throw std::invalid_argument("vertex " + std::to_string(i) +
                                            " has a coordinate that is not a finite number");
            }
        }
    }
    const auto count = static_cast<std::int64_t>(vertices.size());
    std::vector<Geometry::Triangle> triangles;
    triangles.reserve(faces.size());
    for (std::size_t f = 0; f < faces.size(); ++f) {
        for (const std::int64_t index : faces[f]) {
            if (index < 0 || index >= count) {
                throw std::invalid_argument("face " + std::to_string(f) + " refers to vertex " +
                                            std::to_string(index) + ", outside 0 to " +
                                            std::to_string(count - 1));
            }
        }
        const Geometry::Triangle triangle{vertices[static_cast<std::size_t>(faces[f][0])],
                                          vertices[static_cast<std::size_t>(faces[f][1])],
                                          vertices[static_cast<std::size_t>(faces[f][2])]};
        if (!Geometry::Degenerate(triangle)) triangles.push_back(triangle);
    }
    if (triangles.empty()) {
        throw std::invalid_argument("every face of the mesh has zero area");
    }
    return triangles;
}

/// Coulomb friction: neither coefficient negative, and the sliding one never
/// above the one that holds the proxy still.
void RequireFriction(float static_friction, float dynamic_friction) {
    RequireNonNegative(static_friction, "static_friction");
    RequireNonNegative(dynamic_friction, "dynamic_friction");
    if (dynamic_friction > static_friction) {
        throw std::invalid_argument("dynamic_friction must not exceed static_friction");
    }
}

/// Scales a finite, non-zero quaternion to unit length.
void NormaliseRotation(Quaternion& rotation) {
    RequireFiniteComponents(rotation, "rotation");
    double norm = 0.0;
    for (const float component : rotation) {
        norm += static_cast<double>(component) * component;
    }
    norm = std::sqrt(norm);
    if (!(norm > 0.0) || !std::isfinite(norm)) {
        throw std::invalid_argument("rotation must be a non-zero quaternion");
    }
    for (float& component : rotation) {
        component = static_cast<float>(component / norm);
    }
}

} // namespace

void Validate(MeshParameters& parameters) {
    RequireNonNegative(parameters.stiffness, "stiffness");
    RequireNonNegative(parameters.damping, "damping");
    RequireFriction(parameters.static_friction, parameters.dynamic_friction);
    RequireFiniteComponents(parameters.position, "position");
    NormaliseRotation(parameters.rotation);
}

struct Mesh::LoopSide {
    std::optional<Geometry::Proxy> proxy; ///< empty until the first cycle after a restart
    /// The hand is inside the closed solid and the proxy did not see it enter:
    /// the proxy is the hand, and no force is felt, until the hand is out.
    bool inside = false;
};

struct Mesh::Step {
    Geometry::Proxy proxy;
    bool inside = false;
    Vector3 proxy_in_arm{};
    Vector3 force{};
};

Mesh::Mesh(const std::vector<Vector3>& vertices, const std::vector<Face>& faces,
           MeshParameters parameters)
    : ParametricEffect(parameters),
      tree_(std::make_unique<const Geometry::TriangleTree>(Triangles(vertices, faces))),
      closed_(Geometry::Closed(vertices, faces)), loop_side_(std::make_unique<LoopSide>()) {
    const Geometry::Box box = tree_->Bounds();
    bounds_ = {box.low, box.high};
}

Mesh::~Mesh() = default;

std::size_t Mesh::TriangleCount() const { return tree_->Size(); }

std::vector<float> Mesh::TriangleCorners() const {
    constexpr std::size_t kNumbersPerTriangle = 9;
    std::vector<float> corners;
    corners.reserve(tree_->Size() * kNumbersPerTriangle);
    for (std::uint32_t i = 0; i < tree_->Size(); ++i) {
        const Geometry::Triangle& triangle = tree_->At(i);
        for (const Vector3* corner : {&triangle.a, &triangle.b, &triangle.c}) {
            corners.insert(corners.end(), corner->begin(), corner->end());
        }
    }
    return corners;
}

std::size_t Mesh::MemoryBytes() const { return tree_->MemoryBytes(); }

MeshContact Mesh::Contact() const {
    std::lock_guard<std::mutex> lock(contact_mutex_);
    return contact_;
}

void Mesh::Restart() {
    loop_side_->proxy.reset();
    loop_side_->inside = false;
}

std::optional<Geometry::Proxy> Mesh::Previous(const Vec3d& hand) const {
    const LoopSide& side = *loop_side_;
    if (side.proxy.has_value() && !side.inside) return side.proxy;
    // Inside, the proxy is the hand of the last cycle: while the hand's path
    // meets no triangle it has not left.
    if (side.inside && side.proxy.has_value() && !tree_->FirstHit(side.proxy->position, hand)) {
        return std::nullopt;
    }
    // The first cycle, or a hand inside that met the surface: nothing tells
    // which side of it the hand is on but the solid itself.
    const Geometry::Proxy start = Geometry::StartingProxy(*tree_, hand);
    const bool at_hand =
        start.position.x == hand.x && start.position.y == hand.y && start.position.z == hand.z;
    if (closed_ && at_hand && Geometry::InsideSolid(*tree_, hand)) return std::nullopt;
    return start;
}

Mesh::Step Mesh::Advance(const MeshParameters& parameters, const Vector3& position,
                         const Vector3& velocity) const {
    const Frame frame(parameters);
    const Vec3d hand = frame.PointToMesh(FromFloats(position));
    Step step;
    const std::optional<Geometry::Proxy> kept = Previous(hand);
    if (!kept) {
        step.proxy = {hand, false, {}};
        step.inside = true;
        step.proxy_in_arm = position;
        return step;
    }
    const Geometry::Proxy& previous = *kept;
    const Geometry::Friction friction{parameters.static_friction, parameters.dynamic_friction};
    step.proxy = Geometry::SolveProxy(*tree_, previous, hand, friction);
    const Vec3d force = Geometry::ContactForce(step.proxy, hand, frame.ToMesh(FromFloats(velocity)),
                                               parameters.stiffness, parameters.damping);
    step.force = ToFloats(frame.ToArm(force));
    // Out of contact the proxy is the hand, exactly as the arm reported it.
    step.proxy_in_arm =
        step.proxy.in_contact ? ToFloats(frame.PointToArm(step.proxy.position)) : position;
    return step;
}

namespace {

/// A pose an anchor gave that Validate takes: finite, with a rotation that
/// is not zero (a simulation that diverged gives neither).
bool Placeable(const Vector3& position, const Quaternion& rotation) {
    float norm = 0.0f;
    for (const float component : rotation) {
        if (!std::isfinite(component)) return false;
        norm += component * component;
    }
    return norm > 0.0f && std::isfinite(position[0]) && std::isfinite(position[1]) &&
           std::isfinite(position[2]);
}

} // namespace

Vector3 Mesh::Render(const CycleInput& cycle) {
    std::lock_guard<std::mutex> anchor_lock(anchor_mutex_);
    Vector3 position{};
    Quaternion rotation{};
    if (anchor_ && anchor_->Pose(position, rotation) && Placeable(position, rotation)) {
        Update([&](MeshParameters& parameters) {
            parameters.position = position;
            parameters.rotation = rotation;
        });
    }
    const Step step = Advance(Get(), cycle.position, cycle.velocity);
    loop_side_->proxy = step.proxy;
    loop_side_->inside = step.inside;
    {
        std::lock_guard<std::mutex> lock(contact_mutex_);
        contact_ = {step.proxy_in_arm, step.proxy.in_contact};
    }
    if (anchor_ && step.proxy.in_contact) {
        anchor_->Push(step.force, step.proxy_in_arm);
    }
    return step.force;
}

void Mesh::Follow(std::shared_ptr<MeshAnchor> anchor) {
    // The replaced anchor is released here, once the lock is given back.
    std::lock_guard<std::mutex> lock(anchor_mutex_);
    std::swap(anchor_, anchor);
}

bool Mesh::Following() const {
    std::lock_guard<std::mutex> lock(anchor_mutex_);
    return anchor_ != nullptr;
}

Vector3 Mesh::Force(const Vector3& position, const Vector3& velocity) const {
    return Advance(Get(), position, velocity).force;
}

} // namespace Torvi::HardwareAPI::Haptics
