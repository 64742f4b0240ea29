// The PhysicsScene effect of the submodule `haptics`, and Mesh.follow: a
// MuJoCo simulation of the user's own model stepped by the loop's thread.
// The module needs no MuJoCo to import: the engine is the one the user's
// `mujoco` package ships, loaded when the first scene is made, and the model
// and data are reached through the addresses that package gives their C
// structs. A module built without MuJoCo's headers keeps the names, which
// then say so.

#include "bindings.hpp"
#include "conventions.hpp"
#include "effect_conventions.hpp"

#include "Torvi/HardwareAPI/haptics/Mesh.hpp"
#ifdef TORVI_HAS_PHYSICS
#include "Torvi/HardwareAPI/physics/PhysicsScene.hpp"
#endif

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Torvi::HardwareAPI::Bindings {
namespace {

using MeshBinding = EffectBinding<Haptics::Mesh>;

#ifdef TORVI_HAS_PHYSICS

using Physics::PhysicsScene;
using Physics::ScenePoint;

constexpr const char* kMujocoMissing =
    "a PhysicsScene needs MuJoCo (the extra 'physics'): pip install 'TorviHardwareAPI[physics]'";

py::module_ ImportMujoco() {
    try {
        return py::module_::import("mujoco");
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_ImportError)) {
            throw py::import_error(kMujocoMissing);
        }
        throw;
    }
}

/// The engine file the imported package ships beside its modules.
std::string LibraryPath(const py::module_& mujoco) {
    const py::module_ path = py::module_::import("os.path");
    const py::object folder = path.attr("dirname")(mujoco.attr("__file__"));
    const py::list names = py::module_::import("builtins")
                               .attr("sorted")(py::module_::import("os").attr("listdir")(folder));
    std::optional<std::string> found;
    for (const py::handle name : names) {
        const std::string text = py::str(name);
        if (text.rfind("libmujoco.so", 0) == 0) {
            found = py::str(path.attr("join")(folder, name));
        }
    }
    if (!found) {
        throw py::import_error("the mujoco package in " + std::string(py::str(folder)) +
                               " ships no libmujoco.so: " + kMujocoMissing);
    }
    return *found;
}

/// `object` as a mujoco.`type_name`, or TypeError naming the argument.
void RequireInstance(const py::module_& mujoco, const py::handle& object, const char* type_name,
                     const char* argument) {
    if (!py::isinstance(object, mujoco.attr(type_name))) {
        throw py::type_error(std::string(argument) + " must be a mujoco." + type_name + ", got " +
                             std::string(py::str(py::type::of(object).attr("__name__"))));
    }
}

/// The C struct behind a mujoco.MjModel or mujoco.MjData.
template <typename Struct> Struct* Address(const py::handle& object) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the package hands out the struct's address
    return reinterpret_cast<Struct*>(object.attr("_address").cast<std::uintptr_t>());
}

/// `data` checked as a mujoco.MjData, and the model it was made for.
std::pair<const mjModel_*, mjData_*> DataAndModel(const py::handle& data) {
    RequireInstance(ImportMujoco(), data, "MjData", "data");
    return {Address<const mjModel_>(data.attr("model")), Address<mjData_>(data)};
}

/// ValueError unless `data` was made for a model sized as `model` in every
/// count (nq, nv, nbody first), which copying the data relies on.
void RequireDataOf(const py::handle& model, const py::handle& data) {
    const py::object own = data.attr("model");
    if (own.is(model)) {
        return;
    }
    py::list sizes;
    for (const char* first : {"nq", "nv", "nbody"}) {
        sizes.append(first);
    }
    for (const py::handle name : py::module_::import("builtins").attr("dir")(model)) {
        const std::string text = py::str(name);
        if (text.size() > 1 && text[0] == 'n' && py::isinstance<py::int_>(model.attr(name))) {
            sizes.append(name);
        }
    }
    for (const py::handle size : sizes) {
        const auto expected = model.attr(size).cast<long long>();
        const auto found = own.attr(size).cast<long long>();
        if (expected != found) {
            throw py::value_error("data is not of this model: its " + std::string(py::str(size)) +
                                  " is " + std::to_string(found) + ", the model's " +
                                  std::to_string(expected));
        }
    }
}

