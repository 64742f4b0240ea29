#include "haptics/ProxySolver.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace Torvi::HardwareAPI::Haptics::Geometry {

namespace {

/// How far a point may be on the wrong side of a constraint, from rounding,
/// and still satisfy it; also the shortest move worth another query.
constexpr double kRounding = 1e-3 * kSurfaceGap;
/// Unit normals whose Gram determinant is below this are taken as
/// dependent: their planes meet in no single line or point.
constexpr double kDependent = 1e-9;

/// A half-space the proxy must stay in: dot(normal, x) >= offset.
struct Plane {
    Vec3d normal;
    double offset = 0.0;
    std::uint32_t triangle = 0;
};

struct Constraints {
    std::array<Plane, kMaxConstraints> planes;
    std::size_t count = 0;
};

/// The point of the planes' common intersection nearest `hand`, or nothing
/// when they have none.
std::optional<Vec3d> OntoPlanes(const Vec3d& hand, const std::array<const Plane*, 3>& p,
                                std::size_t count) {
    if (count == 0) return hand;
    const auto residual = [&](const Plane& plane) {
        return plane.offset - Dot(plane.normal, hand);
    };
    if (count == 1) return hand + p[0]->normal * residual(*p[0]);
    if (count == 2) {
        const double g = Dot(p[0]->normal, p[1]->normal);
        const double determinant = 1.0 - g * g;
        if (determinant < kDependent) return std::nullopt;
        const double r0 = residual(*p[0]);
        const double r1 = residual(*p[1]);
        return hand + p[0]->normal * ((r0 - g * r1) / determinant) +
               p[1]->normal * ((r1 - g * r0) / determinant);
    }
    const Vec3d& n0 = p[0]->normal;
    const Vec3d& n1 = p[1]->normal;
    const Vec3d& n2 = p[2]->normal;
    const double triple = Dot(n0, Cross(n1, n2));
    if (std::fabs(triple) < kDependent) return std::nullopt;
    return (Cross(n1, n2) * p[0]->offset + Cross(n2, n0) * p[1]->offset +
            Cross(n0, n1) * p[2]->offset) *
           (1.0 / triple);
}

/// The point nearest `hand` that satisfies every constraint: the nearest of
/// the projections onto the intersections of each subset that satisfies
/// them all (with three half-spaces at most, trying every subset is exact).
std::optional<Vec3d> Goal(const Vec3d& hand, const Constraints& constraints) {
    std::optional<Vec3d> best;
    double best_distance = std::numeric_limits<double>::infinity();
    for (unsigned subset = 0; subset < (1u << constraints.count); ++subset) {
        std::array<const Plane*, 3> chosen{};
        std::size_t count = 0;
        for (std::size_t i = 0; i < constraints.count; ++i) {
            if ((subset >> i) & 1u) chosen[count++] = &constraints.planes[i];
        }
        const std::optional<Vec3d> x = OntoPlanes(hand, chosen, count);
        if (!x) continue;
        const bool satisfies = std::all_of(
            constraints.planes.begin(), constraints.planes.begin() + constraints.count,
            [&](const Plane& plane) { return Dot(plane.normal, *x) >= plane.offset - kRounding; });
        const double distance = Dot(*x - hand, *x - hand);
        if (satisfies && distance < best_distance) {
            best = x;
            best_distance = distance;
        }
    }
    return best;
}

/// The constraint of the triangle hit by the move `from` + `delta`: its
/// plane, moved kSurfaceGap towards the side the proxy is on (for a proxy
/// on the plane itself, the side it moved from).
Plane ConstraintOf(const Triangle& triangle, std::uint32_t index, const Vec3d& from,
                   const Vec3d& delta) {
    Vec3d normal = UnitNormal(triangle);
    const Vec3d corner = FromFloats(triangle.a);
    const double side = Dot(normal, from - corner);
    const bool flip = side < -kRounding || (side <= kRounding && Dot(normal, delta) > 0.0);
    if (flip) normal = normal * -1.0;
    return {normal, Dot(normal, corner) + kSurfaceGap, index};
}

bool Holds(const Constraints& constraints, std::uint32_t triangle) {
    return std::any_of(constraints.planes.begin(), constraints.planes.begin() + constraints.count,
                       [&](const Plane& plane) { return plane.triangle == triangle; });
}

/// Whether `point` lies over the inside of the triangle (its foot on the
/// triangle's plane is inside the triangle, not beyond an edge).
bool Over(const Triangle& triangle, const Vec3d& point) {
    const Vec3d offset = point - ClosestOnTriangle(point, triangle);
    const double along = std::fabs(Dot(offset, UnitNormal(triangle)));
    return Norm(offset) - along <= kRounding;
}

/// Where the proxy stood at each look again of one cycle. A look again
/// starts from the proxy alone (no constraint is kept), so the slide from a
/// place it stood at before repeats what followed it then: round and round
/// a convex corner or edge whose faces' planes reach past one another,
/// until the sweeps are used up. Skipping the whole rounds leaves the
/// outcome exactly as it was and spares their queries.
class LookAgainRecord {
public:
    /// The sweep to go on with: `sweep`, or as many whole rounds later as
    /// still fit in kMaxSweeps when the proxy stood at `proxy` before.
    int Skip(int sweep, const Vec3d& proxy) {
        for (std::size_t i = 0; i < count_; ++i) {
            if (places_[i].x == proxy.x && places_[i].y == proxy.y && places_[i].z == proxy.z) {
                const int round = sweep - sweeps_[i];
                return sweep + (kMaxSweeps - sweep) / round * round;
            }
        }
        if (count_ < places_.size()) {
            places_[count_] = proxy;
            sweeps_[count_++] = sweep;
        }
        return sweep;
    }

private:
    // A look again takes two sweeps at least: a hit, then a free slide.
    std::array<Vec3d, kMaxSweeps / 2> places_{};
    std::array<int, kMaxSweeps / 2> sweeps_{};
    std::size_t count_ = 0;
};

/// The frictionless proxy: from `start` towards the hand, stopping in front
/// of each triangle met and sliding over the constraints.
Vec3d Slide(const TriangleTree& tree, Vec3d proxy, const Vec3d& hand) {
    Constraints constraints;
    LookAgainRecord looks;
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        const std::optional<Vec3d> goal = Goal(hand, constraints);
        if (!goal) break; // the constraints have no point in common: stay
        const Vec3d delta = *goal - proxy;
        if (constraints.count > 0 && Norm(delta) < kRounding) break;
        const std::optional<SegmentHit> hit = tree.FirstHit(proxy, *goal);
        if (!hit) {
            proxy = *goal;
            if (constraints.count == 0) break; // at the hand
            // Over its one face's inside the proxy is where a look from here
            // would stop it again.
            if (constraints.count == 1 && Over(tree.At(constraints.planes[0].triangle), proxy)) {
                break;
            }
            // A face's plane reaches past its edges: look again from here,
            // so that the proxy follows the surface round a convex edge.
            constraints.count = 0;
            sweep = looks.Skip(sweep + 1, proxy) - 1;
            continue;
        }
        const Plane plane = ConstraintOf(tree.At(hit->triangle), hit->triangle, proxy, delta);
        // Back along the path until the plane is kSurfaceGap away: the proxy
        // only ever moves over stretches that met nothing.
        const double approach = std::fabs(Dot(plane.normal, delta));
        const double t = approach > 0.0 ? std::max(0.0, hit->t - kSurfaceGap / approach) : 0.0;
        proxy = proxy + delta * t;
        if (constraints.count == kMaxConstraints || Holds(constraints, hit->triangle)) break;
        constraints.planes[constraints.count++] = plane;
    }
    return proxy;
}

