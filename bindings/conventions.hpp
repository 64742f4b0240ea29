#pragma once

// Rules every binding of the module shares: releasing the interpreter lock
// around device work, ending device waits when a signal handler raises, deprecation warnings, the
// three-number list arguments, optional arguments, the stream argument of device classes, and the
// identifier as the standard library's uuid.UUID.

#include "termination.hpp"

#include "Torvi/HardwareAPI/devices/Cancellation.hpp"

#include <pybind11/pybind11.h>

#include <array>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

namespace Torvi::HardwareAPI {
class UUID;
namespace IO {
class SerialStream;
}
} // namespace Torvi::HardwareAPI

namespace Torvi::HardwareAPI::Bindings {

namespace py = pybind11;

/// Runs `work`, then `after` (which may raise), and returns what `work`
/// returned: the shape of every binding that has something to settle once
/// the device work is done.
template <typename Work, typename After> auto RunThen(Work&& work, After&& after) {
    if constexpr (std::is_void_v<std::invoke_result_t<Work>>) {
        std::forward<Work>(work)();
        std::forward<After>(after)();
    } else {
        auto result = std::forward<Work>(work)();
        std::forward<After>(after)();
        return result;
    }
}

/// Lets Python's signal handlers end the device waits of a call made on the
/// interpreter's main thread (the only thread Python runs them on): while it
/// lives, the library's waits consult PyErr_CheckSignals at their coarse
/// check interval, taking the interpreter lock for that moment if it is
/// released. Once a handler has raised (KeyboardInterrupt for Ctrl-C), its
/// exception is kept and every later check of the call answers "cancelled",
/// so a drain or second wait that follows ends at once too; RaiseIfSignalled
/// raises it when the work has returned. On any other thread it does
/// nothing, and the waits run as they always have.
///
/// The watch lives and ends inside a binding, where the lock is held again,
/// so a kept exception is released with the lock held.
class SignalWatch {
public:
    // Its check captures `this`; the scope member, which can be neither
    // copied nor moved, keeps the watch in place too.
    SignalWatch();

    /// Raises the exception a signal handler raised during the work, if one
    /// did. Call it with the interpreter lock held.
    void RaiseIfSignalled();

private:
    bool Signalled();

    std::optional<py::error_already_set> raised;
    std::optional<Devices::CancellationScope> scope;
};

/// The submodule `name` of `m`, which `import TorviHardwareAPI.<name>` finds
/// without a file of its own.
py::module_ DefSubmodule(py::module_& m, const char* name, const char* doc);

/// Remembers the interpreter's main thread; the module calls it once, when
/// it is imported.
void RememberMainThread();

/// Whether the calling thread is the interpreter's main thread, the only
/// one on which Python runs signal handlers and lets them be installed.
bool OnMainThread();

/// Runs `work` with the interpreter lock held throughout, its waits ended by
/// a signal handler that raises (see SignalWatch); then raises what the
/// handler raised, or returns what `work` returned.
template <typename Work> auto Interruptible(Work&& work) {
    SignalWatch watch;
    return RunThen(std::forward<Work>(work), [&] { watch.RaiseIfSignalled(); });
}

/// Runs `work` with the interpreter lock released, so that other Python
/// threads run while the device is busy; the lock is taken back when `work`
/// returns or throws. `work` must not touch Python objects. A signal handler
/// that raises ends the work's waits and its exception is raised here (see
/// SignalWatch). This is the one way the module releases the lock, but for
/// destructors (UnlockedInDestructor).
template <typename Work> auto Unlocked(Work&& work) {
    return Interruptible([&] {
        py::gil_scoped_release release;
        return std::forward<Work>(work)();
    });
}

/// Unlocked(work), then `settle` with the interpreter lock held again, before
/// a signal handler's exception (see SignalWatch) is raised: what must
/// follow the work whether or not a signal came meanwhile.
template <typename Work, typename Settle> void UnlockedThen(Work&& work, Settle&& settle) {
    Interruptible([&] {
        {
            py::gil_scoped_release release;
            std::forward<Work>(work)();
        }
        std::forward<Settle>(settle)();
    });
}

/// Unlocked for a destructor, which may not raise: `work` runs with the
/// interpreter lock released but without a signal watch, so it must end by
/// itself in bounded time. Python deallocates with the lock held; were it
/// kept, every other Python thread would stand still meanwhile, among them
/// one that may be answering the device `work` waits for. On a thread that
/// does not hold the lock, `work` simply runs.
template <typename Work> void UnlockedInDestructor(Work&& work) {
    if (PyGILState_Check() == 0) {
        std::forward<Work>(work)();
        return;
    }
    py::gil_scoped_release release;
    std::forward<Work>(work)();
}

/// `function` bound as it is, its waits interruptible by signal handlers
/// while it keeps the interpreter lock.
template <typename Result, typename... Arguments>
auto InterruptibleFunction(Result (*function)(Arguments...)) {
    return [function](Arguments... arguments) -> Result {
        return Interruptible([&]() -> Result { return function(arguments...); });
    };
}

/// `method` bound as it is, keeping the interpreter lock, its waits
/// interruptible by signal handlers.
template <typename Class, typename Result, typename... Arguments>
auto InterruptibleMethod(Result (Class::*method)(Arguments...)) {
    return [method](Class& self, Arguments... arguments) -> Result {
        return Interruptible([&]() -> Result { return (self.*method)(arguments...); });
    };
}

/// `method` bound as it is, run with the interpreter lock released: the
/// binding takes the method's own arguments and returns its result.
template <typename Class, typename Result, typename... Arguments>
auto UnlockedMethod(Result (Class::*method)(Arguments...)) {
    return [method](Class& self, Arguments... arguments) -> Result {
        return Unlocked([&]() -> Result { return (self.*method)(arguments...); });
    };
}

/// A py::class_ whose every method, however it is registered, first runs
/// `kGuard` on the object once the arguments have converted, before it warns
/// or touches the device: the one place for a check that the whole class
/// makes (a device that a native thread owns refuses every call, so that no
/// second writer interleaves its bytes). Constructors go through
/// def_constructor, unguarded: they are not calls on an existing object.
template <auto kGuard, typename Class, typename... Options>
class GuardedClass : public py::class_<Class, Options...> {
    using Base = py::class_<Class, Options...>;

public:
    using Base::Base;

