#include "bindings.hpp"
#include "initialised.hpp"
#include "conventions.hpp"

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/devices/ArmillarKinematics.hpp"
#include "Torvi/HardwareAPI/devices/ArmillarMessages.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace Torvi::HardwareAPI::Bindings {

namespace {

using Devices::Armillar;
using Devices::ArmillarState;
using Devices::DeviceInfo;
using Devices::Quaternion;
using Devices::Vector3;
namespace K = Devices::KinematicConstants;

constexpr const char* kClassName = "Armillar";
constexpr const char* kClassDoc = "Armillar Device Class";

// Each line of the text keeps the twelve leading blanks it has always had.
constexpr const char* kReceiveDeviceInfoDoc =
    "\n"
    "            Receive device info and return a tuple with the following fields: \n"
    "\n"
    "            device_id (uint16_t)\n"
    "            \n"
    "            device_model_num (uint8_t)\n"
    "            \n"
    "            hardware_version (uint8_t)\n"
    "            \n"
    "            firmware_version (uint8_t)\n"
    "            \n"
    "            device_id_ext (UUID)\n"
    "            ";

// The texts of the deprecation warnings.
constexpr const char* kSendDeviceWakeupDeprecated =
    "SendDeviceWakeup is deprecated, use device_wakeup instead";
constexpr const char* kSendForceDeprecated = "SendForce is deprecated, use end_effector_force instead";
constexpr const char* kReceiveStateDeprecated = "ReceiveState is deprecated, use end_effector instead";
constexpr const char* kReceiveJointStateDeprecated =
    "ReceiveJointState is deprecated, use joint_torques instead";
constexpr const char* kSendJointTorquesDeprecated =
    "SendJointTorques is deprecated, use joint_torques instead";
constexpr const char* kSendPositionDeprecated =
    "SendPosition is deprecated, use end_effector_position instead";

// The default of every list argument.
const std::vector<float> kZeroVector{0.0f, 0.0f, 0.0f};
// The default of SendForce's separate components: the Python integer 0.
constexpr int kZeroComponent = 0;

py::object ToList(const Vector3& values) { return py::cast(values); }

py::tuple StateTuple(const ArmillarState& state) {
    return py::make_tuple(ToList(state.position), ToList(state.velocity));
}

/// The standard library's uuid.UUID for the 16 bytes. Failures of the import
/// or of the call reach the caller as the Python exception raised.
py::object StandardUUID(const UUID& identifier) {
    py::object uuid_class = py::module_::import("uuid").attr("UUID");
    return uuid_class(py::arg("hex") = Devices::ArmillarMessages::HexText(identifier));
}

/// The device information as a tuple; the identifier as the caller built it.
py::tuple InfoTuple(const DeviceInfo& info, py::object identifier) {
    return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                          info.firmware_version, std::move(identifier));
}

/// Writes entries 0 to 2 of `values` into the first three of `list`, which
/// holds at least three.
void ReplaceFirstThree(std::vector<float>& list, const Vector3& values) {
    std::copy(values.begin(), values.end(), list.begin());
}

} // namespace

