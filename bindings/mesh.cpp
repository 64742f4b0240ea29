// The Mesh effect of the submodule `haptics`: vertices and faces read from
// any object with the buffer protocol (numpy arrays of every float and
// integer type, read in place, without a Python call per element) or from
// nested sequences, so that the module needs no numpy.

#include "bindings.hpp"
#include "conventions.hpp"
#include "effect_conventions.hpp"

#include "Torvi/HardwareAPI/haptics/Mesh.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Torvi::HardwareAPI::Bindings {
namespace {

using Haptics::Mesh;
using Haptics::MeshParameters;

constexpr std::size_t kColumns = 3;
constexpr char kFloatCodes[] = "efdg";
constexpr char kSignedCodes[] = "bhilqn";
constexpr char kUnsignedCodes[] = "BHILQN";
constexpr std::size_t kHalfSize = 2;
constexpr std::size_t kLargestInteger = 8;

/// What the rows of one argument must hold.
enum class Entries { Numbers, Integers };

std::string TypeName(const py::handle& value) {
    return py::str(py::type::of(value).attr("__name__"));
}

/// A binary16 value (numpy's float16) as a double.
double FromHalf(std::uint16_t bits) {
    const int exponent = (bits >> 10) & 0x1F;
    const double fraction = bits & 0x3FF;
    const double sign = (bits & 0x8000) != 0 ? -1.0 : 1.0;
    if (exponent == 0) return sign * std::ldexp(fraction, -24);
    if (exponent == 0x1F) {
        return fraction == 0 ? sign * std::numeric_limits<double>::infinity()
                             : std::numeric_limits<double>::quiet_NaN();
    }
    return sign * std::ldexp(1024.0 + fraction, exponent - 25);
}

/// One element of a buffer, of format `code` and `size` bytes, as a double
/// (floats) or an integer clamped to int64 (so that a huge index reads as
/// out of range).
struct Element {
    char code;
    std::size_t size;
    bool swapped; ///< stored in the other byte order

    void Load(const char* at, unsigned char* bytes) const {
        std::memcpy(bytes, at, size);
        if (swapped) std::reverse(bytes, bytes + size);
    }
    double AsDouble(const char* at) const {
        unsigned char bytes[sizeof(long double)] = {};
        Load(at, bytes);
        if (std::strchr(kSignedCodes, code) || std::strchr(kUnsignedCodes, code)) {
            return static_cast<double>(AsInteger(at));
        }
        if (size == kHalfSize) {
            std::uint16_t half = 0;
            std::memcpy(&half, bytes, sizeof half);
            return FromHalf(half);
        }
        if (size == sizeof(float)) return Read<float>(bytes);
        if (size == sizeof(double)) return Read<double>(bytes);
        return static_cast<double>(Read<long double>(bytes));
    }
    std::int64_t AsInteger(const char* at) const {
        unsigned char bytes[kLargestInteger] = {};
        Load(at, bytes);
        std::uint64_t raw = 0;
        std::memcpy(&raw, bytes, kLargestInteger); // little-endian host
        const bool negative = std::strchr(kSignedCodes, code) && size < kLargestInteger &&
                              (bytes[size - 1] & 0x80) != 0;
        if (negative) raw |= ~std::uint64_t{0} << (8 * size); // sign-extend
        if (!std::strchr(kSignedCodes, code) &&
            raw > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::numeric_limits<std::int64_t>::max();
        }
        return static_cast<std::int64_t>(raw);
    }
    template <typename Value> static Value Read(const unsigned char* bytes) {
        Value value{};
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
};

/// The element type of a buffer's format, or TypeError for any other.
Element ElementOf(const py::buffer_info& info, const char* name, Entries entries) {
    std::string format = info.format;
    bool swapped = false;
    if (!format.empty() && std::strchr("@=<>!", format[0])) {
        swapped = format[0] == '>' || format[0] == '!';
        format.erase(0, 1);
    }
    const bool integer = format.size() == 1 && (std::strchr(kSignedCodes, format[0]) ||
                                                std::strchr(kUnsignedCodes, format[0]));
    const bool floating = format.size() == 1 && std::strchr(kFloatCodes, format[0]);
    const auto size = static_cast<std::size_t>(info.itemsize);
    const bool sized = (integer && size <= kLargestInteger) ||
                       (floating && (size == kHalfSize || size == sizeof(float) ||
                                     size == sizeof(double) || size == sizeof(long double)));
    if (!sized || (entries == Entries::Integers && !integer)) {
        throw py::type_error(std::string(name) + " must hold " +
                             (entries == Entries::Integers ? "integers" : "numbers") +
                             ", got an array of format '" + info.format + "'");
    }
    return {format[0], size, swapped};
}

template <typename Row>
std::vector<Row> RowsFromBuffer(const py::buffer& source, const char* name, Entries entries) {
    const py::buffer_info info = source.request();
    if (info.ndim != 2 || info.shape[1] != static_cast<py::ssize_t>(kColumns)) {
        std::string shape;
        for (const py::ssize_t extent : info.shape) {
            shape += (shape.empty() ? "" : ", ") + std::to_string(extent);
        }
        throw py::value_error(std::string(name) + " must have the shape (N, 3), got (" + shape +
                              ")");
    }
    const Element element = ElementOf(info, name, entries);
    std::vector<Row> rows(static_cast<std::size_t>(info.shape[0]));
    const auto* base = static_cast<const char*>(info.ptr);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < kColumns; ++j) {
            const char* at = base + static_cast<py::ssize_t>(i) * info.strides[0] +
                             static_cast<py::ssize_t>(j) * info.strides[1];
            if constexpr (std::is_same_v<typename Row::value_type, float>) {
                rows[i][j] = static_cast<float>(element.AsDouble(at));
            } else {
                rows[i][j] = element.AsInteger(at);
            }
        }
    }
    return rows;
}

