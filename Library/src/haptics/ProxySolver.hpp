#pragma once

// The proxy ("god object") of a triangle mesh: a point that follows the hand
// but never crosses a triangle, from either side, and the force of the spring
// between it and the hand. Pure functions of the tree, the previous proxy
// and the hand, all in the mesh's own frame, so that tests drive them
// without a loop and the mesh effect calls them once per cycle. They
// allocate nothing and take no lock.

#include "haptics/TriangleTree.hpp"

namespace Torvi::HardwareAPI::Haptics::Geometry {

/// How far in front of a surface the proxy stops, on the side it came from,
/// in the unit of the mesh's coordinates (the arm's: metres, so 10 um). It
/// keeps the proxy clear of the surface whatever the rounding of the next
/// query; a hand pressed in at depth d feels stiffness * (d + kSurfaceGap).
constexpr double kSurfaceGap = 1e-5;
/// The most constraints the proxy slides on at once: a face, the line of a
/// concave edge, the point of a corner.
constexpr std::size_t kMaxConstraints = 3;
/// Segment queries per cycle, at most: the proxy stops where it is when they
/// are used up, and goes on from there in the next cycle.
constexpr int kMaxSweeps = 16;

struct Friction {
    double static_coefficient = 0.0;  ///< the cone the proxy sticks within
    double dynamic_coefficient = 0.0; ///< the cone a sliding proxy stops on
};

struct Proxy {
    Vec3d position;
    bool in_contact = false; ///< held back by the surface; the proxy is the hand otherwise
    Vec3d normal;            ///< in contact: unit, from the hand towards the frictionless proxy
};

/// The proxy for a hand met for the first time (after a restart): at the
/// hand, out of contact, unless the hand is within kSurfaceGap of a surface.
/// There no side is the one it came from, so the proxy starts kSurfaceGap
/// in front of the nearest triangle, on the side its corners turn
/// counter-clockwise (the outside, for a mesh made the usual way).
Proxy StartingProxy(const TriangleTree& tree, const Vec3d& hand);

/// The proxy of one cycle, from the previous cycle's proxy (or, at the first
/// cycle, StartingProxy) and the hand's position. The
/// proxy moves towards the hand; where its path meets a triangle it stops
/// kSurfaceGap in front of it and slides over the constraints met (up to
/// kMaxConstraints) to the point nearest the hand. With friction, a proxy in
/// contact in both cycles stays where it was while the spring's tangential
/// part is at most static_coefficient times its normal part, and otherwise
/// slides back only as far as the cone of dynamic_coefficient.
Proxy SolveProxy(const TriangleTree& tree, const Proxy& previous, const Vec3d& hand,
                 const Friction& friction);

/// The force on the hand: stiffness * (proxy - hand) - damping * (velocity
/// along the normal) * normal, the damping never turning the normal part
/// into a pull; zero out of contact.
Vec3d ContactForce(const Proxy& proxy, const Vec3d& hand, const Vec3d& velocity, double stiffness,
                   double damping);

} // namespace Torvi::HardwareAPI::Haptics::Geometry
