#include "bindings.hpp"
#include "initialised.hpp"
#include "conventions.hpp"

#include "Torvi/HardwareAPI/devices/Handle.hpp"
#include "Torvi/HardwareAPI/devices/HandleMessages.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <array>
#include <memory>
#include <optional>
#include <string>

// The trampoline's pure-virtual message names the class as API::Devices::Handle.
namespace API = Torvi::HardwareAPI;

namespace Torvi::HardwareAPI::Bindings {

/// The optional one-byte user data of SendHandleState: an int from 0 to 255,
/// or None for no user data.
struct OptionalUserByte {
    std::optional<uint8_t> value;
};

} // namespace Torvi::HardwareAPI::Bindings

namespace pybind11::detail {

// Shown as "int" in the signature, with the default None; accepts None as
// "no user data" and converts everything else as an 8-bit unsigned value.
template <>
struct type_caster<Torvi::HardwareAPI::Bindings::OptionalUserByte> {
    PYBIND11_TYPE_CASTER(Torvi::HardwareAPI::Bindings::OptionalUserByte, const_name("int"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            value.value.reset();
            return true;
        }
        make_caster<uint8_t> byte;
        if (!byte.load(source, convert)) {
            return false;
        }
        value.value = cast_op<uint8_t>(byte);
        return true;
    }

    static handle cast(const Torvi::HardwareAPI::Bindings::OptionalUserByte& source,
                       return_value_policy, handle) {
        return source.value ? PyLong_FromLong(*source.value) : none().release();
    }
};

} // namespace pybind11::detail

namespace Torvi::HardwareAPI::Bindings {

using Devices::Handle;
using Devices::HandleStatus;
namespace HP = Devices::HandleProtocol;

namespace {

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

int ReceiveWithoutLock(Handle& handle) {
    return Unlocked([&] { return handle.Receive(); });
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

    void OnReceiveHandleInfo(uint8_t tool_data_remaining,
                             uint16_t device_id,
                             uint8_t device_model_number,
                             uint8_t hardware_version,
                             uint8_t firmware_version) override {
        PYBIND11_OVERRIDE(void,
                          API::Devices::Handle,
                          OnReceiveHandleInfo,
                          tool_data_remaining,
                          device_id,
                          device_model_number,
                          hardware_version,
                          firmware_version);
    }

    // Required from Python: status messages may arrive at any Receive.
    void OnReceiveHandleStatusMessage(uint16_t device_id,
                                      const float* quaternion,
                                      uint8_t error_flag,
                                      uint8_t hall_effect_sensor_level,
                                      uint8_t user_data_length,
                                      const uint8_t* user_data) override {
        py::gil_scoped_acquire gil;
        // New lists: the native buffers live only during this call.
        py::list quaternion_list = QuaternionList(quaternion);
        py::list user_data_list = UserDataList(user_data, user_data_length);
        PYBIND11_OVERRIDE_PURE(void,
                               API::Devices::Handle,
                               OnReceiveHandleStatusMessage,
                               device_id,
                               quaternion_list,
                               error_flag,
                               hall_effect_sensor_level,
                               user_data_length,
                               user_data_list);
    }

    void OnReceiveHandleErrorResponse(uint16_t device_id,
                                      uint8_t error_code) override {
        PYBIND11_OVERRIDE(void,
                          API::Devices::Handle,
                          OnReceiveHandleErrorResponse,
                          device_id,
                          error_code);
    }
};

void bind_handle(py::module_& m) {
    using Release = py::call_guard<py::gil_scoped_release>;

    py::class_<Handle, TrampolineHandle, std::unique_ptr<Handle>>(m, "Handle",
                                                                   "The quillonet handle class")
        // The handle borrows the stream; the Python object keeps it alive.
        .def(py::init(
                 [](IO::SerialStream* stream) {
                     return std::make_unique<Handle>(&RequireStream(stream, kClassName));
                 },
                 [](IO::SerialStream* stream) {
                     return std::make_unique<TrampolineHandle>(&RequireStream(stream, kClassName));
                 }),
             py::keep_alive<1, 2>())
        .def("SendDeviceWakeup", &Handle::SendDeviceWakeup, Release())
        .def(
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
            py::arg("user_data") = py::none())
        .def("RequestStatus", &Handle::RequestStatus, "request handle status", Release())
        .def("OnReceiveHandleInfo", &Handle::OnReceiveHandleInfo, "OnReceiveHandleInfo",
             py::arg("tool_data_remaining"), py::arg("device_id"), py::arg("device_model_number"),
             py::arg("hardware_version"), py::arg("firmware_version"))
        .def(
            "OnReceiveHandleStatusMessage",
            [](Handle& self, uint16_t device_id, float quaternion, uint8_t error_flag,
               uint8_t hall_effect_sensor_level, uint8_t user_data_length, uint8_t user_data) {
                // The handler reads four floats and user_data_length bytes:
                // give it full-size buffers holding the one value of each,
                // the rest zero.
                std::array<float, HP::kQuaternionComponents> quaternion_buffer{quaternion};
                std::array<uint8_t, HP::kUserDataCapacity> user_data_buffer{user_data};
                self.OnReceiveHandleStatusMessage(device_id, quaternion_buffer.data(), error_flag,
                                                  hall_effect_sensor_level, user_data_length,
                                                  user_data_buffer.data());
            },
            "OnReceiveHandleStatusMessage", py::arg("device_id"), py::arg("quaternion"),
            py::arg("error_flag"), py::arg("hall_effect_sensor_level"),
            py::arg("user_data_length"), py::arg("user_data"))
        .def("OnReceiveHandleErrorResponse", &Handle::OnReceiveHandleErrorResponse,
             "OnReceiveHandleErrorResponse", py::arg("device_id"), py::arg("error_code"))
        .def("Receive", &ReceiveWithoutLock, "Receive data from the handle")

        // --- Deprecated -----------------------------------------------------
        .def(
            "Receive",
            [](Handle& self, uint8_t /*obsolete*/) {
                DeprecationNotice notice(kReceiveDeprecated);
                const int count = ReceiveWithoutLock(self);
                notice.RaiseIfPending();
                return count;
            },
            "[DEPRECATED] Receive current and return current", py::arg("obsolete"))
        // --------------------------------------------------------------------

        .def("GetQuillonetStatus",
             [](Handle& self) {
                 return StatusDict(Unlocked([&] { return self.GetQuillonetStatus(); }));
             },
             "Get the most recent Quillonet informations");
}

} // namespace Torvi::HardwareAPI::Bindings
