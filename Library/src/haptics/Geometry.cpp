#include "haptics/Geometry.hpp"

#include <algorithm>

namespace Torvi::HardwareAPI::Haptics::Geometry {

namespace {

struct Corners {
    Vec3d a;
    Vec3d b;
    Vec3d c;
};

Corners CornersOf(const Triangle& triangle) {
    return {FromFloats(triangle.a), FromFloats(triangle.b), FromFloats(triangle.c)};
}

/// An offset from a corner projected on the edges ab and ac (unnormalised),
/// which is all that the region tests below read of it.
struct EdgeProjections {
    double on_ab;
    double on_ac;
};

EdgeProjections AlongEdges(const Vec3d& ab, const Vec3d& ac, const Vec3d& offset) {
    return {Dot(ab, offset), Dot(ac, offset)};
}

} // namespace

Vec3d UnitNormal(const Triangle& triangle) {
    const Corners k = CornersOf(triangle);
    const Vec3d n = Cross(k.b - k.a, k.c - k.a);
    const double length = Norm(n);
    return length > 0.0 ? n * (1.0 / length) : Vec3d{};
}

bool Degenerate(const Triangle& triangle) {
    const Corners k = CornersOf(triangle);
    const Vec3d e1 = k.b - k.a;
    const Vec3d e2 = k.c - k.a;
    const double area = Norm(Cross(e1, e2));
    return !(area > kDegenerateSine * Norm(e1) * Norm(e2));
}

namespace {

/// What Moeller and Trumbore's test reads of the line and the triangle:
/// the hit's barycentric coordinates (u, v) and its parameter t come from
/// three determinants of these.
struct LineAndTriangle {
    Vec3d e1, e2, p, s;
    double determinant = 0.0;
    double sine = 0.0; ///< of the angle between the line and the plane
    bool Parallel() const { return !(sine > kParallelSine); }
};

LineAndTriangle Prepare(const Vec3d& from, const Vec3d& delta, const Triangle& triangle) {
    const Corners k = CornersOf(triangle);
    LineAndTriangle m{k.b - k.a, k.c - k.a, {}, from - k.a};
    m.p = Cross(delta, m.e2);
    m.determinant = Dot(m.e1, m.p);
    m.sine = std::fabs(m.determinant) / (Norm(delta) * Norm(Cross(m.e1, m.e2)));
    return m;
}

} // namespace

std::optional<RayHit> IntersectLine(const Vec3d& from, const Vec3d& delta,
                                    const Triangle& triangle) {
    const LineAndTriangle m = Prepare(from, delta, triangle);
    if (m.Parallel()) return std::nullopt;
    const double inverse = 1.0 / m.determinant;
    const Vec3d q = Cross(m.s, m.e1);
    return RayHit{Dot(m.e2, q) * inverse, Dot(m.s, m.p) * inverse, Dot(delta, q) * inverse, m.sine,
                  m.determinant < 0.0};
}

std::optional<double> SegmentHitsTriangle(const Vec3d& from, const Vec3d& delta,
                                          const Triangle& triangle) {
    // IntersectLine's figures, each tested as soon as it is known: this is
    // the test every query of every cycle runs.
    const LineAndTriangle m = Prepare(from, delta, triangle);
    if (m.Parallel()) return std::nullopt;
    const double inverse = 1.0 / m.determinant;
    const double u = Dot(m.s, m.p) * inverse;
    if (u < -kBarycentricSlack || u > 1.0 + kBarycentricSlack) return std::nullopt;
    const Vec3d q = Cross(m.s, m.e1);
    const double v = Dot(delta, q) * inverse;
    if (v < -kBarycentricSlack || u + v > 1.0 + kBarycentricSlack) return std::nullopt;
    const double t = Dot(m.e2, q) * inverse;
    if (t < -kParameterSlack || t > 1.0 + kParameterSlack) return std::nullopt;
    return t;
}

Crossing CrossingOf(const Vec3d& from, const Vec3d& delta, const Triangle& triangle) {
    const std::optional<RayHit> hit = IntersectLine(from, delta, triangle);
    if (!hit) {
        // Along the plane: it may run through the triangle itself, and no
        // count can tell how often that crosses the surface.
        const double height = Dot(from - FromFloats(triangle.a), UnitNormal(triangle));
        return std::fabs(height) <= kCrossingMargin * Norm(delta) ? Crossing::Doubtful
                                                                  : Crossing::None;
    }
    const double nearest_edge = std::min({hit->u, hit->v, 1.0 - hit->u - hit->v});
    if (nearest_edge < -kCrossingMargin || hit->t < -kCrossingMargin ||
        hit->t > 1.0 + kCrossingMargin) {
        return Crossing::None;
    }
    if (nearest_edge <= kCrossingMargin || hit->t <= kCrossingMargin ||
        hit->t >= 1.0 - kCrossingMargin || hit->sine <= kCrossingMargin) {
        return Crossing::Doubtful;
    }
    return hit->along_normal ? Crossing::Leaving : Crossing::Entering;
}

Vec3d ClosestOnTriangle(const Vec3d& point, const Triangle& triangle) {
    // Ericson, Real-Time Collision Detection 5.1.5: which of the seven
    // regions (three corners, three edges, the inside) holds the point.
    const Corners k = CornersOf(triangle);
    const Vec3d ab = k.b - k.a;
    const Vec3d ac = k.c - k.a;
    const auto [d1, d2] = AlongEdges(ab, ac, point - k.a);
    if (d1 <= 0.0 && d2 <= 0.0) return k.a;
    const auto [d3, d4] = AlongEdges(ab, ac, point - k.b);
    if (d3 >= 0.0 && d4 <= d3) return k.b;
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return k.a + ab * (d1 / (d1 - d3));
    const auto [d5, d6] = AlongEdges(ab, ac, point - k.c);
    if (d6 >= 0.0 && d5 <= d6) return k.c;
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return k.a + ac * (d2 / (d2 - d6));
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0) {
        return k.b + (k.c - k.b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6)));
    }
    const double denominator = 1.0 / (va + vb + vc);
    return k.a + ab * (vb * denominator) + ac * (vc * denominator);
}

} // namespace Torvi::HardwareAPI::Haptics::Geometry
