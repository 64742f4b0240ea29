// torvi-bench-mesh: what a mesh costs, on the mesh and the queries that
// bench/mesh.py writes into FILE. Builds the Mesh (wall time, bytes kept,
// heap growth, whether it is closed), renders one cycle for each hand
// position of the path and times each (as the loop's thread would run it),
// and times single segment and closest-point queries of the tree and the
// point-in-solid test that a closed mesh's first cycle after a start runs. Prints one JSON object;
// the hits and distances of the queries go to FILE.answers for a check against another library.
//
// FILE: "TMSH", then uint64 counts of vertices, faces, path positions,
// segments and points, then float32 vertices (x, y, z), int64 faces,
// float32 path positions, float64 segments (from, to) and float64 points.

#include "Torvi/HardwareAPI/haptics/Mesh.hpp"
#include "haptics/Solid.hpp"
#include "haptics/TriangleTree.hpp"

#include <malloc.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI::Haptics;
using Clock = std::chrono::steady_clock;

constexpr std::array<char, 4> kMagic{'T', 'M', 'S', 'H'};
constexpr double kMedian = 0.50;
constexpr double kTail = 0.99;
constexpr float kStiffness = 800.0f;
constexpr double kCycleSeconds = 0.001;

struct Input {
    std::vector<Vector3> vertices;
    std::vector<Mesh::Face> faces;
    std::vector<Vector3> path;
    std::vector<std::array<double, 6>> segments;
    std::vector<std::array<double, 3>> points;
};

template <typename T> void ReadInto(std::ifstream& in, std::vector<T>& out, std::uint64_t count) {
    out.resize(count);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count * sizeof(T)));
}

Input Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::array<char, 4> magic{};
    std::array<std::uint64_t, 5> counts{};
    in.read(magic.data(), magic.size());
    in.read(reinterpret_cast<char*>(counts.data()), sizeof counts);
    if (!in || magic != kMagic) throw std::runtime_error("not a mesh bench file: " + path);
    Input input;
    ReadInto(in, input.vertices, counts[0]);
    ReadInto(in, input.faces, counts[1]);
    ReadInto(in, input.path, counts[2]);
    ReadInto(in, input.segments, counts[3]);
    ReadInto(in, input.points, counts[4]);
    if (!in) throw std::runtime_error("short mesh bench file: " + path);
    return input;
}

double Nanoseconds(Clock::duration d) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

double Percentile(std::vector<double> values, double fraction) {
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

std::size_t HeapBytes() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

/// One cycle per path position, each timed; the share of them in contact.
std::vector<double> TimeCycles(Mesh& mesh, const std::vector<Vector3>& path, double& in_contact) {
    std::vector<double> cycle_ns;
    cycle_ns.reserve(path.size());
    std::size_t contacts = 0;
    mesh.Restart();
    for (std::size_t i = 0; i < path.size(); ++i) {
        const CycleInput cycle{path[i], {}, kCycleSeconds, kCycleSeconds * static_cast<double>(i)};
        const Clock::time_point start = Clock::now();
        mesh.Render(cycle);
        cycle_ns.push_back(Nanoseconds(Clock::now() - start));
        contacts += mesh.Contact().in_contact ? 1 : 0;
    }
    in_contact = static_cast<double>(contacts) / static_cast<double>(path.size());
    return cycle_ns;
}

/// Mean nanoseconds per query; the answers (t or -1, squared distance) to `answers`.
std::pair<double, double> TimeQueries(const Geometry::TriangleTree& tree, const Input& input,
                                      std::FILE* answers) {
    std::vector<double> hits(input.segments.size());
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < input.segments.size(); ++i) {
        const auto& s = input.segments[i];
        const auto hit = tree.FirstHit({s[0], s[1], s[2]}, {s[3], s[4], s[5]});
        hits[i] = hit ? hit->t : -1.0;
    }
    const Clock::time_point middle = Clock::now();
    std::vector<double> distances(input.points.size());
    for (std::size_t i = 0; i < input.points.size(); ++i) {
        const auto& p = input.points[i];
        distances[i] = tree.Closest({p[0], p[1], p[2]}).distance_squared;
    }
    const Clock::time_point end = Clock::now();
    std::fwrite(hits.data(), sizeof(double), hits.size(), answers);
    std::fwrite(distances.data(), sizeof(double), distances.size(), answers);
    return {Nanoseconds(middle - start) / static_cast<double>(hits.size()),
            Nanoseconds(end - middle) / static_cast<double>(distances.size())};
}

