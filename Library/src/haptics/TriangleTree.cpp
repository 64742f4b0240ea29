#include "haptics/TriangleTree.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace Torvi::HardwareAPI::Haptics::Geometry {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
/// Added to each side of a triangle's box, as a share of the triangle's
/// size (and at least one float step): the box then holds every point the
/// hit test accepts, its slack included.
constexpr double kBoxPad = 1e-6;

constexpr Box kEmptyBox{{kInfinity, kInfinity, kInfinity}, {-kInfinity, -kInfinity, -kInfinity}};

void Grow(Box& box, const Box& other) {
    for (int i = 0; i < 3; ++i) {
        box.low[i] = std::min(box.low[i], other.low[i]);
        box.high[i] = std::max(box.high[i], other.high[i]);
    }
}

double HalfArea(const Box& box) {
    const double dx = static_cast<double>(box.high[0]) - box.low[0];
    const double dy = static_cast<double>(box.high[1]) - box.low[1];
    const double dz = static_cast<double>(box.high[2]) - box.low[2];
    return dx * dy + dy * dz + dz * dx;
}

Box PaddedBox(const Triangle& t) {
    Box box = kEmptyBox;
    double extent = 0.0;
    for (int i = 0; i < 3; ++i) {
        box.low[i] = std::min({t.a[i], t.b[i], t.c[i]});
        box.high[i] = std::max({t.a[i], t.b[i], t.c[i]});
        extent = std::max(extent, static_cast<double>(box.high[i]) - box.low[i]);
    }
    for (int i = 0; i < 3; ++i) {
        box.low[i] = std::nextafter(static_cast<float>(box.low[i] - kBoxPad * extent), -kInfinity);
        box.high[i] = std::nextafter(static_cast<float>(box.high[i] + kBoxPad * extent), kInfinity);
    }
    return box;
}

/// Where the segment from + t * delta (t up to `limit`) enters the box, or
/// nothing when it misses it.
std::optional<double> EntersBox(const Box& box, const Vec3d& from, const Vec3d& delta,
                                const Vec3d& inverse, double limit) {
    double enter = -kParameterSlack;
    double leave = limit;
    for (int axis = 0; axis < 3; ++axis) {
        const double origin = Get(from, axis);
        const double low = box.low[axis];
        const double high = box.high[axis];
        if (Get(delta, axis) == 0.0) {
            if (origin < low || origin > high) return std::nullopt;
            continue;
        }
        double a = (low - origin) * Get(inverse, axis);
        double b = (high - origin) * Get(inverse, axis);
        if (a > b) std::swap(a, b);
        enter = std::max(enter, a);
        leave = std::min(leave, b);
        if (enter > leave) return std::nullopt;
    }
    return enter;
}

/// 1 / delta per axis, 0 where delta is 0 (EntersBox reads only the others).
Vec3d Inverse(const Vec3d& delta) {
    return {delta.x != 0.0 ? 1.0 / delta.x : 0.0, delta.y != 0.0 ? 1.0 / delta.y : 0.0,
            delta.z != 0.0 ? 1.0 / delta.z : 0.0};
}

double BoxDistanceSquared(const Box& box, const Vec3d& point) {
    double sum = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        const double p = Get(point, axis);
        const double below = box.low[axis] - p;
        const double above = p - box.high[axis];
        const double outside = std::max({below, above, 0.0});
        sum += outside * outside;
    }
    return sum;
}

/// A query's stack of nodes still to visit, with the figure each is sorted
/// by; a fixed array, since the tree is never deeper than kMaxDepth.
struct Pending {
    std::uint32_t node = 0;
    double key = 0.0;
};
using Stack = std::array<Pending, TriangleTree::kMaxDepth + 2>;

} // namespace

/// The binned surface-area build: each node's triangles are split where the
/// expected cost of visiting both halves is least, among kBins planes along
/// the longest axis of their centroids.
class TriangleTree::Builder {
public:
    Builder(const std::vector<Triangle>& triangles, std::vector<Node>& nodes)
        : nodes_(nodes), order_(triangles.size()) {
        boxes_.reserve(triangles.size());
        centroids_.reserve(triangles.size());
        for (std::uint32_t i = 0; i < triangles.size(); ++i) {
            boxes_.push_back(PaddedBox(triangles[i]));
            const Triangle& t = triangles[i];
            centroids_.push_back({(t.a[0] + t.b[0] + t.c[0]) / 3.0f,
                                  (t.a[1] + t.b[1] + t.c[1]) / 3.0f,
                                  (t.a[2] + t.b[2] + t.c[2]) / 3.0f});
            order_[i] = i;
        }
    }