std::shared_ptr<PhysicsScene> MakeScene(const py::object& model, const py::object& data,
                                        const std::string& tool,
                                        const Physics::Coupling& coupling) {
    const py::module_ mujoco = ImportMujoco();
    RequireInstance(mujoco, model, "MjModel", "model");
    RequireInstance(mujoco, data, "MjData", "data");
    RequireDataOf(model, data);
    const std::string library = LibraryPath(mujoco);
    const auto* model_struct = Address<const mjModel_>(model);
    const auto* data_struct = Address<const mjData_>(data);
    return Unlocked([&] {
        return std::make_shared<PhysicsScene>(library, model_struct, data_struct, tool, coupling);
    });
}

py::tuple PointTuple(const ScenePoint& point) {
    return py::make_tuple(point[0], point[1], point[2]);
}

constexpr double kMedian = 0.5;
constexpr double kP99 = 0.99;

constexpr const char* kSceneDoc =
    "A MuJoCo simulation of `model` stepped by the HapticLoop it is added to, one step per "
    "cycle on the loop's thread, with the hand coupled to the body `tool` (a body of the world "
    "with a free joint). Each cycle F = stiffness * (hand in scene - tool) - damping * (tool "
    "velocity - hand velocity in scene) acts on the tool at its origin, the model takes a step, "
    "and the arm is given -F. The scene's frame is the model's world frame in metres; the hand "
    "maps into it as workspace_offset + workspace_scale * hand. A loop at a fixed rate steps by "
    "its period, a free-running one by the measured period, at most the model's timestep. The "
    "scene steps its own copies of model and data, made here: sync(data) copies the newest "
    "state out, reset(data) one in. Stability: the tool's mass m (its body's subtree) follows "
    "the coupling at a step dt only while stiffness dt^2 + 2 damping dt < 4 m (stiffness < 4 "
    "m / dt^2 without damping), checked here for the model's timestep and at HapticLoop.add "
    "for a fixed rate's period; steps above 5 ms are refused. ValueError, before anything "
    "changes, for no such tool, a tool without a free joint, data of another model, a "
    "negative or non-finite stiffness or damping, a scale that is not positive, or a step "
    "that is too long or too stiff; TypeError for a model or data that is not MuJoCo's; a "
    "scene is in one loop at a time (HapticLoop.add raises ValueError for a second).";

void BindSceneState(EffectBinding<PhysicsScene>& scene) {
    scene.def_property_readonly(
        "tool_position", [](const PhysicsScene& s) { return PointTuple(s.Latest().tool_position); },
        "The tool body's origin after the last step, in the scene's frame, m.");
    scene.def_property_readonly(
        "coupling_force",
        [](const PhysicsScene& s) { return PointTuple(s.Latest().coupling_force); },
        "The coupling's force on the tool at the last step, N; the arm is given its negative.");
    scene.def_property_readonly(
        "steps", [](const PhysicsScene& s) { return s.Latest().steps; },
        "Steps taken since the scene was made.");
    scene.def_property_readonly(
        "time", [](const PhysicsScene& s) { return s.Latest().time; },
        "The simulation's time after the last step, s.");
    scene.def_property_readonly(
        "step_us_p50", [](const PhysicsScene& s) { return s.StepUs(kMedian); },
        "The median of mj_step's duration over the last 1024 steps, microseconds (0 before any).");
    scene.def_property_readonly(
        "step_us_p99", [](const PhysicsScene& s) { return s.StepUs(kP99); },
        "The 99th percentile of mj_step's duration over the last 1024 steps, microseconds (0 "
        "before any).");
    scene.def_property_readonly("stiffness",
                                [](const PhysicsScene& s) { return s.CouplingSet().stiffness; });
    scene.def_property_readonly("damping",
                                [](const PhysicsScene& s) { return s.CouplingSet().damping; });
    scene.def_property_readonly(
        "workspace_scale", [](const PhysicsScene& s) { return s.CouplingSet().workspace_scale; });
    scene.def_property_readonly("workspace_offset", [](const PhysicsScene& s) {
        return PointTuple(s.CouplingSet().workspace_offset);
    });
    scene.def_property_readonly("timestep", &PhysicsScene::ModelTimestep,
                                "The model's own timestep, s.");
    scene.def_property_readonly("tool_mass", &PhysicsScene::ToolMass,
                                "The mass the coupling moves: the tool body's subtree, kg.");
}

