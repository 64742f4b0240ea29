#pragma once

// A bounding-volume tree over a mesh's triangles and its two queries: the
// first triangle a segment meets, and the point of the mesh closest to a
// point. Built once, on the constructing thread; after that immutable, so
// any number of threads may query it, and a query allocates nothing, takes
// no lock and visits O(log n) nodes on a well-shaped mesh.

#include "haptics/Geometry.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace Torvi::HardwareAPI::Haptics::Geometry {

struct Box {
    Devices::Vector3 low{};
    Devices::Vector3 high{};
};

struct SegmentHit {
    double t = 0.0;             ///< along the segment, 0 at its start, 1 at its end
    std::uint32_t triangle = 0; ///< the triangle's index in the tree's order
};

/// The crossings of a segment with the surface: leaving ones count +1,
/// entering ones -1 (see Crossing), so that a segment from inside a closed,
/// consistently turned mesh to far outside it sums to its winding number.
struct CrossingCount {
    int winding = 0;
    bool doubtful = false; ///< some crossing was too close to call: the sum means nothing
};

struct ClosestPoint {
    Vec3d point;
    double distance_squared = 0.0;
    std::uint32_t triangle = 0;
};

class TriangleTree {
public:
    /// Triangles in a leaf, at most, where the tree can still split them.
    static constexpr std::size_t kLeafSize = 4;
    /// Candidate split planes per axis and node (a binned surface-area split).
    static constexpr std::size_t kBins = 16;
    /// Deepest level; below it everything left stays in one leaf, which bounds
    /// the stack a query needs.
    static constexpr std::size_t kMaxDepth = 48;

    /// Builds the tree over `triangles` (none degenerate: see Degenerate()),
    /// which it keeps in an order of its own. Takes O(n log n) time; throws
    /// std::invalid_argument when `triangles` is empty or holds more than
    /// 2^32 - 1 triangles, std::bad_alloc when memory runs out.
    explicit TriangleTree(std::vector<Triangle> triangles);

    std::size_t Size() const { return triangles_.size(); }
    const Triangle& At(std::uint32_t index) const { return triangles_[index]; }
    /// The box around every triangle.
    Box Bounds() const;
    /// A box around every triangle, a little larger than Bounds() (the
    /// root's), read in constant time.
    const Box& OuterBox() const { return nodes_[0].box; }
    /// Bytes the tree keeps (triangles and nodes).
    std::size_t MemoryBytes() const;

    /// The first triangle the segment from `from` to `to` meets (the smallest
    /// t in [0, 1]; a segment of length zero meets nothing).
    std::optional<SegmentHit> FirstHit(const Vec3d& from, const Vec3d& to) const;
    /// Every crossing of the segment from `from` to `to` with a triangle,
    /// summed; visits each node the segment passes through, so it costs more
    /// than FirstHit on a long segment.
    CrossingCount Crossings(const Vec3d& from, const Vec3d& to) const;
    /// The point of the mesh closest to `point`; with `within`, only points
    /// nearer than that count, and none (a distance of infinity) may be found.
    ClosestPoint Closest(const Vec3d& point,
                         double within = std::numeric_limits<double>::infinity()) const;

    struct Node {
        Box box;
        std::uint32_t first = 0; ///< a leaf's first triangle, or an inner node's left child
        std::uint32_t count = 0; ///< a leaf's triangles; 0 for an inner node
    };

private:
    class Builder;

    std::vector<Triangle> triangles_;
    std::vector<Node> nodes_;
};

} // namespace Torvi::HardwareAPI::Haptics::Geometry
