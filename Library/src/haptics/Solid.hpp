#pragma once

// A closed mesh as a solid: whether the faces close a surface, and whether
// a point is inside what that surface bounds. Closed() runs once, when a
// mesh is built, on the building thread; InsideSolid() is a query of the
// immutable tree that allocates nothing and takes no lock, for the loop's
// thread on the few cycles where nothing else tells where the hand is.

#include "haptics/TriangleTree.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace Torvi::HardwareAPI::Haptics::Geometry {

/// Directions, in the mesh's frame, of the rays InsideSolid() casts, in the
/// order tried: none along an axis or a diagonal, so that the grid-aligned
/// edges of a designed part are seldom met exactly. Normalised where used.
constexpr std::array<std::array<double, 3>, 5> kRayDirections{{
    {0.5312, 0.2659, 0.8046},
    {-0.7243, 0.5872, 0.3613},
    {0.1977, -0.8714, 0.4489},
    {-0.3391, -0.4262, -0.8387},
    {0.8835, 0.1208, -0.4524},
}};

/// Whether every edge of the faces is shared by exactly two of them, turned
/// against each other (a-b in one, b-a in the other), so that the faces
/// close a surface with one outside. Vertices at the same coordinates count
/// as one, so that a mesh whose seam repeats its vertices still closes;
/// faces with a repeated corner (after that) have no area and are left out.
/// Indices must be valid (Mesh checks them first). O(n log n); allocates.
bool Closed(const std::vector<Devices::Vector3>& vertices,
            const std::vector<std::array<std::int64_t, 3>>& faces);

/// Whether `point` is inside the solid that the tree's closed surface
/// bounds: the winding number of a ray from it to beyond the tree's box,
/// non-zero inside. The first ray of kRayDirections whose crossings are all
/// clear (none near an edge, a corner or along a face) decides; when every
/// ray has a doubtful crossing, the majority of them. Only meaningful for a
/// mesh that Closed() accepts; a point outside the box is outside. Costs
/// one to five rays, each visiting the nodes along its path.
bool InsideSolid(const TriangleTree& tree, const Vec3d& point);

} // namespace Torvi::HardwareAPI::Haptics::Geometry
