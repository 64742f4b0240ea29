// The mesh effect driven cycle by cycle without a loop: random hand paths
// into and through a closed, non-convex mesh (a torus) in a turned and moved
// pose never leave the proxy inside it, by a winding-number test of the
// test's own; and bad input is refused before anything is built.

#include "Torvi/HardwareAPI/haptics/Mesh.hpp"

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