    /// Fills the nodes; returns the triangles' order in the leaves.
    std::vector<std::uint32_t> Run() {
        struct Work {
            std::uint32_t node, begin, end, depth;
        };
        nodes_.reserve(2 * order_.size());
        nodes_.push_back({});
        std::vector<Work> work{{0, 0, static_cast<std::uint32_t>(order_.size()), 0}};
        while (!work.empty()) {
            const Work w = work.back();
            work.pop_back();
            Box box = kEmptyBox;
            for (std::uint32_t i = w.begin; i < w.end; ++i)
                Grow(box, boxes_[order_[i]]);
            nodes_[w.node].box = box;
            const std::optional<std::uint32_t> middle =
                w.depth < kMaxDepth ? Split(w.begin, w.end) : std::nullopt;
            if (!middle) {
                nodes_[w.node].first = w.begin;
                nodes_[w.node].count = w.end - w.begin;
                continue;
            }
            const auto left = static_cast<std::uint32_t>(nodes_.size());
            nodes_[w.node].first = left;
            nodes_[w.node].count = 0;
            nodes_.push_back({});
            nodes_.push_back({});
            work.push_back({left, w.begin, *middle, w.depth + 1});
            work.push_back({left + 1, *middle, w.end, w.depth + 1});
        }
        return order_;
    }

private:
    /// Where to split [begin, end), or nothing for a leaf.
    std::optional<std::uint32_t> Split(std::uint32_t begin, std::uint32_t end) {
        const std::uint32_t count = end - begin;
        if (count <= kLeafSize) return std::nullopt;
        Box centres = kEmptyBox;
        for (std::uint32_t i = begin; i < end; ++i) {
            const Devices::Vector3& c = centroids_[order_[i]];
            Grow(centres, Box{c, c});
        }
        int axis = 0;
        for (int i = 1; i < 3; ++i) {
            if (centres.high[i] - centres.low[i] > centres.high[axis] - centres.low[axis]) axis = i;
        }
        const double low = centres.low[axis];
        const double extent = static_cast<double>(centres.high[axis]) - low;
        if (!(extent > 0.0)) return std::nullopt; // every centroid in one place
        const auto bin_of = [&](std::uint32_t triangle) {
            const double at = (centroids_[triangle][axis] - low) / extent * kBins;
            return std::min(static_cast<std::size_t>(at), kBins - 1);
        };
        const std::size_t best = BestPlane(begin, end, bin_of);
        const auto split = std::partition(order_.begin() + begin, order_.begin() + end,
                                          [&](std::uint32_t t) { return bin_of(t) <= best; });
        auto middle = static_cast<std::uint32_t>(split - order_.begin());
        if (middle == begin || middle == end) {
            // No plane separates them: halve the count along the axis.
            middle = begin + count / 2;
            std::nth_element(order_.begin() + begin, order_.begin() + middle, order_.begin() + end,
                             [&](std::uint32_t a, std::uint32_t b) {
                                 return centroids_[a][axis] < centroids_[b][axis];
                             });
        }
        return middle;
    }

    /// The bin after which the split costs least.
    template <typename BinOf>
    std::size_t BestPlane(std::uint32_t begin, std::uint32_t end, const BinOf& bin_of) const {
        std::array<std::size_t, kBins> counts{};
        std::array<Box, kBins> bins;
        bins.fill(kEmptyBox);
        for (std::uint32_t i = begin; i < end; ++i) {
            const std::size_t bin = bin_of(order_[i]);
            ++counts[bin];
            Grow(bins[bin], boxes_[order_[i]]);
        }
        // Costs of the left sides from the left, then of the right sides.
        std::array<double, kBins> left_cost{};
        Box grown = kEmptyBox;
        std::size_t seen = 0;
        for (std::size_t i = 0; i + 1 < kBins; ++i) {
            Grow(grown, bins[i]);
            seen += counts[i];
            left_cost[i] = seen > 0 ? HalfArea(grown) * static_cast<double>(seen) : 0.0;
        }
        grown = kEmptyBox;
        seen = 0;
        std::size_t best = 0;
        double best_cost = std::numeric_limits<double>::infinity();
        for (std::size_t i = kBins - 1; i > 0; --i) {
            Grow(grown, bins[i]);
            seen += counts[i];
            const double cost =
                left_cost[i - 1] + (seen > 0 ? HalfArea(grown) * static_cast<double>(seen) : 0.0);
            if (cost < best_cost) {
                best_cost = cost;
                best = i - 1;
            }
        }
        return best;
    }

    std::vector<Node>& nodes_;
    std::vector<std::uint32_t> order_;
    std::vector<Box> boxes_;
    std::vector<Devices::Vector3> centroids_;
};