/// `values`, three to a row, as an (N, 3) numpy array of `Out`.
template <typename Out, typename In> py::array_t<Out> Rows(const std::vector<In>& values) {
    constexpr py::ssize_t kColumns = 3;
    py::array_t<Out> rows({static_cast<py::ssize_t>(values.size()) / kColumns, kColumns});
    std::copy(values.begin(), values.end(), rows.mutable_data());
    return rows;
}

void BindSceneGeom(py::module_& haptics) {
    using Physics::SceneGeom;
    py::class_<SceneGeom> geom(haptics, "SceneGeom",
                               "One geom of a PhysicsScene's model, as a view draws it: its "
                               "shape, in the frame of the body it moves with.");
    geom.def_property_readonly(
        "kind", [](const SceneGeom& g) { return g.kind; },
        "MuJoCo's geom type: 'plane', 'sphere', 'capsule', 'ellipsoid', 'cylinder', 'box', "
        "'mesh', 'hfield' or 'sdf'.");
    geom.def_readonly("body", &SceneGeom::body,
                      "The index of its body (a row of body_poses(); 0: the world).");
    geom.def_property_readonly(
        "size", [](const SceneGeom& g) { return PointTuple(g.size); },
        "MuJoCo's sizes for the kind (radii, half-lengths), m.");
    geom.def_property_readonly(
        "position", [](const SceneGeom& g) { return PointTuple(g.pose.position); },
        "In its body's frame, m.");
    geom.def_property_readonly(
        "rotation",
        [](const SceneGeom& g) {
            const auto& q = g.pose.rotation;
            return py::make_tuple(q[0], q[1], q[2], q[3]);
        },
        "In its body's frame, a unit quaternion (w, x, y, z).");
    geom.def_property_readonly(
        "rgba", [](const SceneGeom& g) { return Tuple(g.rgba); },
        "Its colour, red, green, blue and opacity from 0 to 1.");
    geom.def_property_readonly(
        "vertices", [](const SceneGeom& g) { return Rows<float>(g.vertices); },
        "A mesh's vertices, an (N, 3) float32 array in the geom's frame; none for other kinds.");
    geom.def_property_readonly(
        "faces", [](const SceneGeom& g) { return Rows<std::uint32_t>(g.faces); },
        "A mesh's triangles, an (M, 3) uint32 array of indices into vertices; none for other "
        "kinds.");
    geom.def("__repr__", [](const SceneGeom& g) {
        return py::str("SceneGeom(kind='{}', body={}, size={})")
            .format(g.kind, g.body, PointTuple(g.size));
    });
}

void BindSceneGeometry(EffectBinding<PhysicsScene>& scene) {
    scene.def(
        "geoms", [](const PhysicsScene& self) { return self.Geoms(); },
        "The model's geoms, in its order, as SceneGeom: what a view draws of the scene.");
    scene.def(
        "body_poses",
        [](const PhysicsScene& self) {
            const std::vector<Physics::BodyPose> poses = Unlocked([&] { return self.BodyPoses(); });
            constexpr py::ssize_t kColumns = 7;
            py::array_t<double> out({static_cast<py::ssize_t>(poses.size()), kColumns});
            double* row = out.mutable_data();
            for (const Physics::BodyPose& pose : poses) {
                row = std::copy(pose.position.begin(), pose.position.end(), row);
                row = std::copy(pose.rotation.begin(), pose.rotation.end(), row);
            }
            return out;
        },
        "Every body's pose at the newest state the scene completed, an (nbody, 7) float64 array "
        "of rows x, y, z, w, qx, qy, qz in the scene's frame (row 0 the world). Posed here from "
        "a copy of that state, with the interpreter lock released; never makes the loop wait.");
}

