// The tree's two queries against a brute-force pass over every triangle:
// random triangle soups with random segments and points, and a grid whose
// shared edges and corners are hit exactly.

#include "haptics/TriangleTree.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI::Haptics::Geometry;

std::optional<double> BruteFirstHit(const std::vector<Triangle>& triangles, const Vec3d& from,
                                    const Vec3d& to) {
    std::optional<double> best;
    for (const Triangle& triangle : triangles) {
        const std::optional<double> t = SegmentHitsTriangle(from, to - from, triangle);
        if (t && (!best || *t < *best)) best = t;
    }
    return best;
}

double BruteClosest(const std::vector<Triangle>& triangles, const Vec3d& point) {
    double best = std::numeric_limits<double>::infinity();
    for (const Triangle& triangle : triangles) {
        const Vec3d q = ClosestOnTriangle(point, triangle);
        best = std::min(best, Dot(q - point, q - point));
    }
    return best;
}

void ExpectSameHit(const TriangleTree& tree, const std::vector<Triangle>& triangles,
                   const Vec3d& from, const Vec3d& to) {
    const std::optional<SegmentHit> hit = tree.FirstHit(from, to);
    const std::optional<double> expected = BruteFirstHit(triangles, from, to);
    ASSERT_EQ(hit.has_value(), expected.has_value())
        << "segment (" << from.x << ", " << from.y << ", " << from.z << ") to (" << to.x << ", "
        << to.y << ", " << to.z << ")";
    if (hit) {
        EXPECT_EQ(hit->t, *expected);
        EXPECT_EQ(SegmentHitsTriangle(from, to - from, tree.At(hit->triangle)), hit->t);
    }
}

TEST(TriangleTree, RandomSoupsAnswerAsBruteForce) {
    std::mt19937 random(21);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_real_distribution<float> small(-0.1f, 0.1f);
    for (const std::size_t count : {1u, 7u, 300u, 3000u}) {
        std::vector<Triangle> triangles;
        while (triangles.size() < count) {
            const Torvi::HardwareAPI::Devices::Vector3 corner{unit(random), unit(random),
                                                              unit(random)};
            Triangle t{
                corner,
                {corner[0] + small(random), corner[1] + small(random), corner[2] + small(random)},
                {corner[0] + small(random), corner[1] + small(random), corner[2] + small(random)}};
            if (!Degenerate(t)) triangles.push_back(t);
        }
        const TriangleTree tree(triangles);
        ASSERT_EQ(tree.Size(), count);
        for (int q = 0; q < 400; ++q) {
            const Vec3d from{unit(random) * 1.5, unit(random) * 1.5, unit(random) * 1.5};
            const Vec3d to{unit(random) * 1.5, unit(random) * 1.5, unit(random) * 1.5};
            ExpectSameHit(tree, triangles, from, to);
            const ClosestPoint closest = tree.Closest(from);
            EXPECT_EQ(closest.distance_squared, BruteClosest(triangles, from));
            const Vec3d q2 = ClosestOnTriangle(from, tree.At(closest.triangle));
            EXPECT_EQ(Dot(q2 - from, q2 - from), closest.distance_squared);
        }
    }
}

TEST(TriangleTree, SegmentsThroughSharedEdgesAndCornersHit) {
    // A 6 x 6 grid of unit squares in z = 0, each split along a diagonal.
    std::vector<Triangle> triangles;
    constexpr int kCells = 6;
    for (int i = 0; i < kCells; ++i) {
        for (int j = 0; j < kCells; ++j) {
            const float x = static_cast<float>(i), y = static_cast<float>(j);
            triangles.push_back({{x, y, 0}, {x + 1, y, 0}, {x + 1, y + 1, 0}});
            triangles.push_back({{x, y, 0}, {x + 1, y + 1, 0}, {x, y + 1, 0}});
        }
    }
    const TriangleTree tree(triangles);
    for (int i = 0; i <= 2 * kCells; ++i) {
        for (int j = 0; j <= 2 * kCells; ++j) {
            // Corners, edge midpoints and cell centres (on the diagonals).
            const double x = i / 2.0, y = j / 2.0;
            for (const Vec3d& from : {Vec3d{x, y, 1.0}, Vec3d{x + 0.25, y - 0.5, 2.0}}) {
                const Vec3d to{2 * x - from.x, 2 * y - from.y, -from.z};
                ExpectSameHit(tree, triangles, from, to);
                const std::optional<SegmentHit> hit = tree.FirstHit(from, to);
                ASSERT_TRUE(hit.has_value()) << "leaked through (" << x << ", " << y << ")";
                EXPECT_DOUBLE_EQ(hit->t, 0.5);
            }
            // A segment that ends on the surface meets it at its end.
            const std::optional<SegmentHit> ending = tree.FirstHit({x, y, 1.0}, {x, y, 0.0});
            ASSERT_TRUE(ending.has_value());
            EXPECT_DOUBLE_EQ(ending->t, 1.0);
            EXPECT_EQ(tree.Closest({x, y, 0.5}).distance_squared, 0.25);
        }
    }
    // Along the surface, or beside the grid, nothing is hit.
    EXPECT_FALSE(tree.FirstHit({-1, 0.5, 0}, {7, 0.5, 0}).has_value());
    EXPECT_FALSE(tree.FirstHit({-0.5, 3, 1}, {-0.5, 3, -1}).has_value());
}

TEST(TriangleTree, RefusesNoTriangles) {
    EXPECT_THROW(TriangleTree(std::vector<Triangle>{}), std::invalid_argument);
}

} // namespace