TriangleTree::TriangleTree(std::vector<Triangle> triangles) {
    if (triangles.empty()) {
        throw std::invalid_argument("a triangle tree needs at least one triangle");
    }
    if (triangles.size() >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::invalid_argument("a triangle tree holds fewer than 2^32 - 1 triangles");
    }
    const std::vector<std::uint32_t> order = Builder(triangles, nodes_).Run();
    triangles_.reserve(triangles.size());
    for (const std::uint32_t index : order)
        triangles_.push_back(triangles[index]);
    nodes_.shrink_to_fit();
}

Box TriangleTree::Bounds() const {
    Box box = kEmptyBox;
    for (const Triangle& t : triangles_) {
        Grow(box, Box{t.a, t.a});
        Grow(box, Box{t.b, t.b});
        Grow(box, Box{t.c, t.c});
    }
    return box;
}

std::size_t TriangleTree::MemoryBytes() const {
    return triangles_.capacity() * sizeof(Triangle) + nodes_.capacity() * sizeof(Node);
}

std::optional<SegmentHit> TriangleTree::FirstHit(const Vec3d& from, const Vec3d& to) const {
    const Vec3d delta = to - from;
    if (Dot(delta, delta) == 0.0) return std::nullopt;
    const Vec3d inverse = Inverse(delta);
    double best = 1.0 + kParameterSlack;
    std::optional<SegmentHit> found;
    Stack stack;
    std::size_t size = 0;
    if (const auto enter = EntersBox(nodes_[0].box, from, delta, inverse, best)) {
        stack[size++] = {0, *enter};
    }
    while (size > 0) {
        const Pending pending = stack[--size];
        if (pending.key > best) continue;
        const Node& node = nodes_[pending.node];
        if (node.count > 0) {
            for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
                const std::optional<double> t = SegmentHitsTriangle(from, delta, triangles_[i]);
                if (t && *t < best) {
                    best = *t;
                    found = SegmentHit{*t, i};
                }
            }
            continue;
        }
        const auto near = EntersBox(nodes_[node.first].box, from, delta, inverse, best);
        const auto far = EntersBox(nodes_[node.first + 1].box, from, delta, inverse, best);
        const bool left_first = near && (!far || *near <= *far);
        // The nearer child goes on top, so that it is visited first.
        const Pending left{node.first, near.value_or(0.0)};
        const Pending right{node.first + 1, far.value_or(0.0)};
        if (left_first) {
            if (far) stack[size++] = right;
            stack[size++] = left;
        } else {
            if (near) stack[size++] = left;
            if (far) stack[size++] = right;
        }
    }
    return found;
}

CrossingCount TriangleTree::Crossings(const Vec3d& from, const Vec3d& to) const {
    const Vec3d delta = to - from;
    const Vec3d inverse = Inverse(delta);
    CrossingCount count;
    Stack stack;
    std::size_t size = 0;
    stack[size++] = {0, 0.0};
    while (size > 0) {
        const Node& node = nodes_[stack[--size].node];
        if (!EntersBox(node.box, from, delta, inverse, 1.0 + kParameterSlack)) continue;
        if (node.count == 0) {
            stack[size++] = {node.first, 0.0};
            stack[size++] = {node.first + 1, 0.0};
            continue;
        }
        for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
            const Crossing crossing = CrossingOf(from, delta, triangles_[i]);
            count.winding += crossing == Crossing::Leaving    ? 1
                             : crossing == Crossing::Entering ? -1
                                                              : 0;
            count.doubtful = count.doubtful || crossing == Crossing::Doubtful;
        }
    }
    return count;
}

ClosestPoint TriangleTree::Closest(const Vec3d& point, double within) const {
    ClosestPoint best{{}, within * within, 0};
    Stack stack;
    std::size_t size = 0;
    stack[size++] = {0, BoxDistanceSquared(nodes_[0].box, point)};
    while (size > 0) {
        const Pending pending = stack[--size];
        if (pending.key >= best.distance_squared) continue;
        const Node& node = nodes_[pending.node];
        if (node.count > 0) {
            for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
                const Vec3d q = ClosestOnTriangle(point, triangles_[i]);
                const double d = Dot(q - point, q - point);
                if (d < best.distance_squared) best = {q, d, i};
            }
            continue;
        }
        const Pending left{node.first, BoxDistanceSquared(nodes_[node.first].box, point)};
        const Pending right{node.first + 1, BoxDistanceSquared(nodes_[node.first + 1].box, point)};
        // The nearer child goes on top.
        const bool left_nearer = left.key <= right.key;
        stack[size++] = left_nearer ? right : left;
        stack[size++] = left_nearer ? left : right;
    }
    if (!(best.distance_squared < within * within)) {
        best.distance_squared = std::numeric_limits<double>::infinity();
    }
    return best;
}

} // namespace Torvi::HardwareAPI::Haptics::Geometry