void bind_armillar(py::module_& m) {
    py::class_<Armillar, std::unique_ptr<Armillar>> armillar(m, kClassName, kClassDoc);

    // The arm keeps its SerialStream alive, so it never talks to a
    // destroyed stream.
    armillar.def(py::init([](IO::SerialStream* stream) {
                     return std::make_unique<Armillar>(&RequireStream(stream, kClassName));
                 }),
                 py::keep_alive<1, 2>());

    armillar.def(
        "device_wakeup",
        [](Armillar& arm) {
            const DeviceInfo info = Unlocked([&] { return arm.device_wakeup(); });
            return InfoTuple(info, py::cast(info.device_id_ext.bytes()));
        },
        "Wakeup the device and return the device info as a tuple.");

    armillar.def(
        "device_wakeup_dict",
        [](Armillar& arm) {
            const DeviceInfo info = Unlocked([&] { return arm.device_wakeup(); });
            py::dict result;
            result["device_id"] = info.device_id;
            result["device_model_number"] = info.device_model_number;
            result["hardware_version"] = info.hardware_version;
            result["firmware_version"] = info.firmware_version;
            result["device_id_ext"] = StandardUUID(info.device_id_ext);
            return result;
        },
        "Wakeup the device and return the device info as a dict.");

    // The six telemetry queries keep the interpreter lock while they wait.
    armillar.def(
        "get_firmware_version",
        [](Armillar& arm) { return StandardUUID(arm.get_firmware_version()); },
        "Receive the firmware version of the device.");
    armillar.def(
        "get_device_id", [](Armillar& arm) { return StandardUUID(arm.get_device_id()); },
        "Receive the UUID of the device.");
    armillar.def("get_motor_currents", &Armillar::get_motor_currents,
                 "Receive the motor currents of the device.");
    armillar.def("get_device_orientation", &Armillar::get_device_orientation,
                 "Receive the orientation of the base of the device.");
    armillar.def("get_power_status", &Armillar::get_power_status,
                 "Receive the power status of the device.");
    armillar.def("get_temperature", &Armillar::get_temperature,
                 "Receive the temperature of the device.");

    armillar.def(
        "end_effector_force",
        [](Armillar& arm, const std::vector<float>& force) {
            const Vector3 values = FirstThree(force, "force request vector");
            return StateTuple(Unlocked([&] { return arm.end_effector_force(values); }));
        },
        "Send forces to the device and receive device states",
        py::arg("force request vector") = kZeroVector);

    armillar.def(
        "get_end_effector_position",
        [](Armillar& arm, bool onboard) {
            return StateTuple(Unlocked([&] { return arm.get_end_effector_position(onboard); }));
        },
        "Get the end-effector position and velocity", py::arg("onboard") = true);

    armillar.def(
        "adjust_angles",
        [](Armillar& arm, const std::vector<float>& angles) {
            const Vector3 values = FirstThree(angles, "angles");
            Unlocked([&] { arm.adjust_angles(values); });
        },
        "Adjust the angles of the device", py::arg("angles") = kZeroVector);

    armillar.def("adjust_lengths", &Armillar::adjust_lengths, "Adjust the lengths of the linkages",
                 py::arg("inner_arm_1") = K::kDefaultInnerArm1,
                 py::arg("outer_arm_1") = K::kDefaultOuterArm1,
                 py::arg("inner_arm_2") = K::kDefaultInnerArm2,
                 py::arg("outer_arm_2") = K::kDefaultOuterArm2,
                 py::arg("extension") = K::kDefaultExtension,
                 py::call_guard<py::gil_scoped_release>());

    armillar.def("adjust_gear_ratios", &Armillar::adjust_gear_ratios, "Adjust the gear ratios",
                 py::arg("head_gear_ratio_coeff") = K::kDefaultGearRatio,
                 py::arg("inner_arm_gear_ratio_coeff") = K::kDefaultGearRatio,
                 py::arg("outer_arm_gear_ratio_coeff") = K::kDefaultGearRatio,
                 py::call_guard<py::gil_scoped_release>());

    // The docstring is the one the class has always had.
    armillar.def("deactivate_orientation_sensor", &Armillar::deactivate_orientation_sensor,
                 "Receive the power status of the device.",
                 py::call_guard<py::gil_scoped_release>());

    armillar.def(
        "joint_torques",
        [](Armillar& arm, const std::vector<float>& torques) {
            const Vector3 values = FirstThree(torques, "joint torque request vector");
            return StateTuple(Unlocked([&] { return arm.joint_torques(values); }));
        },
        "Send joint torques to the device and receive the joint states",
        py::arg("joint torque request vector") = kZeroVector);

    armillar.def(
        "end_effector_position",
        [](Armillar& arm, const std::vector<float>& position) {
            const Vector3 values = FirstThree(position, "position request vector");
            return StateTuple(Unlocked([&] { return arm.end_effector_position(values); }));
        },
        "Send end-effector position and receive device states",
        py::arg("position request vector") = kZeroVector);

    armillar.def(
        "joint_angles",
        [](Armillar& arm, const std::vector<float>& angles) {
            const Vector3 values = FirstThree(angles, "joint angle request vector");
            return StateTuple(Unlocked([&] { return arm.joint_angles(values); }));
        },
        "Send joint angles to the device and receive the joint states",
        py::arg("joint angle request vector") = kZeroVector);

    // The older request-then-receive methods. Those that are deprecated warn
    // on every call (the warning is issued before the lock is released), then
    // do their work; a warning turned into an exception is raised afterwards.

    armillar.def(
        "SendDeviceWakeup",
        [](Armillar& arm) {
            DeprecationNotice notice(kSendDeviceWakeupDeprecated);
            Unlocked([&] { arm.SendDeviceWakeup(); });
            notice.RaiseIfPending();
        },
        "[DEPRECATED] Send a device wakeup command");

    armillar.def(
        "ReceiveDeviceInfo",
        [](Armillar& arm) {
            DeviceInfo info = Unlocked([&] { return arm.ReceiveDeviceInfo(); });
            return InfoTuple(info, py::cast(std::move(info.device_id_ext)));
        },
        kReceiveDeviceInfoDoc);

    armillar.def(
        "SendForce",
        [](Armillar& arm, const std::vector<float>& force) {
            const Vector3 values = FirstThree(force, "force");
            DeprecationNotice notice(kSendForceDeprecated);
            Unlocked([&] { arm.SendForce(values); });
            notice.RaiseIfPending();
        },
        "[Deprecated] Send force to the device", py::arg("force") = kZeroVector);
    armillar.def(
        "SendForce",
        [](Armillar& arm, float force_x, float force_y, float force_z) {
            DeprecationNotice notice(kSendForceDeprecated);
            Unlocked([&] { arm.SendForce({force_x, force_y, force_z}); });
            notice.RaiseIfPending();
        },
        "[Deprecated] Send force to the device", py::arg("ForceX") = kZeroComponent,
        py::arg("ForceY") = kZeroComponent, py::arg("ForceZ") = kZeroComponent);

    armillar.def(
        "ReceiveState",
        [](Armillar& arm, std::vector<float> position, std::vector<float> velocity) {
            Vector3 received_position = FirstThree(position, "position");
            Vector3 received_velocity = FirstThree(velocity, "velocity");
            DeprecationNotice notice(kReceiveStateDeprecated);
            Unlocked([&] { arm.ReceiveState(received_position, received_velocity); });
            ReplaceFirstThree(position, received_position);
            ReplaceFirstThree(velocity, received_velocity);
            notice.RaiseIfPending();
            return py::make_tuple(position, velocity);
        },
        "[Deprecated] receive state and return position and velocity",
        py::arg("position") = kZeroVector, py::arg("velocity") = kZeroVector);

    armillar.def(
        "ReceiveJointState",
        [](Armillar& arm, std::vector<float> joint_position, std::vector<float> joint_velocity) {
            Vector3 received_position = FirstThree(joint_position, "joint_position");
            Vector3 received_velocity = FirstThree(joint_velocity, "joint_velocity");
            DeprecationNotice notice(kReceiveJointStateDeprecated);
            Unlocked([&] { arm.ReceiveJointState(received_position, received_velocity); });
            ReplaceFirstThree(joint_position, received_position);
            ReplaceFirstThree(joint_velocity, received_velocity);
            notice.RaiseIfPending();
            return py::make_tuple(joint_position, joint_velocity);
        },
        "[Deprecated] receive joint state and return position and velocity in the joint "
        "reference frame",
        py::arg("joint_position") = kZeroVector, py::arg("joint_velocity") = kZeroVector);

    armillar.def(
        "SendJointTorques",
        [](Armillar& arm, const std::vector<float>& joint_torque) {
            const Vector3 values = FirstThree(joint_torque, "joint_torque");
            DeprecationNotice notice(kSendJointTorquesDeprecated);
            Unlocked([&] { arm.SendJointTorques(values); });
            notice.RaiseIfPending();
        },
        "[Deprecated] send joint torque", py::arg("joint_torque") = kZeroVector);

    armillar.def(
        "SendAngle",
        [](Armillar& arm, const std::vector<float>& angle) {
            const Vector3 values = FirstThree(angle, "angle");
            Unlocked([&] { arm.SendAngle(values); });
        },
        "Send angles to the device", py::arg("angle") = kZeroVector);

    armillar.def("RequestCurrent", &Armillar::RequestCurrent, "request current",
                 py::call_guard<py::gil_scoped_release>());

    armillar.def(
        "ReceiveCurrent",
        [](Armillar& arm, std::vector<float> current) {
            Vector3 received = FirstThree(current, "current");
            Unlocked([&] { arm.ReceiveCurrent(received); });
            ReplaceFirstThree(current, received);
            return current;
        },
        "receive current and return current", py::arg("current") = kZeroVector);

    armillar.def(
        "SendPosition",
        [](Armillar& arm, const std::vector<float>& position) {
            const Vector3 values = FirstThree(position, "position");
            DeprecationNotice notice(kSendPositionDeprecated);
            Unlocked([&] { arm.SendPosition(values); });
            notice.RaiseIfPending();
        },
        "[Deprecated] Send Position to the device", py::arg("position") = kZeroVector);
}

} // namespace Torvi::HardwareAPI::Bindings