/// The Coulomb cone applied to the frictionless proxy `free` of this cycle.
Proxy WithFriction(const TriangleTree& tree, const Proxy& previous, Proxy free, const Vec3d& hand,
                   const Friction& friction) {
    const Vec3d& n = free.normal;
    const Vec3d held = previous.position - hand;
    const double normal = Dot(held, n);
    const double tangential = Norm(held - n * normal);
    if (normal > 0.0 && tangential <= friction.static_coefficient * normal) {
        return {previous.position, true, n}; // sticks
    }
    // Slides: back from the frictionless point towards where it was, until
    // the tangential part is dynamic_coefficient times the normal part.
    Vec3d back = previous.position - free.position;
    back = back - n * Dot(back, n);
    const double gap = Norm(back);
    const double depth = Norm(free.position - hand);
    const double travel = std::min(gap, friction.dynamic_coefficient * depth);
    if (!(travel > 0.0)) return free;
    const Vec3d target = free.position + back * (travel / gap);
    // Round a convex edge the way back may cut through the solid; then the
    // frictionless point it is.
    if (tree.FirstHit(free.position, target)) return free;
    free.position = target;
    return free;
}

} // namespace

Proxy StartingProxy(const TriangleTree& tree, const Vec3d& hand) {
    const ClosestPoint near = tree.Closest(hand, kSurfaceGap);
    if (!(near.distance_squared < kSurfaceGap * kSurfaceGap)) return {hand, false, {}};
    return {near.point + UnitNormal(tree.At(near.triangle)) * kSurfaceGap, false, {}};
}

Proxy SolveProxy(const TriangleTree& tree, const Proxy& previous, const Vec3d& hand,
                 const Friction& friction) {
    Proxy next{Slide(tree, previous.position, hand), false, {}};
    const Vec3d offset = next.position - hand;
    const double depth = Norm(offset);
    if (depth == 0.0) return next;
    next.in_contact = true;
    next.normal = offset * (1.0 / depth);
    if (!previous.in_contact || !(friction.static_coefficient > 0.0)) return next;
    return WithFriction(tree, previous, next, hand, friction);
}

Vec3d ContactForce(const Proxy& proxy, const Vec3d& hand, const Vec3d& velocity, double stiffness,
                   double damping) {
    if (!proxy.in_contact) return {};
    const Vec3d spring = (proxy.position - hand) * stiffness;
    const double pressing = std::max(Dot(spring, proxy.normal), 0.0);
    // The damping may slow the hand's leaving but never pull it back in.
    const double damper = std::max(-damping * Dot(velocity, proxy.normal), -pressing);
    return spring + proxy.normal * damper;
}

} // namespace Torvi::HardwareAPI::Haptics::Geometry
