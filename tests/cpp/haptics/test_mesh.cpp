// The mesh effect driven cycle by cycle without a loop: random hand paths
// into and through a closed, non-convex mesh (a torus) in a turned and moved
// pose never leave the proxy inside it, by a winding-number test of the
// test's own; a hand inside a closed mesh at the start leaves it freely,
// one behind an open surface is held; which meshes are closed, and the
// point-in-solid test against the winding number; and bad input is refused
// before anything is built.

#include "Torvi/HardwareAPI/haptics/Mesh.hpp"
#include "haptics/Solid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI::Haptics;

constexpr double kPi = 3.14159265358979323846;

struct TestMesh {
    std::vector<Vector3> vertices;
    std::vector<Mesh::Face> faces;
};

/// A torus about z: tube radius `r` around a circle of radius `R`.
TestMesh Torus(float R, float r, int around, int tube) {
    TestMesh mesh;
    for (int i = 0; i < around; ++i) {
        for (int j = 0; j < tube; ++j) {
            const double u = 2 * kPi * i / around, v = 2 * kPi * j / tube;
            mesh.vertices.push_back({static_cast<float>((R + r * std::cos(v)) * std::cos(u)),
                                     static_cast<float>((R + r * std::cos(v)) * std::sin(u)),
                                     static_cast<float>(r * std::sin(v))});
        }
    }
    for (int i = 0; i < around; ++i) {
        for (int j = 0; j < tube; ++j) {
            const auto at = [&](int a, int b) {
                return static_cast<std::int64_t>((a % around) * tube + b % tube);
            };
            mesh.faces.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            mesh.faces.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    }
    return mesh;
}

/// The winding number of the closed mesh around `p`: the solid angles of its
/// triangles (Van Oosterom and Strackee) over 4 pi; about +-1 inside, 0 outside.
double Winding(const TestMesh& mesh, const std::array<double, 3>& p) {
    double total = 0.0;
    for (const Mesh::Face& face : mesh.faces) {
        std::array<std::array<double, 3>, 3> c{};
        std::array<double, 3> length{};
        for (int k = 0; k < 3; ++k) {
            for (int i = 0; i < 3; ++i) {
                c[k][i] = mesh.vertices[static_cast<std::size_t>(face[k])][i] - p[i];
            }
            length[k] = std::sqrt(c[k][0] * c[k][0] + c[k][1] * c[k][1] + c[k][2] * c[k][2]);
        }
        const auto dot = [](const auto& a, const auto& b) {
            return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
        };
        const double triple = c[0][0] * (c[1][1] * c[2][2] - c[1][2] * c[2][1]) -
                              c[0][1] * (c[1][0] * c[2][2] - c[1][2] * c[2][0]) +
                              c[0][2] * (c[1][0] * c[2][1] - c[1][1] * c[2][0]);
        const double below = length[0] * length[1] * length[2] + dot(c[0], c[1]) * length[2] +
                             dot(c[0], c[2]) * length[1] + dot(c[1], c[2]) * length[0];
        total += 2.0 * std::atan2(triple, below);
    }
    return total / (4 * kPi);
}

TEST(MeshProxy, RandomPathsNeverLeaveTheProxyInsideAClosedMesh) {
    const TestMesh torus = Torus(0.03f, 0.01f, 48, 24);
    // A quarter turn about x and a shift: the proxy is solved in the mesh's frame.
    MeshParameters parameters;
    parameters.stiffness = 1000.0f;
    parameters.position = {0.01f, -0.02f, 0.1f};
    parameters.rotation = {0.70710678f, 0.70710678f, 0.0f, 0.0f};
    Mesh mesh(torus.vertices, torus.faces, parameters);
    ASSERT_EQ(mesh.TriangleCount(), torus.faces.size());
    // Back from the arm's frame into the mesh's: turn back about x, unshift.
    const auto in_mesh = [&](const Vector3& p) {
        const double x = p[0] - parameters.position[0], y = p[1] - parameters.position[1],
                     z = p[2] - parameters.position[2];
        return std::array<double, 3>{x, z, -y};
    };
    const auto in_arm = [&](const std::array<double, 3>& m) {
        return Vector3{static_cast<float>(m[0] + parameters.position[0]),
                       static_cast<float>(-m[2] + parameters.position[1]),
                       static_cast<float>(m[1] + parameters.position[2])};
    };
    std::mt19937 random(22);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int inside_hand = 0;
    for (int path = 0; path < 60; ++path) {
        // From outside, towards a point near the tube's core and on through
        // it, wobbling, with a leap of a few centimetres now and then.
        const double angle = kPi * unit(random);
        const std::array<double, 3> aim{0.03 * std::cos(angle) + 0.008 * unit(random),
                                        0.03 * std::sin(angle) + 0.008 * unit(random),
                                        0.008 * unit(random)};
        std::array<double, 3> at{aim[0] + 0.03 * unit(random), aim[1] + 0.03 * unit(random),
                                 aim[2] + 0.03};
        const std::array<double, 3> heading{(aim[0] - at[0]) / 40, (aim[1] - at[1]) / 40,
                                            (aim[2] - at[2]) / 40};
        mesh.Restart();
        for (int cycle = 0; cycle < 120; ++cycle) {
            const Vector3 hand = in_arm(at);
            mesh.Render({hand, {}, 0.001, cycle * 0.001});
            const MeshContact contact = mesh.Contact();
            ASSERT_LT(std::fabs(Winding(torus, in_mesh(contact.proxy))), 0.5)
                << "path " << path << ", cycle " << cycle;
            if (!contact.in_contact) {
                EXPECT_EQ(contact.proxy, hand);
            }
            inside_hand += std::fabs(Winding(torus, in_mesh(hand))) > 0.5 ? 1 : 0;
            const double leap = cycle % 15 == 14 ? 0.03 : 0.0;
            for (int i = 0; i < 3; ++i)
                at[i] += heading[i] + 0.001 * unit(random) + leap * unit(random);
        }
    }
    EXPECT_GT(inside_hand, 200) << "the paths should often be inside the mesh";
}

TestMesh Cube(float half) {
    TestMesh mesh;
    for (const float x : {-half, half})
        for (const float y : {-half, half})
            for (const float z : {-half, half})
                mesh.vertices.push_back({x, y, z});
    // Two triangles a side, counter-clockwise seen from outside; the last
    // two are the side z = -half.
    mesh.faces = {{0, 1, 3}, {0, 3, 2}, {4, 6, 7}, {4, 7, 5}, {0, 4, 5}, {0, 5, 1},
                  {2, 3, 7}, {2, 7, 6}, {1, 5, 7}, {1, 7, 3}, {0, 2, 6}, {0, 6, 4}};
    return mesh;
}

/// A UV sphere whose seam and poles repeat their vertices, as a simple
/// generator makes it: closed once vertices at the same place are one.
TestMesh Sphere(float radius, int rings, int segments) {
    TestMesh mesh;
    for (int i = 0; i <= rings; ++i) {
        for (int j = 0; j <= segments; ++j) {
            const double polar = kPi * i / rings, azimuth = 2 * kPi * (j % segments) / segments;
            const double across = i == 0 || i == rings ? 0.0 : radius * std::sin(polar);
            mesh.vertices.push_back({static_cast<float>(across * std::cos(azimuth)),
                                     static_cast<float>(across * std::sin(azimuth)),
                                     static_cast<float>(radius * std::cos(polar))});
        }
    }
    const auto at = [&](int i, int j) { return static_cast<std::int64_t>(i * (segments + 1) + j); };
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            mesh.faces.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            mesh.faces.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    }
    return mesh;
}