bool IsText(const py::handle& value) {
    return PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
           PyByteArray_Check(value.ptr());
}

template <typename Row>
void LoadEntry(const py::handle& item, const char* name, Row& row, std::size_t j) {
    if constexpr (std::is_same_v<typename Row::value_type, float>) {
        if (!PyNumber_Check(item.ptr()) || IsText(item)) {
            throw py::type_error(std::string(name) + " must hold numbers, got " + TypeName(item));
        }
        const double number = PyFloat_AsDouble(item.ptr());
        if (number == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
        row[j] = static_cast<float>(number);
    } else {
        if (!PyIndex_Check(item.ptr())) {
            throw py::type_error(std::string(name) + " must hold integers, got " + TypeName(item));
        }
        const py::int_ index = py::reinterpret_steal<py::int_>(PyNumber_Index(item.ptr()));
        if (!index) throw py::error_already_set();
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        row[j] = overflow > 0   ? std::numeric_limits<std::int64_t>::max()
                 : overflow < 0 ? std::numeric_limits<std::int64_t>::min()
                                : value;
    }
}

template <typename Row>
std::vector<Row> RowsFromSequence(const py::handle& source, const char* name) {
    const auto outer = py::reinterpret_borrow<py::sequence>(source);
    std::vector<Row> rows(outer.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const py::object row = outer[i];
        if (IsText(row) || !PySequence_Check(row.ptr())) {
            throw py::type_error(std::string(name) + " must be rows of three, got a row of type " +
                                 TypeName(row));
        }
        const auto entries = py::reinterpret_borrow<py::sequence>(row);
        if (entries.size() != kColumns) {
            throw py::value_error(std::string(name) + " must have the shape (N, 3), got a row of " +
                                  std::to_string(entries.size()));
        }
        for (std::size_t j = 0; j < kColumns; ++j)
            LoadEntry(entries[j], name, rows[i], j);
    }
    return rows;
}

/// The rows of a vertices or faces argument, refused with TypeError or
/// ValueError as the class's doc says.
template <typename Row> std::vector<Row> Rows(const py::handle& source, const char* name) {
    const Entries entries =
        std::is_same_v<typename Row::value_type, float> ? Entries::Numbers : Entries::Integers;
    if (!IsText(source) && PyObject_CheckBuffer(source.ptr())) {
        return RowsFromBuffer<Row>(py::reinterpret_borrow<py::buffer>(source), name, entries);
    }
    if (IsText(source) || !PySequence_Check(source.ptr())) {
        throw py::type_error(std::string(name) +
                             " must be an (N, 3) array or a sequence of rows of three, got " +
                             TypeName(source));
    }
    return RowsFromSequence<Row>(source, name);
}

// Pairs of tuples, so that the signature says (tuple, tuple).
std::pair<py::tuple, py::tuple> BoundsOf(const Mesh& mesh) {
    const auto bounds = mesh.Bounds();
    return {Tuple(bounds.first), Tuple(bounds.second)};
}

constexpr const char* kNumpyMissing =
    "Mesh.triangles() returns a numpy array; install numpy (pip install numpy)";

constexpr const char* kMeshDoc =
    "A solid of triangles felt through a proxy that follows the hand but never crosses the "
    "surface, from either side: F = stiffness * (proxy - hand) - damping * (velocity along the "
    "contact normal) * normal, never pulling, with a Coulomb friction cone. vertices: (N, 3) "
    "numbers, faces: (M, 3) integer indices (counter-clockwise seen from outside), as numpy "
    "arrays of any float or integer type or as nested sequences; triangles of zero area are "
    "dropped. The tree over the triangles is built here, on this thread, with the interpreter "
    "lock released.";

void BindMeshPose(EffectBinding<Mesh>& mesh) {
    mesh.def(
        "set_pose",
        [](Mesh& self, const ThreeNumbers& position, const FourNumbers& rotation) {
            self.Update([&](MeshParameters& parameters) {
                parameters.position = position.value;
                parameters.rotation = rotation.value;
            });
        },
        "Place the mesh: its frame's origin at `position` and turned by the quaternion "
        "`rotation` (w, x, y, z; normalised) in the arm's frame; seen whole by the next cycle. "
        "ValueError for a zero quaternion.",
        py::arg("position") = py::make_tuple(0.0, 0.0, 0.0),
        py::arg("rotation") = py::make_tuple(1.0, 0.0, 0.0, 0.0));
    mesh.def_property_readonly(
        "pose",
        [](const Mesh& self) {
            const MeshParameters parameters = self.Get();
            return std::make_pair(Tuple(parameters.position), Tuple(parameters.rotation));
        },
        "(position, rotation) as set_pose set them, the rotation normalised.");
}

void BindMeshState(EffectBinding<Mesh>& mesh) {
    mesh.def_property_readonly(
        "proxy", [](const Mesh& self) { return Tuple(self.Contact().proxy); },
        "The proxy at the last cycle, in the arm's frame (the hand's position out of contact).");
    mesh.def_property_readonly(
        "in_contact", [](const Mesh& self) { return self.Contact().in_contact; },
        "Whether the surface held the proxy back at the last cycle.");
    mesh.def_property_readonly("triangle_count", &Mesh::TriangleCount, "The triangles kept.");
    mesh.def_property_readonly(
        "closed", &Mesh::Closed,
        "Whether the faces close a solid (every edge shared by exactly two faces running it in "
        "opposite directions; vertices at the same coordinates count as one). A hand inside a "
        "closed mesh when its rendering starts feels no force until it is out.");
    mesh.def(
        "triangles",
        [](const Mesh& self) {
            RequireNumpy(kNumpyMissing);
            const std::vector<float> corners = self.TriangleCorners();
            constexpr py::ssize_t kCorners = 3;
            py::array_t<float> out({static_cast<py::ssize_t>(self.TriangleCount()), kCorners,
                                    static_cast<py::ssize_t>(kColumns)});
            std::copy(corners.begin(), corners.end(), out.mutable_data());
            return out;
        },
        "The triangles kept, for drawing: an (M, 3, 3) float32 numpy array of their corners "
        "(x, y, z of a, b and c, turned as the faces were) in the mesh's own frame, in an order "
        "of the mesh's choosing (needs numpy).");
    mesh.def_property_readonly("bounds", &BoundsOf,
                               "((min x, y, z), (max x, y, z)) in the mesh's own frame.");
    mesh.def("__repr__", [](const py::object& self) {
        return py::str("Mesh(<{} triangles>, stiffness={}, damping={}, static_friction={}, "
                       "dynamic_friction={})")
            .format(self.attr("triangle_count"), self.attr("stiffness"), self.attr("damping"),
                    self.attr("static_friction"), self.attr("dynamic_friction"));
    });
}

} // namespace

