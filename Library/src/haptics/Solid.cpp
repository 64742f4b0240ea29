#include "haptics/Solid.hpp"

#include <algorithm>
#include <numeric>
#include <tuple>
#include <utility>

namespace Torvi::HardwareAPI::Haptics::Geometry {

namespace {

/// Each vertex's index replaced by the smallest index at the same coordinates.
std::vector<std::int64_t> Welded(const std::vector<Devices::Vector3>& vertices) {
    std::vector<std::int64_t> order(vertices.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        const auto& p = vertices[static_cast<std::size_t>(a)];
        const auto& q = vertices[static_cast<std::size_t>(b)];
        return std::tie(p[0], p[1], p[2], a) < std::tie(q[0], q[1], q[2], b);
    });
    std::vector<std::int64_t> same(vertices.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        const auto at = static_cast<std::size_t>(order[i]);
        const bool repeat =
            i > 0 && vertices[static_cast<std::size_t>(order[i - 1])] == vertices[at];
        same[at] = repeat ? same[static_cast<std::size_t>(order[i - 1])] : order[i];
    }
    return same;
}

/// An edge as the smaller index, the larger, and which way the face runs it.
struct Edge {
    std::int64_t low = 0;
    std::int64_t high = 0;
    bool forward = false; ///< the face runs it from low to high
    bool operator<(const Edge& other) const {
        return std::tie(low, high, forward) < std::tie(other.low, other.high, other.forward);
    }
};

} // namespace

bool Closed(const std::vector<Devices::Vector3>& vertices,
            const std::vector<std::array<std::int64_t, 3>>& faces) {
    const std::vector<std::int64_t> same = Welded(vertices);
    std::vector<Edge> edges;
    edges.reserve(3 * faces.size());
    for (const auto& face : faces) {
        std::array<std::int64_t, 3> corner{};
        for (std::size_t k = 0; k < 3; ++k)
            corner[k] = same[static_cast<std::size_t>(face[k])];
        if (corner[0] == corner[1] || corner[1] == corner[2] || corner[2] == corner[0]) continue;
        for (std::size_t k = 0; k < 3; ++k) {
            const std::int64_t a = corner[k], b = corner[(k + 1) % 3];
            edges.push_back({std::min(a, b), std::max(a, b), a < b});
        }
    }
    if (edges.empty()) return false;
    std::sort(edges.begin(), edges.end());
    // Sorted, a closed surface's edges come in pairs: the same edge, run
    // backward and then forward, and no third face on it.
    if (edges.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < edges.size(); i += 2) {
        const Edge& first = edges[i];
        const Edge& second = edges[i + 1];
        if (first.low != second.low || first.high != second.high || first.forward ||
            !second.forward) {
            return false;
        }
    }
    return true;
}

bool InsideSolid(const TriangleTree& tree, const Vec3d& point) {
    const Box& box = tree.OuterBox();
    const Vec3d low = FromFloats(box.low), high = FromFloats(box.high);
    for (int axis = 0; axis < 3; ++axis) {
        if (Get(point, axis) < Get(low, axis) || Get(point, axis) > Get(high, axis)) return false;
    }
    // Long enough to leave the box from anywhere in it, whatever the direction.
    const double reach = 2.0 * Norm(high - low) + 1.0;
    int inside_votes = 0, votes = 0;
    for (const auto& d : kRayDirections) {
        const Vec3d direction = Vec3d{d[0], d[1], d[2]} * (reach / Norm(Vec3d{d[0], d[1], d[2]}));
        const CrossingCount count = tree.Crossings(point, point + direction);
        if (!count.doubtful) return count.winding != 0;
        inside_votes += count.winding != 0 ? 1 : 0;
        ++votes;
    }
    return 2 * inside_votes > votes;
}

} // namespace Torvi::HardwareAPI::Haptics::Geometry