void BindSceneTransfers(EffectBinding<PhysicsScene>& scene) {
    scene.def(
        "sync",
        [](const PhysicsScene& self, const py::object& data) {
            const auto [model, target] = DataAndModel(data);
            Unlocked([&] { self.Sync(model, target); });
        },
        "Set `data` (a mujoco.MjData of this model) to the newest state the scene completed, "
        "whole, and run mj_forward on it, here, with the interpreter lock released: its "
        "positions, contacts and the rest are then consistent. Never makes the loop wait. The "
        "scene's own forces are not in it: qfrc_applied stays as reset gave it.",
        py::arg("data"));
    scene.def(
        "reset",
        [](PhysicsScene& self, const py::object& data) {
            const auto [model, source] = DataAndModel(data);
            Unlocked([&] { self.Reset(model, source); });
        },
        "Make the state of `data` (a mujoco.MjData of this model: time, qpos, qvel, act, "
        "ctrl, applied forces, mocap, ...) the scene's: taken by the loop's thread at its next "
        "cycle, or at once while no running loop holds the scene.",
        py::arg("data"));
    scene.def("__repr__", [](const PhysicsScene& self) {
        const Physics::SceneSnapshot latest = self.Latest();
        return py::str("PhysicsScene(steps={}, time={}, tool_position={})")
            .format(latest.steps, latest.time, PointTuple(latest.tool_position));
    });
}

void BindScene(py::module_& haptics) {
    BindSceneGeom(haptics);
    EffectBinding<PhysicsScene> scene(haptics, "PhysicsScene", kSceneDoc);
    scene.def(py::init([](const py::object& model, const py::object& data, const std::string& tool,
                          double stiffness, double damping, double workspace_scale,
                          const ThreeNumbers& workspace_offset) {
                  const auto& offset = workspace_offset.value;
                  return MakeScene(model, data, tool,
                                   {stiffness, damping, workspace_scale,
                                    ScenePoint{offset[0], offset[1], offset[2]}});
              }),
              py::arg("model"), py::arg("data"), py::arg("tool"), py::arg("stiffness"),
              py::arg("damping") = 0.0, py::arg("workspace_scale") = 1.0,
              py::arg("workspace_offset") = py::make_tuple(0.0, 0.0, 0.0));
    BindSceneState(scene);
    BindSceneGeometry(scene);
    BindSceneTransfers(scene);
}

void BindFollow(MeshBinding& mesh) {
    mesh.def(
        "follow",
        [](Haptics::Mesh& self, const std::optional<std::shared_ptr<PhysicsScene>>& scene,
           const std::string& body) {
            if (scene && *scene && body.empty()) {
                throw py::value_error("follow needs the name of the scene's body to follow");
            }
            self.Follow(scene && *scene ? (*scene)->Anchor(body) : nullptr);
        },
        "Pose the mesh by the scene's `body` every cycle (in the arm's frame: ((body position - "
        "workspace_offset) / workspace_scale, body orientation), as of the scene's last step; "
        "set_pose is overridden meanwhile) and push the body with the reaction of the force "
        "the mesh gives the hand, at the contact point, at the scene's next step. The mesh's "
        "vertices are in the arm's unit, in the body's frame. follow(None) stops it; the mesh "
        "stays where it was. Mesh and scene may be in different loops. ValueError for no such "
        "body or the world.",
        py::arg("scene"), py::arg("body") = "");
}

#else // built without MuJoCo's headers

constexpr const char* kBuiltWithout =
    "this TorviHardwareAPI was built without physics scenes: MuJoCo's headers (the "
    "mujoco-core package) were missing when it was built";

/// What stands in for the scene's class: its constructor says why not.
struct UnbuiltScene {};

void BindScene(py::module_& haptics) {
    py::class_<UnbuiltScene>(haptics, "PhysicsScene", "A MuJoCo scene; not in this build.")
        .def(py::init([](const py::args&, const py::kwargs&) -> UnbuiltScene {
            throw std::runtime_error(kBuiltWithout);
        }));
}

void BindFollow(MeshBinding& mesh) {
    mesh.def("follow", [](Haptics::Mesh&, const py::args&, const py::kwargs&) {
        throw std::runtime_error(kBuiltWithout);
    });
}

#endif

} // namespace

void bind_physics(py::module_& haptics) {
    BindScene(haptics);
    auto mesh = py::reinterpret_borrow<MeshBinding>(haptics.attr("Mesh"));
    BindFollow(mesh);
}

} // namespace Torvi::HardwareAPI::Bindings