TEST(MeshSolid, ClosedOnlyWhereEveryEdgeHasTwoFacesTurnedApart) {
    const TestMesh cube = Cube(0.01f);
    TestMesh open = cube;
    open.faces.resize(10);
    TestMesh flipped = cube;
    std::swap(flipped.faces[4][1], flipped.faces[4][2]);
    TestMesh fin = cube; // a third face on the edge from vertex 0 to 1
    fin.vertices.push_back({-0.02f, -0.02f, 0.0f});
    fin.faces.push_back({0, 1, 8});
    const struct {
        const char* name;
        TestMesh mesh;
        bool closed;
    } cases[] = {
        {"cube", cube, true},
        {"sphere with a repeated seam", Sphere(0.03f, 12, 16), true},
        {"torus", Torus(0.03f, 0.01f, 12, 8), true},
        {"open box", open, false},
        {"flipped face", flipped, false},
        {"non-manifold edge", fin, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Mesh(c.mesh.vertices, c.mesh.faces, {}).Closed(), c.closed) << c.name;
    }
}

std::vector<Geometry::Triangle> TrianglesOf(const TestMesh& mesh) {
    std::vector<Geometry::Triangle> triangles;
    for (const Mesh::Face& f : mesh.faces) {
        const auto at = [&](int k) { return mesh.vertices[static_cast<std::size_t>(f[k])]; };
        triangles.push_back({at(0), at(1), at(2)});
    }
    return triangles;
}