/// The point-in-solid test at each point: the mean nanoseconds over the
/// points inside (the hand the test is for; most outside end at the box),
/// the largest over all, and the share of points inside.
std::array<double, 3> TimeInsideSolid(const Geometry::TriangleTree& tree, const Input& input) {
    double inside_sum = 0.0, largest = 0.0;
    std::size_t inside = 0;
    for (const auto& p : input.points) {
        const Clock::time_point start = Clock::now();
        const bool in = Geometry::InsideSolid(tree, {p[0], p[1], p[2]});
        const double ns = Nanoseconds(Clock::now() - start);
        largest = std::max(largest, ns);
        inside_sum += in ? ns : 0.0;
        inside += in ? 1 : 0;
    }
    return {inside > 0 ? inside_sum / static_cast<double>(inside) : 0.0, largest,
            static_cast<double>(inside) / static_cast<double>(input.points.size())};
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    const Input input = Read(argv[1]);
    MeshParameters parameters;
    parameters.stiffness = kStiffness;
    const std::size_t heap_before = HeapBytes();
    const Clock::time_point start = Clock::now();
    Mesh mesh(input.vertices, input.faces, parameters);
    const double build_s = Nanoseconds(Clock::now() - start) * 1e-9;
    const std::size_t heap_kept = HeapBytes() - heap_before;
    double in_contact = 0.0;
    const std::vector<double> cycle_ns = TimeCycles(mesh, input.path, in_contact);

    // The same triangles in a tree of their own, for the queries alone.
    std::vector<Geometry::Triangle> triangles;
    for (const Mesh::Face& f : input.faces) {
        const auto at = [&](int k) { return input.vertices[static_cast<std::size_t>(f[k])]; };
        const Geometry::Triangle t{at(0), at(1), at(2)};
        if (!Geometry::Degenerate(t)) triangles.push_back(t);
    }
    const Geometry::TriangleTree tree(triangles);
    std::FILE* answers = std::fopen((std::string(argv[1]) + ".answers").c_str(), "wb");
    if (answers == nullptr) throw std::runtime_error("cannot write the answers");
    const auto [segment_ns, closest_ns] = TimeQueries(tree, input, answers);
    std::fclose(answers);
    const auto [inside_ns, inside_max_ns, inside_share] = TimeInsideSolid(tree, input);
    // The closed test alone, a part of the build above.
    const Clock::time_point closed_start = Clock::now();
    const bool closed = Geometry::Closed(input.vertices, input.faces);
    const double closed_s = Nanoseconds(Clock::now() - closed_start) * 1e-9;

    const double triangles_kept = static_cast<double>(mesh.TriangleCount());
    std::printf("{\"triangles\": %zu, \"build_s\": %.6f, \"bytes_per_triangle\": %.2f, "
                "\"heap_bytes_per_triangle\": %.2f, \"cycle_p50_ns\": %.1f, "
                "\"cycle_p99_ns\": %.1f, \"cycle_max_ns\": %.1f, \"in_contact_share\": %.3f, "
                "\"segment_ns\": %.1f, \"closest_ns\": %.1f, \"closed\": %s, \"closed_s\": %.6f, "
                "\"inside_solid_ns\": %.1f, \"inside_solid_max_ns\": %.1f, "
                "\"inside_share\": %.3f}\n",
                mesh.TriangleCount(), build_s,
                static_cast<double>(mesh.MemoryBytes()) / triangles_kept,
                static_cast<double>(heap_kept) / triangles_kept, Percentile(cycle_ns, kMedian),
                Percentile(cycle_ns, kTail), *std::max_element(cycle_ns.begin(), cycle_ns.end()),
                in_contact, segment_ns, closest_ns, closed ? "true" : "false", closed_s, inside_ns,
                inside_max_ns, inside_share);
    return 0;
}
