#include "bindings.hpp"
#include "conventions.hpp"
#include "initialised.hpp"

#include "Torvi/HardwareAPI/devices/Handle.hpp"
#include "Torvi/HardwareAPI/devices/HandleMessages.hpp"
#include "Torvi/HardwareAPI/events/HandleListener.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <array>
#include <memory>
#include <stdexcept>
#include <string>

// The trampoline's pure-virtual message names the class as API::Devices::Handle.
namespace API = Torvi::HardwareAPI;

namespace Torvi::HardwareAPI::Bindings {

using Devices::Handle;
using Devices::HandleStatus;
namespace HP = Devices::HandleProtocol;

namespace {

/// The optional one-byte user data of SendHandleState: an int from 0 to 255,
/// or None for no user data.
using OptionalUserByte = OptionalArgument<uint8_t, NoneAccepted::Always>;

constexpr const char* kClassName = "Handle";
constexpr const char* kReceiveDeprecated = "Receive with one argument is deprecated";

/// Every field of a status message as Python objects; built with the
/// interpreter lock held.
py::list QuaternionList(const float* quaternion) {
    py::list out;
    for (std::size_t i = 0; i < HP::kQuaternionComponents; ++i) {
        out.append(quaternion[i]);
    }
    return out;
}

py::list UserDataList(const uint8_t* user_data, uint8_t length) {
    py::list out;
    for (uint8_t i = 0; i < length; ++i) {
        out.append(user_data[i]);
    }
    return out;
}

py::dict StatusDict(const HandleStatus& status) {
    py::dict out;
    out["device_id"] = status.device_id;
    out["quaternion"] = QuaternionList(status.quaternion.data());
    out["error_flag"] = status.error_flag;
    out["hall_effect_sensor_level"] = status.hall_effect_sensor_level;
    out["buttons"] = status.buttons;
    out["battery_level"] = status.battery_level;
    return out;
}

} // namespace

/// Forwards the three field-wise handlers to a Python subclass's overrides.
/// The interpreter lock is released while Receive runs; each forwarding takes
/// it back for the Python call only. pybind11's override lookup skips the
/// bound method itself and a call made from inside the override (through
/// super), which then reaches the native default.
class TrampolineHandle : public Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id,
                             uint8_t device_model_number, uint8_t hardware_version,
                             uint8_t firmware_version) override {
        PYBIND11_OVERRIDE(void, API::Devices::Handle, OnReceiveHandleInfo, tool_data_remaining,
                          device_id, device_model_number, hardware_version, firmware_version);
    }

    // Required from Python: status messages may arrive at any Receive.
    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion,
                                      uint8_t error_flag, uint8_t hall_effect_sensor_level,
                                      uint8_t user_data_length, const uint8_t* user_data) override {
        py::gil_scoped_acquire gil;
        // New lists: the native buffers live only during this call.
        py::list quaternion_list = QuaternionList(quaternion);
        py::list user_data_list = UserDataList(user_data, user_data_length);
        PYBIND11_OVERRIDE_PURE(void, API::Devices::Handle, OnReceiveHandleStatusMessage, device_id,
                               quaternion_list, error_flag, hall_effect_sensor_level,
                               user_data_length, user_data_list);
    }

    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        PYBIND11_OVERRIDE(void, API::Devices::Handle, OnReceiveHandleErrorResponse, device_id,
                          error_code);
    }
};