TEST(MeshSolid, InsideSolidAnswersAsTheWindingNumber) {
    const TestMesh torus = Torus(0.03f, 0.01f, 48, 24);
    const Geometry::TriangleTree tree(TrianglesOf(torus));
    std::mt19937 random(23);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int inside = 0;
    for (int i = 0; i < 2000; ++i) {
        const std::array<double, 3> p{0.045 * unit(random), 0.045 * unit(random),
                                      0.012 * unit(random)};
        const double winding = Winding(torus, p);
        if (std::fabs(std::fabs(winding) - 0.5) < 0.01) continue; // on the surface
        const bool expected = std::fabs(winding) > 0.5;
        inside += expected ? 1 : 0;
        ASSERT_EQ(Geometry::InsideSolid(tree, {p[0], p[1], p[2]}), expected)
            << "(" << p[0] << ", " << p[1] << ", " << p[2] << ")";
    }
    EXPECT_GT(inside, 200);
    // Rays that leave a cube exactly through a corner or an edge: the first
    // direction is doubtful there, and another decides.
    const float half = 0.01f;
    const TestMesh cube = Cube(half);
    const Geometry::TriangleTree box(TrianglesOf(cube));
    const auto& d = Geometry::kRayDirections[0];
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (const Geometry::Vec3d& exit :
         {Geometry::Vec3d{half, half, half}, Geometry::Vec3d{half, 0.0, half}}) {
        for (const double back : {1e-4, 5e-3}) {
            const double s = back / length;
            const Geometry::Vec3d p{exit.x - d[0] * s, exit.y - d[1] * s, exit.z - d[2] * s};
            EXPECT_TRUE(tree.Crossings(p, p).winding == 0); // a point crosses nothing
            EXPECT_TRUE(box.Crossings(p, p + Geometry::Vec3d{d[0], d[1], d[2]}).doubtful);
            EXPECT_TRUE(Geometry::InsideSolid(box, p)) << back;
        }
    }
}

/// From the torus's tube core straight up to 2 cm above it, then back down
/// to 2 mm within its top (at z = 1 cm), a millimetre a cycle.
std::vector<Vector3> UpAndBack() {
    std::vector<Vector3> path;
    for (int i = 0; i <= 20; ++i)
        path.push_back({0.03f, 0.0f, 0.001f * static_cast<float>(i)});
    for (int i = 19; i >= 8; --i)
        path.push_back({0.03f, 0.0f, 0.001f * static_cast<float>(i)});
    return path;
}

TEST(MeshSolid, AHandInsideAtTheStartLeavesAClosedMeshAndIsHeldByAnOpenOne) {
    const TestMesh torus = Torus(0.03f, 0.01f, 48, 24);
    TestMesh open = torus;
    // The ring of the tube opposite the hand gone.
    open.faces.erase(open.faces.begin() + 2 * 24 * 24, open.faces.begin() + 2 * 24 * 25);
    MeshParameters parameters;
    parameters.stiffness = 1000.0f;
    const std::vector<Vector3> path = UpAndBack();
    for (const bool closed : {true, false}) {
        const TestMesh& shape = closed ? torus : open;
        Mesh mesh(shape.vertices, shape.faces, parameters);
        ASSERT_EQ(mesh.Closed(), closed);
        Vector3 force{};
        for (std::size_t i = 0; i < path.size(); ++i) {
            force = mesh.Render({path[i], {}, 0.001, 0.001 * static_cast<double>(i)});
            const float above_top = path[i][2] - 0.01f;
            if (i > 20) continue; // on the way back
            if (closed) {
                // No force out of the solid: the proxy is the hand.
                ASSERT_EQ(force, (Vector3{0, 0, 0})) << "cycle " << i;
                ASSERT_EQ(mesh.Contact().proxy, path[i]);
            } else if (above_top > 0.0005f) {
                // Behind the open surface: held inside, pulled back in.
                EXPECT_LT(force[2], -0.5f * parameters.stiffness * above_top) << "cycle " << i;
            }
        }
        // Back in 2 mm: from outside the closed top pushes up; the open
        // mesh's proxy, held inside all along, is the hand again.
        EXPECT_EQ(mesh.Contact().in_contact, closed);
        EXPECT_NEAR(force[2], closed ? parameters.stiffness * 0.00201f : 0.0f, 0.05f);
    }
}

TEST(MeshProxy, BadInputIsRefusedBeforeBuilding) {
    const std::vector<Vector3> square{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    const std::vector<Mesh::Face> two{{0, 1, 2}, {0, 2, 3}};
    const float nan = std::nanf("");
    MeshParameters sticky;
    sticky.static_friction = 0.2f;
    sticky.dynamic_friction = 0.3f;
    MeshParameters unturned;
    unturned.rotation = {0, 0, 0, 0};
    const struct {
        std::vector<Vector3> vertices;
        std::vector<Mesh::Face> faces;
        MeshParameters parameters;
    } bad[] = {
        {{}, two, {}},
        {square, {}, {}},
        {{{0, 0, 0}, {1, nan, 0}, {1, 1, 0}, {0, 1, 0}}, two, {}},
        {square, {{0, 1, 4}}, {}},
        {square, {{0, -1, 2}}, {}},
        {square, {{0, 1, 1}, {0, 2, 2}}, {}}, // every face of zero area
        {square, two, sticky},
        {square, two, unturned},
    };
    for (const auto& input : bad) {
        EXPECT_THROW(Mesh(input.vertices, input.faces, input.parameters), std::invalid_argument);
    }
    // Zero-area faces are dropped; the rest is kept.
    EXPECT_EQ(Mesh(square, {{0, 1, 2}, {0, 0, 3}, {0, 2, 3}}, {}).TriangleCount(), 2u);
}

} // namespace
