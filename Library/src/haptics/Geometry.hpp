#pragma once

// Double-precision points and the primitive tests of the haptics layer's
// geometry: a segment against one triangle, the closest point of one
// triangle. Triangles are stored in single precision (the arm's unit, a few
// tenths of a metre across, loses nothing that matters); everything computed
// from them is double, so that the proxy's small stand-off from a surface is
// far above the rounding of any query.

#include "Torvi/HardwareAPI/devices/Vector3.hpp"

#include <cmath>
#include <optional>

namespace Torvi::HardwareAPI::Haptics::Geometry {

struct Vec3d {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

inline Vec3d operator+(const Vec3d& a, const Vec3d& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3d operator-(const Vec3d& a, const Vec3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3d operator*(const Vec3d& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline double Dot(const Vec3d& a, const Vec3d& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3d Cross(const Vec3d& a, const Vec3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double Norm(const Vec3d& a) { return std::sqrt(Dot(a, a)); }
inline double Get(const Vec3d& a, int axis) { return axis == 0 ? a.x : axis == 1 ? a.y : a.z; }

inline Vec3d FromFloats(const Devices::Vector3& v) {
    return {static_cast<double>(v[0]), static_cast<double>(v[1]), static_cast<double>(v[2])};
}
inline Devices::Vector3 ToFloats(const Vec3d& v) {
    return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)};
}

/// One triangle, corners in the mesh's frame.
struct Triangle {
    Devices::Vector3 a{};
    Devices::Vector3 b{};
    Devices::Vector3 c{};
};

/// How far outside its edges a triangle still counts as hit, as a share of
/// its own size: a segment through the edge (or corner) that triangles
/// share hits each of them despite rounding, so that nothing slips through
/// between two.
constexpr double kBarycentricSlack = 1e-9;
/// How far beyond its ends (as a share of its length) a segment still
/// counts: a segment that ends exactly on a surface meets it.
constexpr double kParameterSlack = 1e-12;
/// Segments closer than this (as the sine of the angle) to a triangle's
/// plane do not hit it: they run along it.
constexpr double kParallelSine = 1e-12;
/// A triangle is degenerate (no area to round-off) when the sine of the
/// angle between two of its edges is below this.
constexpr double kDegenerateSine = 1e-10;

/// The triangle's unit normal, (b - a) x (c - a) normalised; counter-clockwise
/// corners seen from the tip of the normal.
Vec3d UnitNormal(const Triangle& triangle);
/// True when the triangle has no area to within rounding.
bool Degenerate(const Triangle& triangle);
/// How near an edge or corner of a triangle (as a barycentric share), the
/// ends of a segment (as a share of its length) or the direction of the
/// triangle's plane (as a sine) a crossing is too close to call: rounding
/// could count it twice, or not at all.
constexpr double kCrossingMargin = 1e-7;

/// The line `from` + t * `delta` through a triangle's plane: t, the
/// barycentric coordinates (u, v) of the point it passes (b's and c's
/// weights), the sine of the angle between line and plane, and whether it
/// goes the way the triangle's normal points.
struct RayHit {
    double t = 0.0;
    double u = 0.0;
    double v = 0.0;
    double sine = 0.0;
    bool along_normal = false;
};

/// How a segment passes a triangle, for counting how often it crosses a
/// closed surface.
enum class Crossing {
    None,     ///< it misses the triangle
    Entering, ///< through the inside, against the triangle's normal
    Leaving,  ///< through the inside, along the triangle's normal
    Doubtful, ///< within kCrossingMargin of an edge, a corner, an end or the plane
};

/// Where the line meets the triangle's plane, or nothing when it runs
/// along it (the sine at most kParallelSine).
std::optional<RayHit> IntersectLine(const Vec3d& from, const Vec3d& delta,
                                    const Triangle& triangle);
/// How the segment `from` + t * `delta`, t in [0, 1], passes the triangle.
Crossing CrossingOf(const Vec3d& from, const Vec3d& delta, const Triangle& triangle);
/// Where the segment `from` + t * `delta`, t in [0, 1], meets the triangle:
/// t, or nothing. Both faces count.
std::optional<double> SegmentHitsTriangle(const Vec3d& from, const Vec3d& delta,
                                          const Triangle& triangle);
/// The point of the triangle (its inside, edges or corners) closest to `point`.
Vec3d ClosestOnTriangle(const Vec3d& point, const Triangle& triangle);

} // namespace Torvi::HardwareAPI::Haptics::Geometry