    template <typename Function, typename... Extra>
    GuardedClass& def(const char* name, Function&& function, const Extra&... extra) {
        Base::def(name, Guarded(std::forward<Function>(function)), extra...);
        return *this;
    }

    template <typename Init, typename... Extra>
    GuardedClass& def_constructor(Init&& init, const Extra&... extra) {
        Base::def(std::forward<Init>(init), extra...);
        return *this;
    }

private:
    template <typename Result, typename Owner, typename... Arguments>
    static auto Guarded(Result (Owner::*method)(Arguments...)) {
        return [method](Class& self, Arguments... arguments) -> Result {
            kGuard(self);
            return (self.*method)(std::forward<Arguments>(arguments)...);
        };
    }

    template <typename Function, typename Result, typename Self, typename... Arguments>
    static auto GuardedAs(Function function, Result (*)(Self, Arguments...)) {
        return [function = std::move(function)](Self self, Arguments... arguments) -> Result {
            kGuard(self);
            return function(std::forward<Self>(self), std::forward<Arguments>(arguments)...);
        };
    }

    template <typename Function> static auto Guarded(Function function) {
        using Signature = py::detail::function_signature_t<Function>;
        return GuardedAs(std::move(function), static_cast<Signature*>(nullptr));
    }
};

/// A native `Runner` with a thread of its own (anything with a Stop() that
/// may wait for that thread), made from Python. Every live one is listed, so
/// that StopAll, which the submodule registers with atexit, stops those the
/// program left running at the interpreter's exit. Stop() runs with the
/// interpreter lock released there and in the destructor, which Python calls
/// with the lock held when the object is dropped: nothing waits for the
/// thread while holding it. The list is changed and read with the lock held.
/// From a start made through StartUnlocked or HoldTermination until it is
/// stopped or destroyed, it holds SIGTERM as an orderly exit
/// (TerminationHold).
template <typename Runner> class StoppedAtExit : public Runner {
public:
    // Never a copy: the first argument is not a Runner.
    template <typename First, typename... Rest,
              typename = std::enable_if_t<!std::is_base_of_v<Runner, std::decay_t<First>>>>
    explicit StoppedAtExit(First&& first, Rest&&... rest)
        : Runner(std::forward<First>(first), std::forward<Rest>(rest)...) {
        Live().insert(this);
    }
    ~StoppedAtExit() {
        // Off the list first, so that StopAll never stops an object that is
        // being destroyed.
        Live().erase(this);
        try {
            UnlockedInDestructor([this] { this->Stop(); });
        } catch (const std::exception& error) {
            // Only a thread that cannot be joined throws here, and a
            // destructor can neither raise it nor mend it: say so once.
            std::fprintf(stderr, "stopping on destruction failed: %s\n", error.what());
        }
    }

    StoppedAtExit(const StoppedAtExit&) = delete;
    StoppedAtExit& operator=(const StoppedAtExit&) = delete;

    /// Takes the SIGTERM hold of a runner that has started; with the lock held.
    void HoldTermination() {
        if (!hold) {
            hold.emplace();
        }
    }

    /// Start() with the lock released, then the hold, once it runs.
    void StartUnlocked() {
        UnlockedThen([this] { this->Start(); }, [this] { HoldTermination(); });
    }

    /// Stop() with the lock released, then the hold given back.
    void StopUnlocked() {
        UnlockedThen([this] { this->Stop(); }, [this] { hold.reset(); });
    }

    /// Has the interpreter's exit call StopAll.
    static void StopAllAtExit() {
        py::module_::import("atexit").attr("register")(py::cpp_function([] { StopAll(); }));
    }

    static void StopAll() {
        const std::vector<StoppedAtExit*> running(Live().begin(), Live().end());
        for (StoppedAtExit* each : running) {
            // Another thread may have dropped it while the lock was released
            // for the previous one.
            if (Live().count(each) != 0) {
                each->StopUnlocked();
            }
        }
    }

private:
    // Never destroyed: an object may outlive the static destructors at exit.
    static std::unordered_set<StoppedAtExit*>& Live() {
        static auto* live = new std::unordered_set<StoppedAtExit*>();
        return *live;
    }

    // Given back after the destructor's Stop(), as a member.
    std::optional<TerminationHold> hold;
};

/// stop() and the with block's __exit__ of a bound StoppedAtExit class: both
/// stop it with the interpreter lock released.
template <typename Binding> void DefStop(Binding& binding, const char* doc) {
    using Self = typename Binding::type;
    binding.def("stop", [](Self& self) { self.StopUnlocked(); }, doc);
    binding.def(
        "__exit__",
        [](Self& self, const py::object&, const py::object&, const py::object&) {
            self.StopUnlocked();
        },
        py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));
}