namespace {

constexpr const char* kListened =
    "this Handle is listened to by a running HandleListener; stop the listener before calling it";

/// Refuses any use of a handle that a listener has: its reader owns the
/// port, and a second reader or writer would take or interleave its bytes.
void RequireNotListened(const Handle& handle) {
    if (Events::HandleListener::Listening(handle)) {
        throw std::runtime_error(kListened);
    }
}

/// The Handle class whose every method goes through RequireNotListened.
using HandleClass =
    GuardedClass<&RequireNotListened, Handle, TrampolineHandle, std::unique_ptr<Handle>>;

void DefConstructorAndRequests(HandleClass& handle) {
    // The handle borrows the stream; the Python object keeps it alive.
    handle.def_constructor(
        py::init(
            [](IO::SerialStream* stream) {
                return std::make_unique<Handle>(&RequireStream(stream, kClassName));
            },
            [](IO::SerialStream* stream) {
                return std::make_unique<TrampolineHandle>(&RequireStream(stream, kClassName));
            }),
        py::keep_alive<1, 2>());
    handle.def("SendDeviceWakeup", UnlockedMethod(&Handle::SendDeviceWakeup));
    handle.def(
        "SendHandleState",
        [](Handle& self, uint16_t device_id, uint8_t data_length, OptionalUserByte user_data) {
            // One byte at most is held here; never send bytes the caller
            // did not give.
            const unsigned supplied = user_data.value ? 1 : 0;
            if (data_length > supplied) {
                throw py::value_error("data_length " + std::to_string(data_length) +
                                      " exceeds the " + std::to_string(supplied) +
                                      " byte(s) of user_data given");
            }
            const uint8_t byte = user_data.value.value_or(0);
            Unlocked([&] { self.SendHandleState(device_id, data_length, &byte); });
        },
        "send handle state", py::arg("device_id") = 0, py::arg("data_length") = 0,
        py::arg("user_data") = py::none());
    handle.def("RequestStatus", UnlockedMethod(&Handle::RequestStatus), "request handle status");
}

// Called from Python, the handlers keep the interpreter lock.
void DefEventHandlers(HandleClass& handle) {
    handle.def("OnReceiveHandleInfo", &Handle::OnReceiveHandleInfo, "OnReceiveHandleInfo",
               py::arg("tool_data_remaining"), py::arg("device_id"), py::arg("device_model_number"),
               py::arg("hardware_version"), py::arg("firmware_version"));
    handle.def(
        "OnReceiveHandleStatusMessage",
        [](Handle& self, uint16_t device_id, float quaternion, uint8_t error_flag,
           uint8_t hall_effect_sensor_level, uint8_t user_data_length, uint8_t user_data) {
            // The handler reads four floats and user_data_length bytes: give
            // it full-size buffers holding the one value of each, the rest
            // zero.
            std::array<float, HP::kQuaternionComponents> quaternion_buffer{quaternion};
            std::array<uint8_t, HP::kUserDataCapacity> user_data_buffer{user_data};
            self.OnReceiveHandleStatusMessage(device_id, quaternion_buffer.data(), error_flag,
                                              hall_effect_sensor_level, user_data_length,
                                              user_data_buffer.data());
        },
        "OnReceiveHandleStatusMessage", py::arg("device_id"), py::arg("quaternion"),
        py::arg("error_flag"), py::arg("hall_effect_sensor_level"), py::arg("user_data_length"),
        py::arg("user_data"));
    handle.def("OnReceiveHandleErrorResponse", &Handle::OnReceiveHandleErrorResponse,
               "OnReceiveHandleErrorResponse", py::arg("device_id"), py::arg("error_code"));
}

void DefReceive(HandleClass& handle) {
    handle.def("Receive", UnlockedMethod(&Handle::Receive), "Receive data from the handle");

    // --- Deprecated ---------------------------------------------------------
    handle.def(
        "Receive",
        [](Handle& self, uint8_t /*obsolete*/) {
            return Deprecated(kReceiveDeprecated,
                              [&] { return Unlocked([&] { return self.Receive(); }); });
        },
        "[DEPRECATED] Receive current and return current", py::arg("obsolete"));
    // ------------------------------------------------------------------------

    handle.def(
        "GetQuillonetStatus",
        [](Handle& self) {
            return StatusDict(Unlocked([&] { return self.GetQuillonetStatus(); }));
        },
        "Get the most recent Quillonet informations");
}

} // namespace

// The registrations, in the class's order.
void bind_handle(py::module_& m) {
    HandleClass handle(m, "Handle", "The quillonet handle class");
    DefConstructorAndRequests(handle);
    DefEventHandlers(handle);
    DefReceive(handle);
}

} // namespace Torvi::HardwareAPI::Bindings
