#include "bindings.hpp"
#include "conventions.hpp"
#include "initialised.hpp"

#include "Torvi/HardwareAPI/devices/Handle.hpp"
#include "Torvi/HardwareAPI/events/HandleListener.hpp"

#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace Torvi::HardwareAPI::Bindings {
namespace {

/// A Python object that signatures show as the bound class of `T` (a
/// subclass of it, made by ToPython).
template <typename T> class Instance : public py::object {
    PYBIND11_OBJECT_DEFAULT(Instance, object, PyObject_Type)
    using object::object;
};

} // namespace
} // namespace Torvi::HardwareAPI::Bindings

namespace pybind11::detail {
template <typename T> struct handle_type_name<Torvi::HardwareAPI::Bindings::Instance<T>> {
    static constexpr auto name = make_caster<T>::name;
};
} // namespace pybind11::detail

namespace Torvi::HardwareAPI::Bindings {
namespace {

using Devices::Handle;
using Events::HandleEvent;
using Events::HandleListener;
namespace HP = Devices::HandleProtocol;

// The Python side of an event: its kind, its time and the decoded record.
struct EventObject {
    const char* kind;
    double time;
};
template <typename Record> struct RecordEvent : EventObject {
    Record fields;
};
using InfoEvent = RecordEvent<Devices::HandleInfoResponse>;
using StatusEvent = RecordEvent<Devices::HandleStatusMessage>;
using StatusFrameEvent = RecordEvent<Devices::HandleStatus>;
using ErrorEvent = RecordEvent<Devices::HandleErrorResponse>;

constexpr const char* kInfoKind = "info";
constexpr const char* kStatusKind = "status";
constexpr const char* kStatusFrameKind = "status_frame";
constexpr const char* kErrorKind = "error";

template <typename... Ts> struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <typename... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

/// A new Python event object for `event`; with the interpreter lock held.
py::object ToPython(const HandleEvent& event) {
    return std::visit(Overloaded{
                          [&](const Devices::HandleInfoResponse& r) {
                              return py::cast(InfoEvent{{kInfoKind, event.time}, r});
                          },
                          [&](const Devices::HandleStatusMessage& r) {
                              return py::cast(StatusEvent{{kStatusKind, event.time}, r});
                          },
                          [&](const Devices::HandleStatus& r) {
                              return py::cast(StatusFrameEvent{{kStatusFrameKind, event.time}, r});
                          },
                          [&](const Devices::HandleErrorResponse& r) {
                              return py::cast(ErrorEvent{{kErrorKind, event.time}, r});
                          },
                      },
                      event.message);
}

py::typing::Tuple<float, float, float, float> QuaternionTuple(const Devices::Quaternion& q) {
    return py::make_tuple(q[0], q[1], q[2], q[3]);
}

template <typename Record> using EventClass = py::class_<RecordEvent<Record>, EventObject>;

/// A read-only attribute for one member of the event's record.
template <typename Record, typename Value>
void DefField(EventClass<Record>& event, const char* name, Value Record::* member) {
    event.def_property_readonly(
        name, [member](const RecordEvent<Record>& self) { return self.fields.*member; });
}

/// The class's fields for pattern matching (`case StatusEvent(device_id=...)`)
/// and a repr that shows the time and every field by its name.
template <typename Record>
void DefMatchAndRepr(EventClass<Record>& event, const char* name,
                     const std::vector<const char*>& fields) {
    py::tuple names(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        names[i] = py::str(fields[i]);
    }
    event.attr("__match_args__") = names;
    event.def("__repr__", [name, fields](const py::object& self) {
        std::string text = std::string(name) + "(time=" + std::string(py::repr(self.attr("time")));
        for (const char* field : fields) {
            text += std::string(", ") + field + "=" + std::string(py::repr(self.attr(field)));
        }
        return text + ")";
    });
}

void BindEventClasses(py::module_& m) {
    py::class_<EventObject>(m, "HandleEvent",
                            "One message the handle sent, as a HandleListener delivers it: "
                            "`kind` names the message, `time` is the time.monotonic() second "
                            "when its last byte was read. Immutable.")
        .def_property_readonly("kind", [](const EventObject& self) { return self.kind; })
        .def_readonly("time", &EventObject::time);

    using Devices::HandleInfoResponse;
    EventClass<HandleInfoResponse> info(m, "InfoEvent", "kind \"info\": the handle's information.");
    DefField(info, "tool_data_remaining", &HandleInfoResponse::tool_data_remaining);
    DefField(info, "device_id", &HandleInfoResponse::device_id);
    DefField(info, "device_model_number", &HandleInfoResponse::device_model_number);
    DefField(info, "hardware_version", &HandleInfoResponse::hardware_version);
    DefField(info, "firmware_version", &HandleInfoResponse::firmware_version);
    DefMatchAndRepr(info, "InfoEvent",
                    {"tool_data_remaining", "device_id", "device_model_number", "hardware_version",
                     "firmware_version"});

    using Devices::HandleErrorResponse;
    EventClass<HandleErrorResponse> error(m, "ErrorEvent", "kind \"error\": an error response.");
    DefField(error, "device_id", &HandleErrorResponse::device_id);
    DefField(error, "error_code", &HandleErrorResponse::error_code);
    DefMatchAndRepr(error, "ErrorEvent", {"device_id", "error_code"});
}

/// The readings that both forms of status carry, under the same names and
/// in the same order, before the fields of each form.
template <typename Record> void DefStatusReadings(EventClass<Record>& status) {
    DefField(status, "device_id", &Record::device_id);
    status.def_property_readonly("quaternion", [](const RecordEvent<Record>& self) {
        return QuaternionTuple(self.fields.quaternion);
    });
    DefField(status, "error_flag", &Record::error_flag);
    DefField(status, "hall_effect_sensor_level", &Record::hall_effect_sensor_level);
}

void BindStatusClasses(py::module_& m) {
    using Devices::HandleStatusMessage;
    EventClass<HandleStatusMessage> status(
        m, "StatusEvent", "kind \"status\": a status message (quaternion as four floats).");
    DefStatusReadings(status);
    DefField(status, "user_data_length", &HandleStatusMessage::user_data_length);
    status.def_property_readonly("user_data", [](const StatusEvent& self) {
        return py::bytes(reinterpret_cast<const char*>(self.fields.user_data.data()),
                         self.fields.user_data_length);
    });
    DefMatchAndRepr(status, "StatusEvent",
                    {"device_id", "quaternion", "error_flag", "hall_effect_sensor_level",
                     "user_data_length", "user_data"});

    using Devices::HandleStatus;
    EventClass<HandleStatus> frame(m, "StatusFrameEvent",
                                   "kind \"status_frame\": the stuffed status frame that answers "
                                   "request_status(); error_flag 1 marks a frame that did not "
                                   "unstuff, its other fields zero.");
    DefStatusReadings(frame);
    DefField(frame, "buttons", &HandleStatus::buttons);
    DefField(frame, "battery_level", &HandleStatus::battery_level);
    DefMatchAndRepr(frame, "StatusFrameEvent",
                    {"device_id", "quaternion", "error_flag", "hall_effect_sensor_level", "buttons",
                     "battery_level"});
}

/// A HandleListener made from Python: stopped when dropped and at the
/// interpreter's exit, the interpreter lock released.
using RegisteredListener = StoppedAtExit<HandleListener>;

using AnyEvent = Instance<EventObject>;
using EventOrNone = py::typing::Optional<EventObject>;
using StatusOrNone = py::typing::Optional<py::typing::Union<StatusEvent, StatusFrameEvent>>;

/// The Python exception for a listener that has nothing more to give: the
/// reason it failed, or `ended` (StopIteration, StopAsyncIteration) after a
/// stop.
py::object EndOf(const HandleListener& listener, const py::handle& ended) {
    const std::optional<std::string> error = listener.Error();
    if (error) {
        return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(*error);
    }
    return py::reinterpret_borrow<py::object>(ended)();
}

[[noreturn]] void RaiseEnd(const HandleListener& listener, const py::handle& ended) {
    py::object exception = EndOf(listener, ended);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

/// An event queued now, taken without releasing the lock (the queue's lock
/// is held only for a copy); otherwise waits as Next does, lock released.
HandleListener::Taken Take(HandleListener& listener, HandleEvent& event,
                           std::optional<std::chrono::duration<double>> timeout) {
    const HandleListener::Taken now = listener.Next(event, std::chrono::duration<double>(0));
    if (now != HandleListener::Taken::TimedOut || (timeout && timeout->count() <= 0.0)) {
        return now;
    }
    return Unlocked([&] { return listener.Next(event, timeout); });
}

AnyEvent NextEvent(HandleListener& listener) {
    HandleEvent event;
    for (;;) {
        switch (Take(listener, event, std::nullopt)) {
        case HandleListener::Taken::Event:
            return ToPython(event);
        case HandleListener::Taken::Ended:
            RaiseEnd(listener, PyExc_StopIteration);
        default:
            break; // a cancelled wait without a signal's exception: wait again
        }
    }
}

EventOrNone GetEvent(RegisteredListener& listener, std::optional<double> timeout) {
    std::optional<std::chrono::duration<double>> limit;
    if (timeout) {
        if (std::isnan(*timeout) || *timeout < 0.0) {
            throw py::value_error("timeout must be a non-negative number or None");
        }
        if (std::isfinite(*timeout)) {
            limit = std::chrono::duration<double>(*timeout);
        }
    }
    HandleEvent event;
    switch (Take(listener, event, limit)) {
    case HandleListener::Taken::Event:
        return ToPython(event);
    case HandleListener::Taken::Ended:
        if (listener.Error()) {
            RaiseEnd(listener, PyExc_RuntimeError);
        }
        return py::none();
    default:
        return py::none();
    }
}

/// `async for` over a listener: each __anext__ gives an asyncio future of
/// the running loop, settled at once when an event is queued, else from the
/// loop's own thread when the listener's EventSignal (watched with
/// loop.add_reader) says one has come. The reader thread only signals the
/// descriptor: it never waits for the loop nor touches Python.
class AsyncEvents {
public:
    explicit AsyncEvents(RegisteredListener& listener)
        : listener_(listener), signal_(std::make_shared<Events::EventSignal>()) {
        listener_.Watch(signal_);
    }
    ~AsyncEvents() { listener_.Unwatch(signal_); }

    AsyncEvents(const AsyncEvents&) = delete;
    AsyncEvents& operator=(const AsyncEvents&) = delete;

    static py::object Next(const py::object& self);

private:
    /// Settles `future` from what the listener has now; false when there is
    /// nothing yet.
    bool Settle(const py::object& future);
    void Await(const py::object& self, const py::object& loop, const py::object& future);

    RegisteredListener& listener_;
    std::shared_ptr<Events::EventSignal> signal_;
    py::object pending_; // the future of the __anext__ being awaited
};

bool AsyncEvents::Settle(const py::object& future) {
    HandleEvent event;
    switch (listener_.Next(event, std::chrono::duration<double>(0))) {
    case HandleListener::Taken::Event:
        future.attr("set_result")(ToPython(event));
        return true;
    case HandleListener::Taken::Ended:
        future.attr("set_exception")(EndOf(listener_, PyExc_StopAsyncIteration));
        return true;
    default:
        return false;
    }
}

py::object AsyncEvents::Next(const py::object& self) {
    AsyncEvents& events = self.cast<AsyncEvents&>();
    if (events.pending_ && !events.pending_.attr("done")().cast<bool>()) {
        throw std::runtime_error("anext() of this iterator is already being awaited");
    }
    py::object loop = py::module_::import("asyncio").attr("get_running_loop")();
    py::object future = loop.attr("create_future")();
    events.pending_ = future;
    if (events.Settle(future)) {
        return future;
    }
    // Armed before the second look, so that an event queued in between
    // makes the descriptor readable.
    events.signal_->Arm();
    if (!events.Settle(future)) {
        events.Await(self, loop, future);
    }
    return future;
}

void AsyncEvents::Await(const py::object& self, const py::object& loop, const py::object& future) {
    const int fd = signal_->Fd();
    // The callbacks hold `self`, so that the iterator outlives them.
    loop.attr("add_reader")(fd, py::cpp_function([self, future]() {
                                AsyncEvents& events = self.cast<AsyncEvents&>();
                                events.signal_->Clear();
                                if (future.attr("done")().cast<bool>()) {
                                    return;
                                }
                                events.signal_->Arm();
                                events.Settle(future);
                            }));
    // Settled or cancelled: the loop stops watching.
    future.attr("add_done_callback")(
        py::cpp_function([loop, fd](const py::object&) { loop.attr("remove_reader")(fd); }));
}

/// listener.tap(): a second queue of the listener's events, for a consumer
/// beside the program's own iteration; it stops receiving when dropped.
class BoundTap {
public:
    BoundTap(RegisteredListener& listener, std::size_t maxlen)
        : listener_(listener), tap_(listener.Tap(maxlen)) {}
    ~BoundTap() { listener_.Untap(tap_); }

    BoundTap(const BoundTap&) = delete;
    BoundTap& operator=(const BoundTap&) = delete;

    /// The events queued, oldest first, as Python event objects.
    py::typing::List<EventObject> Take() {
        std::vector<HandleEvent> events;
        tap_->TakeAll(events); // held only for a copy: no need to release the lock
        py::list taken;
        for (const HandleEvent& event : events) {
            taken.append(ToPython(event));
        }
        return taken;
    }
    const Events::EventTap& Tap() const { return *tap_; }

private:
    RegisteredListener& listener_;
    std::shared_ptr<Events::EventTap> tap_;
};

void BindTap(py::module_& m) {
    py::class_<BoundTap>(
        m, "EventTap",
        "A second queue of a HandleListener's events (HandleListener.tap()): every event the "
        "listener queues is copied here too, so that a stream or a log sees them all without "
        "taking any from the program's own iteration of the listener. Holds at most maxlen; the "
        "oldest go first, counted in dropped. The listener's reader never waits for it.")
        .def("take", &BoundTap::Take, "The events queued since the last take(), oldest first.")
        .def_property_readonly("dropped", [](const BoundTap& self) { return self.Tap().Dropped(); })
        .def_property_readonly("maxlen", [](const BoundTap& self) { return self.Tap().Maxlen(); });
}

void DefListenerWrites(py::class_<RegisteredListener>& listener) {
    listener.def(
        "request_status", [](RegisteredListener& self) { Unlocked([&] { self.RequestStatus(); }); },
        "Ask the handle for its status; the answer arrives as a \"status_frame\" event.");
    listener.def(
        "send_device_wakeup",
        [](RegisteredListener& self) { Unlocked([&] { self.SendDeviceWakeup(); }); },
        "Wake the handle; it answers with an \"info\" (or \"status\") event.");
    listener.def(
        "send_handle_state",
        [](RegisteredListener& self, uint16_t device_id,
           const std::variant<py::bytes, py::bytearray, std::vector<uint8_t>>& user_data) {
            std::vector<uint8_t> bytes;
            if (const auto* list = std::get_if<std::vector<uint8_t>>(&user_data)) {
                bytes = *list;
            } else {
                const std::string text =
                    std::holds_alternative<py::bytes>(user_data)
                        ? static_cast<std::string>(std::get<py::bytes>(user_data))
                        : static_cast<std::string>(std::get<py::bytearray>(user_data));
                bytes.assign(text.begin(), text.end());
            }
            Unlocked([&] { self.SendHandleState(device_id, std::move(bytes)); });
        },
        "Send the handle a device id and up to 255 bytes of user data.", py::arg("device_id") = 0,
        py::arg("user_data") = py::bytes());
}

void DefListenerState(py::class_<RegisteredListener>& listener) {
    listener.def_property_readonly(
        "latest",
        [](const RegisteredListener& self) -> StatusOrNone {
            const std::optional<HandleEvent> latest = self.Latest();
            return latest ? ToPython(*latest) : py::none();
        },
        "The newest \"status\" or \"status_frame\" event, or None; it consumes nothing.");
    listener.def_property_readonly("dropped", &HandleListener::Dropped,
                                   "Events lost because the queue was full (oldest first).");
    listener.def_property_readonly("skipped", &HandleListener::Skipped,
                                   "Bytes that started no message, or whose message never "
                                   "completed, skipped.");
    listener.def_property_readonly("error", &HandleListener::Error,
                                   "None, or why the listener stopped by itself.");
    listener.def_property_readonly("running", &HandleListener::Running);
    listener.def_property_readonly("maxlen", &HandleListener::Maxlen);
    DefCallRepr(listener, "HandleListener", {"maxlen", "running", "dropped", "skipped", "error"});
}

void BindListener(py::module_& m) {
    py::class_<AsyncEvents>(m, "AsyncEvents",
                            "The events of a HandleListener for `async for`: see "
                            "HandleListener.aiter().")
        .def(
            "__aiter__", [](AsyncEvents& self) -> AsyncEvents& { return self; },
            py::return_value_policy::reference)
        .def("__anext__", &AsyncEvents::Next);

    py::class_<RegisteredListener> listener(
        m, "HandleListener",
        "Listens to a Handle on a native reader thread, which decodes each message into an "
        "event stamped with the moment its last byte arrived and queues it (at most maxlen; "
        "the oldest go first, counted in dropped). Starts at once; while it runs, the handle "
        "belongs to it.");
    // The listener keeps its Handle (and so the stream) alive while it reads.
    listener.def(py::init([](Handle& handle, std::size_t maxlen) {
                     auto made = std::make_unique<RegisteredListener>(handle, maxlen);
                     made->Start();
                     made->HoldTermination();
                     return made;
                 }),
                 py::arg("handle"), py::arg("maxlen") = HandleListener::kDefaultMaxlen,
                 py::keep_alive<1, 2>());
    DefStop(listener, "Stop the reader and give the handle back; queued events stay to be taken. "
                      "May be called any number of times.");
    listener.def(
        "__enter__", [](RegisteredListener& self) -> RegisteredListener& { return self; },
        py::return_value_policy::reference);
    listener.def(
        "__iter__", [](RegisteredListener& self) -> RegisteredListener& { return self; },
        py::return_value_policy::reference);
    listener.def("__next__", [](RegisteredListener& self) { return NextEvent(self); });
    listener.def("get", &GetEvent,
                 "The next event, waiting at most timeout seconds (None: until one comes), or "
                 "None when none came or the listener was stopped.",
                 py::arg("timeout") = py::none());
    listener.def(
        "aiter", [](RegisteredListener& self) { return std::make_unique<AsyncEvents>(self); },
        "The events for `async for` in a running asyncio loop, which is never blocked.",
        py::keep_alive<0, 1>());
    listener.def(
        "tap",
        [](RegisteredListener& self, std::size_t maxlen) {
            return std::make_unique<BoundTap>(self, maxlen);
        },
        "An EventTap that receives a copy of every event queued from now on, whoever takes "
        "them from this listener; it stops when it is dropped.",
        py::arg("maxlen") = HandleListener::kDefaultMaxlen, py::keep_alive<0, 1>());
    DefListenerWrites(listener);
    DefListenerState(listener);
}

} // namespace

void bind_events(py::module_& m) {
    py::module_ events =
        DefSubmodule(m, "events", "The handle's messages as events, from a native reader thread.");
    BindEventClasses(events);
    BindStatusClasses(events);
    BindTap(events);
    BindListener(events);
    // The interpreter's exit leaves no reader on a port.
    RegisteredListener::StopAllAtExit();
}

} // namespace Torvi::HardwareAPI::Bindings