/// Issues a DeprecationWarning with stack level 1 (attributed to the calling
/// Python line) when constructed. When the warning filters turn the warning
/// into an exception, that exception is kept for RaiseIfPending. Used through
/// Deprecated below.
class DeprecationNotice {
public:
    explicit DeprecationNotice(const char* text);

    /// Raises the exception the warning became, if it became one.
    void RaiseIfPending();

private:
    std::optional<py::error_already_set> pending;
};

/// The body of a deprecated method: warns with `text` (the interpreter lock
/// held, before any device work), then runs `work` whatever the filters did
/// with the warning, and raises the exception they made of it, if any, once
/// the work has been done. Returns what `work` returns.
template <typename Work> auto Deprecated(const char* text, Work&& work) {
    DeprecationNotice notice(text);
    return RunThen(std::forward<Work>(work), [&] { notice.RaiseIfPending(); });
}

/// Room for ShortestText's longest text and its terminating zero.
constexpr std::size_t kShortestTextSize = 32;

/// The shortest decimal text that reads back as `value` (at most 9
/// significant digits: 0.2f is "0.2", not "0.200000003"), written to `text`
/// with a terminating zero; returns its length. "nan" and "inf" as printf
/// writes them.
std::size_t ShortestText(float value, char* text, std::size_t size);

/// The Python float with the shortest decimal text that reads back as
/// `value`: 0.2f comes back as 0.2, not as 0.20000000298023224.
double Shortest(float value);

/// Entries 0 to 2 of a vector argument. A vector with fewer than three
/// entries is refused with ValueError naming the argument and its length,
/// before any device input or output.
std::array<float, 3> FirstThree(const std::vector<float>& values, const char* argument_name);

/// Refuses a missing stream (Python None) with TypeError naming the class:
/// a device without a stream has nothing to talk to.
IO::SerialStream& RequireStream(IO::SerialStream* stream, const char* class_name);

/// Imports numpy for a call that returns numpy arrays; when it is missing,
/// ImportError with the text `missing`, which says how to install it.
void RequireNumpy(const char* missing);

/// The standard library's uuid.UUID for the 16 bytes, made from their
/// lower-case hexadecimal text. Failures of the import or of the call reach
/// the caller as the Python exception raised.
py::object StandardUUID(const UUID& identifier);

/// A repr that reads as a call: the class name and each named property with
/// its own repr, as the arguments of a call (for an effect, the call that
/// makes an equal one).
template <typename... ClassOptions>
void DefCallRepr(py::class_<ClassOptions...>& bound, const char* name,
                 const std::vector<const char*>& properties) {
    bound.def("__repr__", [name, properties](const py::object& self) {
        std::string text = std::string(name) + "(";
        const char* separator = "";
        for (const char* property : properties) {
            text += separator;
            text += property;
            text += "=" + std::string(py::repr(self.attr(property)));
            separator = ", ";
        }
        return text + ")";
    });
}

/// When an optional argument accepts None: always, or only where implicit
/// conversion is allowed (as for a `const char*` argument).
enum class NoneAccepted { Always, WithConversion };

/// An argument that is None (no value) or converts as `Value` does; it is
/// shown in signatures as `Value` is.
template <typename Value, NoneAccepted kNone> struct OptionalArgument {
    std::optional<Value> value;
};

} // namespace Torvi::HardwareAPI::Bindings

namespace pybind11::detail {

template <typename Value, Torvi::HardwareAPI::Bindings::NoneAccepted kNone>
struct type_caster<Torvi::HardwareAPI::Bindings::OptionalArgument<Value, kNone>> {
    using Argument = Torvi::HardwareAPI::Bindings::OptionalArgument<Value, kNone>;
    PYBIND11_TYPE_CASTER(Argument, make_caster<Value>::name);

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            if (kNone == Torvi::HardwareAPI::Bindings::NoneAccepted::WithConversion && !convert) {
                return false;
            }
            value.value.reset();
            return true;
        }
        make_caster<Value> converted;
        if (!converted.load(source, convert)) {
            return false;
        }
        value.value = cast_op<Value&&>(std::move(converted));
        return true;
    }
};

} // namespace pybind11::detail
