#pragma once

#include "Torvi/HardwareAPI/devices/Vector3.hpp"
#include "Torvi/HardwareAPI/haptics/Effects.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace Torvi::HardwareAPI::Haptics {

namespace Geometry {
class TriangleTree;
struct Proxy;
struct Vec3d;
} // namespace Geometry

using Devices::Quaternion;

/// How a mesh is felt and where it is. Lengths in the arm's unit.
struct MeshParameters {
    float stiffness = 800.0f;        ///< force per unit of depth, >= 0
    float damping = 0.0f;            ///< force per unit of velocity along the contact normal, >= 0
    float static_friction = 0.0f;    ///< >= dynamic_friction
    float dynamic_friction = 0.0f;   ///< >= 0
    Vector3 position{};              ///< the mesh frame's origin, in the arm's frame
    Quaternion rotation{1, 0, 0, 0}; ///< (w, x, y, z): the mesh frame's turn in the arm's frame
};

/// Throws std::invalid_argument for a non-finite number, a negative
/// stiffness, damping or friction, dynamic_friction above static_friction,
/// or a zero rotation; the argument is then unchanged. Normalises the
/// rotation.
void Validate(MeshParameters& parameters);

/// What other threads may read of a mesh's last cycle.
struct MeshContact {
    Vector3 proxy{};         ///< in the arm's frame; the hand's position out of contact
    bool in_contact = false; ///< the surface held the proxy back
};

/// Something that places a mesh each cycle and takes back the force the mesh
/// gives the hand: a body of a simulated scene, which the mesh then shows
/// and through which the hand pushes that body. Both calls come from the
/// loop's thread of the mesh; they must not allocate, throw, nor wait on a
/// lock held longer than a copy.
class MeshAnchor {
public:
    virtual ~MeshAnchor() = default;
    /// The pose to place the mesh at for this cycle, in the arm's frame
    /// (`rotation` as (w, x, y, z)); false while there is none to give.
    virtual bool Pose(Vector3& position, Quaternion& rotation) = 0;
    /// This cycle the mesh gave the hand `force` with its proxy, in contact,
    /// at `contact` (both in the arm's frame): the anchor takes the reaction,
    /// -force at that point.
    virtual void Push(const Vector3& force, const Vector3& contact) = 0;
};

/// A solid made of triangles, rendered through a proxy: a point that follows
/// the hand but stops on the surface where the hand goes through it (on
/// the side it came from, 10 um in front), slides over faces, concave edges
/// and corners to the point nearest the hand, and, with friction, sticks
/// within the friction cone. The force is a spring from the hand to the
/// proxy, with damping along the contact normal that never pulls. Both
/// sides of every triangle are solid, so open meshes work; a hand that goes
/// through the whole object within one cycle is still pushed back out of the
/// side it entered. The proxy lives in the mesh's frame: moving the mesh
/// onto the hand pushes the hand out as moving the hand in would.
///
/// A closed mesh (Closed()) is a solid with an inside: where the proxy has
/// not seen the hand enter (the first cycle after Restart()) and the hand is
/// inside, the mesh gives no force and its proxy follows the hand until the
/// hand's path crosses the surface to the outside; from there on, contact
/// is as above. An open mesh has no inside: a hand behind one of its
/// surfaces at the first cycle is held on that side of it.
///
/// The tree over the triangles is built by the constructor, on the calling
/// thread, in O(n log n); a cycle then costs O(log n) and allocates nothing.
/// The pose and the parameters may change from any thread (ParametricEffect:
/// each change is validated, then seen whole by the next cycle). The proxy
/// belongs to the loop's thread; Contact() reads the copy it publishes.
class Mesh final : public ParametricEffect<MeshParameters> {
public:
    /// A triangle: three indices into the vertices, counter-clockwise seen
    /// from outside (both sides are solid all the same).
    using Face = std::array<std::int64_t, 3>;

    /// Builds the mesh. Throws std::invalid_argument, before building
    /// anything, for no vertices or no faces, a non-finite coordinate, an
    /// index that is negative or not below the number of vertices, parameters
    /// that Validate refuses, or when no triangle of non-zero area is left
    /// (those of zero area are dropped). std::bad_alloc when memory runs out.
    /// Takes about half a second per million triangles, and the closed test
    /// (Closed()) about a fifth of a second more.
    Mesh(const std::vector<Vector3>& vertices, const std::vector<Face>& faces,
         MeshParameters parameters);
    ~Mesh() override;

    Mesh(const Mesh&) = delete;
    Mesh& operator=(const Mesh&) = delete;

    /// The triangles kept (those of non-zero area).
    std::size_t TriangleCount() const;
    /// The box around the triangles kept, in the mesh's own frame: (min, max).
    std::pair<Vector3, Vector3> Bounds() const { return bounds_; }
    /// Whether the faces close a solid: every edge shared by exactly two
    /// faces that run it in opposite directions (vertices at the same
    /// coordinates count as one; faces with a repeated corner are left out).
    /// Decided once, by the constructor.
    bool Closed() const { return closed_; }
    /// The triangles kept, in the mesh's own frame, in an order of the
    /// mesh's choosing: nine numbers each, its corners a, b and c (x, y, z
    /// each), turned as they were given. For drawing the mesh.
    std::vector<float> TriangleCorners() const;
    /// Bytes the mesh keeps for its triangles and their tree.
    std::size_t MemoryBytes() const;

    /// The proxy and contact of the last cycle (before any cycle: the origin,
    /// out of contact). Any thread; holds a lock only for the copy.
    MeshContact Contact() const;

    /// The loop's thread: forgets the proxy, so that the next cycle starts
    /// it at the hand (a hand on the surface itself: 10 um in front of it, on
    /// the side its triangles turn counter-clockwise; a hand inside a closed
    /// mesh: at the hand, without force, until the hand is out).
    void Restart() override;
    /// The loop's thread: moves the proxy on for the cycle's hand position,
    /// publishes it and returns its force.
    Vector3 Render(const CycleInput& cycle) override;
    /// The force Render() would return for this hand, leaving the proxy as
    /// it is. The loop's thread only.
    Vector3 Force(const Vector3& position, const Vector3& velocity) const override;

    /// From the next cycle on, each cycle places the mesh where `anchor`
    /// says (as set_pose would, overriding the pose set) and gives the anchor
    /// the reaction of the force felt while in contact; empty: the mesh
    /// stays where it last was and pushes nothing. Any thread; the anchor
    /// replaced is released on the calling thread, never on the loop's.
    void Follow(std::shared_ptr<MeshAnchor> anchor);
    /// Whether the mesh follows an anchor.
    bool Following() const;

private:
    struct LoopSide;
    struct Step;

    /// The proxy this cycle starts from (the last one's, or where a proxy
    /// starts), or nothing while the hand is inside the closed solid.
    std::optional<Geometry::Proxy> Previous(const Geometry::Vec3d& hand) const;
    Step Advance(const MeshParameters& parameters, const Vector3& position,
                 const Vector3& velocity) const;

    std::unique_ptr<const Geometry::TriangleTree> tree_;
    std::pair<Vector3, Vector3> bounds_;
    bool closed_ = false;
    std::unique_ptr<LoopSide> loop_side_; // the proxy; the loop's thread only

    mutable std::mutex contact_mutex_; // held only to copy
    MeshContact contact_;

    // Held by Render throughout, and by Follow only to swap the pointer.
    mutable std::mutex anchor_mutex_;
    std::shared_ptr<MeshAnchor> anchor_;
};

} // namespace Torvi::HardwareAPI::Haptics
