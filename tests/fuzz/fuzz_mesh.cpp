// Arbitrary vertices and faces into the mesh's construction, then a few
// queries of its tree against brute force and a few cycles of its proxy.
// Byte 0: the number of vertices (low 5 bits) and whether coordinates are
// raw floats (bit 5: NaN, infinities, huge values) or small fixed-point
// numbers; byte 1: the number of faces; then the coordinates, one index
// byte per corner (minus 4, so that negative and too-large indices come),
// and the rest as query and hand positions.

#include "Torvi/HardwareAPI/haptics/Mesh.hpp"
#include "haptics/TriangleTree.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI::Haptics;
using namespace Torvi::HardwareAPI::Haptics::Geometry;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

class Bytes {
public:
    Bytes(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Left(std::size_t n) const { return at_ + n <= size_; }
    uint8_t Byte() { return Left(1) ? data_[at_++] : 0; }
    float Coordinate(bool raw) {
        if (raw) {
            float value = 0.0f;
            if (Left(sizeof value)) std::memcpy(&value, data_ + at_, sizeof value);
            at_ += sizeof value;
            return value;
        }
        const auto high = static_cast<int8_t>(Byte());
        return static_cast<float>(high) / 64.0f + static_cast<float>(Byte()) / 16384.0f;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void CheckQueries(const std::vector<Triangle>& triangles, Bytes& bytes) {
    const TriangleTree tree(triangles);
    for (int q = 0; q < 4 && bytes.Left(12); ++q) {
        const Vec3d from{bytes.Coordinate(false), bytes.Coordinate(false), bytes.Coordinate(false)};
        const Vec3d to{bytes.Coordinate(false), bytes.Coordinate(false), bytes.Coordinate(false)};
        std::optional<double> brute;
        double closest = std::numeric_limits<double>::infinity();
        for (const Triangle& t : triangles) {
            const auto hit = SegmentHitsTriangle(from, to - from, t);
            if (hit && (!brute || *hit < *brute)) brute = hit;
            const Vec3d p = ClosestOnTriangle(from, t);
            closest = std::min(closest, Dot(p - from, p - from));
        }
        const auto hit = tree.FirstHit(from, to);
        if (hit.has_value() != brute.has_value() || (hit && hit->t != *brute)) {
            Fail("first hit differs from brute force");
        }
        if (tree.Closest(from).distance_squared != closest) {
            Fail("closest point differs from brute force");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Bytes bytes(data, size);
    const uint8_t shape = bytes.Byte();
    const bool raw = (shape & 0x20) != 0;
    const std::size_t vertex_count = shape & 0x1F;
    const std::size_t face_count = bytes.Byte() % 48;
    std::vector<Vector3> vertices(vertex_count);
    for (Vector3& v : vertices) {
        for (float& c : v)
            c = bytes.Coordinate(raw);
    }
    std::vector<Mesh::Face> faces(face_count);
    for (Mesh::Face& face : faces) {
        for (std::int64_t& index : face)
            index = static_cast<std::int64_t>(bytes.Byte()) - 4;
    }
    std::unique_ptr<Mesh> mesh;
    try {
        mesh = std::make_unique<Mesh>(vertices, faces, MeshParameters{});
    } catch (const std::invalid_argument&) {
        return 0; // refused input: nothing more to try
    }
    std::vector<Triangle> triangles;
    for (const Mesh::Face& f : faces) {
        const auto at = [&](int k) { return vertices[static_cast<std::size_t>(f[k])]; };
        const Triangle t{at(0), at(1), at(2)};
        if (!Degenerate(t)) triangles.push_back(t);
    }
    if (triangles.size() != mesh->TriangleCount()) Fail("triangle count differs");
    if (!raw) CheckQueries(triangles, bytes);
    mesh->Restart();
    for (int cycle = 0; cycle < 8 && bytes.Left(6); ++cycle) {
        const Vector3 hand{bytes.Coordinate(false), bytes.Coordinate(false),
                           bytes.Coordinate(false)};
        const Vector3 force = mesh->Render({hand, {0.1f, 0.0f, -0.1f}, 0.001, 0.001 * cycle});
        if (!raw) {
            for (const float f : force) {
                if (!std::isfinite(f)) Fail("a force that is not finite");
            }
        }
    }
    return 0;
}
