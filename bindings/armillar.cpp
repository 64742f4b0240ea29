#include "bindings.hpp"
#include "conventions.hpp"
#include "initialised.hpp"

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/devices/ArmillarKinematics.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Torvi::HardwareAPI::Bindings {

namespace {

using Devices::Armillar;
using Devices::ArmillarState;
using Devices::DeviceInfo;
using Devices::Vector3;
namespace K = Devices::KinematicConstants;

constexpr const char* kDrivenByLoop =
    "this Armillar is driven by a running HapticLoop; stop the loop before calling it";

/// Refuses any use of an arm that a haptic loop drives: its thread owns the
/// port, and a second writer would interleave bytes with it.
void RequireNotDriven(const Armillar& arm) {
    if (arm.Driven()) {
        throw std::runtime_error(kDrivenByLoop);
    }
}

/// The Armillar class whose every method, however it is registered below,
/// goes through RequireNotDriven.
using ArmillarClass = GuardedClass<&RequireNotDriven, Armillar, std::unique_ptr<Armillar>>;

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

// The text of SendForce's deprecation warning, which both its forms give; the
// other warnings are spelled out whole where their methods are registered, so
// that a reader finds a warning by its text.
constexpr const char* kSendForceDeprecated =
    "SendForce is deprecated, use end_effector_force instead";

// The default of every list argument.
const std::vector<float> kZeroVector{0.0f, 0.0f, 0.0f};
// The default of SendForce's separate components: the Python integer 0.
constexpr int kZeroComponent = 0;

py::object ToList(const Vector3& values) { return py::cast(values); }

py::tuple StateTuple(const ArmillarState& state) {
    return py::make_tuple(ToList(state.position), ToList(state.velocity));
}

/// The device information as a tuple; the identifier as the caller built it.
py::tuple InfoTuple(const DeviceInfo& info, const py::object& identifier) {
    return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                          info.firmware_version, identifier);
}

/// Writes entries 0 to 2 of `values` into the first three of `list`, which
/// holds at least three.
void ReplaceFirstThree(std::vector<float>& list, const Vector3& values) {
    std::copy(values.begin(), values.end(), list.begin());
}

// The shapes that several methods share. Each takes its three-number lists
// under the argument names given, with the default [0.0, 0.0, 0.0], and
// releases the interpreter lock while the arm works.

/// Sends one list and returns the state the arm answers with as a tuple of
/// two lists.
void DefStateCommand(ArmillarClass& armillar, const char* name,
                     ArmillarState (Armillar::*command)(const Vector3&), const char* doc,
                     const char* argument) {
    armillar.def(
        name,
        [command, argument](Armillar& arm, const std::vector<float>& values) {
            const Vector3 request = FirstThree(values, argument);
            return StateTuple(Unlocked([&] { return (arm.*command)(request); }));
        },
        doc, py::arg(argument) = kZeroVector);
}

/// Sends one list and returns None. With a `deprecation` text, the method
/// warns first (see Deprecated).
void DefVectorCommand(ArmillarClass& armillar, const char* name,
                      void (Armillar::*command)(const Vector3&), const char* doc,
                      const char* argument, const char* deprecation = nullptr) {
    armillar.def(
        name,
        [command, argument, deprecation](Armillar& arm, const std::vector<float>& values) {
            const Vector3 request = FirstThree(values, argument);
            const auto send = [&] { Unlocked([&] { (arm.*command)(request); }); };
            if (deprecation != nullptr) {
                Deprecated(deprecation, send);
            } else {
                send();
            }
        },
        doc, py::arg(argument) = kZeroVector);
}

/// A deprecated receive method with two in/out lists: copies of the lists
/// come back as a tuple, their first three entries replaced by what the arm
/// sent.
void DefDeprecatedStateReceiver(ArmillarClass& armillar, const char* name,
                                void (Armillar::*receive)(Vector3&, Vector3&), const char* doc,
                                const char* deprecation, const char* first, const char* second) {
    armillar.def(
        name,
        [=](Armillar& arm, std::vector<float> first_list, std::vector<float> second_list) {
            Vector3 first_values = FirstThree(first_list, first);
            Vector3 second_values = FirstThree(second_list, second);
            return Deprecated(deprecation, [&] {
                Unlocked([&] { (arm.*receive)(first_values, second_values); });
                ReplaceFirstThree(first_list, first_values);
                ReplaceFirstThree(second_list, second_values);
                return py::make_tuple(first_list, second_list);
            });
        },
        doc, py::arg(first) = kZeroVector, py::arg(second) = kZeroVector);
}

// The registrations, in the class's order.

void DefConstructorAndWakeup(ArmillarClass& armillar) {
    // The arm keeps its SerialStream alive, so it never talks to a
    // destroyed stream.
    armillar.def_constructor(py::init([](IO::SerialStream* stream) {
                                 return std::make_unique<Armillar>(
                                     &RequireStream(stream, kClassName));
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
}

// The six telemetry queries keep the interpreter lock while they wait.
void DefTelemetry(ArmillarClass& armillar) {
    armillar.def(
        "get_firmware_version",
        [](Armillar& arm) {
            return StandardUUID(Interruptible([&] { return arm.get_firmware_version(); }));
        },
        "Receive the firmware version of the device.");
    armillar.def(
        "get_device_id",
        [](Armillar& arm) {
            return StandardUUID(Interruptible([&] { return arm.get_device_id(); }));
        },
        "Receive the UUID of the device.");
    armillar.def("get_motor_currents", InterruptibleMethod(&Armillar::get_motor_currents),
                 "Receive the motor currents of the device.");
    armillar.def("get_device_orientation", InterruptibleMethod(&Armillar::get_device_orientation),
                 "Receive the orientation of the base of the device.");
    armillar.def("get_power_status", InterruptibleMethod(&Armillar::get_power_status),
                 "Receive the power status of the device.");
    armillar.def("get_temperature", InterruptibleMethod(&Armillar::get_temperature),
                 "Receive the temperature of the device.");
}

void DefCommands(ArmillarClass& armillar) {
    DefStateCommand(armillar, "end_effector_force", &Armillar::end_effector_force,
                    "Send forces to the device and receive device states", "force request vector");

    armillar.def(
        "get_end_effector_position",
        [](Armillar& arm, bool onboard) {
            return StateTuple(Unlocked([&] { return arm.get_end_effector_position(onboard); }));
        },
        "Get the end-effector position and velocity", py::arg("onboard") = true);

    DefVectorCommand(armillar, "adjust_angles", &Armillar::adjust_angles,
                     "Adjust the angles of the device", "angles");

    armillar.def(
        "adjust_lengths", UnlockedMethod(&Armillar::adjust_lengths),
        "Adjust the lengths of the linkages", py::arg("inner_arm_1") = K::kDefaultInnerArm1,
        py::arg("outer_arm_1") = K::kDefaultOuterArm1,
        py::arg("inner_arm_2") = K::kDefaultInnerArm2,
        py::arg("outer_arm_2") = K::kDefaultOuterArm2, py::arg("extension") = K::kDefaultExtension);

    armillar.def("adjust_gear_ratios", UnlockedMethod(&Armillar::adjust_gear_ratios),
                 "Adjust the gear ratios", py::arg("head_gear_ratio_coeff") = K::kDefaultGearRatio,
                 py::arg("inner_arm_gear_ratio_coeff") = K::kDefaultGearRatio,
                 py::arg("outer_arm_gear_ratio_coeff") = K::kDefaultGearRatio);

    // The docstring is the one the class has always had.
    armillar.def("deactivate_orientation_sensor",
                 UnlockedMethod(&Armillar::deactivate_orientation_sensor),
                 "Receive the power status of the device.");

    DefStateCommand(armillar, "joint_torques", &Armillar::joint_torques,
                    "Send joint torques to the device and receive the joint states",
                    "joint torque request vector");
    DefStateCommand(armillar, "end_effector_position", &Armillar::end_effector_position,
                    "Send end-effector position and receive device states",
                    "position request vector");
    DefStateCommand(armillar, "joint_angles", &Armillar::joint_angles,
                    "Send joint angles to the device and receive the joint states",
                    "joint angle request vector");
}

// The older request-then-receive methods. Those that are deprecated warn on
// every call, before the lock is released, then do their work; a warning
// turned into an exception is raised afterwards.
void DefRequestThenReceive(ArmillarClass& armillar) {
    armillar.def(
        "SendDeviceWakeup",
        [](Armillar& arm) {
            Deprecated("SendDeviceWakeup is deprecated, use device_wakeup instead",
                       [&] { Unlocked([&] { arm.SendDeviceWakeup(); }); });
        },
        "[DEPRECATED] Send a device wakeup command");

    armillar.def(
        "ReceiveDeviceInfo",
        [](Armillar& arm) {
            DeviceInfo info = Unlocked([&] { return arm.ReceiveDeviceInfo(); });
            return InfoTuple(info, py::cast(info.device_id_ext));
        },
        kReceiveDeviceInfoDoc);

    DefVectorCommand(armillar, "SendForce", &Armillar::SendForce,
                     "[Deprecated] Send force to the device", "force", kSendForceDeprecated);
    armillar.def(
        "SendForce",
        [](Armillar& arm, float force_x, float force_y, float force_z) {
            Deprecated(kSendForceDeprecated,
                       [&] { Unlocked([&] { arm.SendForce({force_x, force_y, force_z}); }); });
        },
        "[Deprecated] Send force to the device", py::arg("ForceX") = kZeroComponent,
        py::arg("ForceY") = kZeroComponent, py::arg("ForceZ") = kZeroComponent);

    DefDeprecatedStateReceiver(armillar, "ReceiveState", &Armillar::ReceiveState,
                               "[Deprecated] receive state and return position and velocity",
                               "ReceiveState is deprecated, use end_effector instead", "position",
                               "velocity");
    DefDeprecatedStateReceiver(armillar, "ReceiveJointState", &Armillar::ReceiveJointState,
                               "[Deprecated] receive joint state and return position and velocity "
                               "in the joint reference frame",
                               "ReceiveJointState is deprecated, use joint_torques instead",
                               "joint_position", "joint_velocity");

    DefVectorCommand(armillar, "SendJointTorques", &Armillar::SendJointTorques,
                     "[Deprecated] send joint torque", "joint_torque",
                     "SendJointTorques is deprecated, use joint_torques instead");
    DefVectorCommand(armillar, "SendAngle", &Armillar::SendAngle, "Send angles to the device",
                     "angle");

    armillar.def("RequestCurrent", UnlockedMethod(&Armillar::RequestCurrent), "request current");

    armillar.def(
        "ReceiveCurrent",
        [](Armillar& arm, std::vector<float> current) {
            Vector3 received = FirstThree(current, "current");
            Unlocked([&] { arm.ReceiveCurrent(received); });
            ReplaceFirstThree(current, received);
            return current;
        },
        "receive current and return current", py::arg("current") = kZeroVector);

    DefVectorCommand(armillar, "SendPosition", &Armillar::SendPosition,
                     "[Deprecated] Send Position to the device", "position",
                     "SendPosition is deprecated, use end_effector_position instead");
}

} // namespace

void bind_armillar(py::module_& m) {
    ArmillarClass armillar(m, kClassName, kClassDoc);
    DefConstructorAndWakeup(armillar);
    DefTelemetry(armillar);
    DefCommands(armillar);
    DefRequestThenReceive(armillar);
}

} // namespace Torvi::HardwareAPI::Bindings