void bind_mesh(py::module_& haptics) {
    EffectBinding<Mesh> mesh(haptics, "Mesh", kMeshDoc);
    mesh.def(py::init([](const py::object& vertices, const py::object& faces, float stiffness,
                         float damping, float static_friction, float dynamic_friction) {
                 const auto points = Rows<Haptics::Vector3>(vertices, "vertices");
                 const auto triangles = Rows<Mesh::Face>(faces, "faces");
                 MeshParameters parameters;
                 parameters.stiffness = stiffness;
                 parameters.damping = damping;
                 parameters.static_friction = static_friction;
                 parameters.dynamic_friction = dynamic_friction;
                 return Unlocked(
                     [&] { return std::make_shared<Mesh>(points, triangles, parameters); });
             }),
             py::arg("vertices"), py::arg("faces"), py::arg("stiffness") = 800.0f,
             py::arg("damping") = 0.0f, py::arg("static_friction") = 0.0f,
             py::arg("dynamic_friction") = 0.0f);
    DefParameter(mesh, "stiffness", &MeshParameters::stiffness);
    DefParameter(mesh, "damping", &MeshParameters::damping);
    DefParameter(mesh, "static_friction", &MeshParameters::static_friction);
    DefParameter(mesh, "dynamic_friction", &MeshParameters::dynamic_friction);
    BindMeshPose(mesh);
    BindMeshState(mesh);
}

} // namespace Torvi::HardwareAPI::Bindings
