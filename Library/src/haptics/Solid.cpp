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

} // namespace

bool Closed(const std::vector<Devices::Vector3>& vertices,
            const std::vector<std::array<std::int64_t, 3>>& faces) {
    const std::vector<std::int64_t> same = Welded(vertices);
    std::vector<std::array<std::int64_t, 3>> kept;
    kept.reserve(faces.size());
    for (const auto& face : faces) {
        const std::array<std::int64_t, 3> c{same[static_cast<std::size_t>(face[0])],
                                            same[static_cast<std::size_t>(face[1])],
                                            same[static_cast<std::size_t>(face[2])]};
        if (c[0] != c[1] && c[1] != c[2] && c[2] != c[0]) kept.push_back(c);
    }
    if (kept.empty()) return false;
    // Each edge a face runs, filed under its smaller vertex as the larger
    // one times two, plus one where the face runs it from smaller to larger.
    std::vector<std::size_t> first(vertices.size() + 1, 0);
    const auto each_run = [&](const auto& visit) {
        for (const auto& c : kept) {
            for (std::size_t k = 0; k < 3; ++k)
                visit(c[k], c[(k + 1) % 3]);
        }
    };
    each_run([&](std::int64_t a, std::int64_t b) {
        ++first[static_cast<std::size_t>(std::min(a, b)) + 1];
    });
    std::partial_sum(first.begin(), first.end(), first.begin());
    std::vector<std::size_t> filled(first.begin(), first.end() - 1);
    std::vector<std::int64_t> runs(first.back());
    each_run([&](std::int64_t a, std::int64_t b) {
        runs[filled[static_cast<std::size_t>(std::min(a, b))]++] = 2 * std::max(a, b) + (a < b);
    });
    // Closed: under each vertex, every edge twice, run backward then forward.
    for (std::size_t v = 0; v < vertices.size(); ++v) {
        const auto begin = runs.begin() + static_cast<std::ptrdiff_t>(first[v]);
        const auto end = runs.begin() + static_cast<std::ptrdiff_t>(first[v + 1]);
        std::sort(begin, end);
        if ((end - begin) % 2 != 0) return false;
        for (auto run = begin; run != end; run += 2) {
            if (*run % 2 != 0 || run[1] != *run + 1) return false;
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
