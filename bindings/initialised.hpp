#pragma once

// Objects reach the bindings only once their __init__ has run.
//
// An instance made by calling __new__ alone (Armillar.__new__(Armillar))
// holds no library object. pybind11 would still hand it to a method, or to a
// constructor taking it as an argument, by giving it raw, never constructed
// storage of the class's size: the library would then run on an object that
// was never built and crash the interpreter. The casters below refuse such an
// instance with TypeError before any library code runs. Every binding file
// that converts one of these classes includes this header, so that the whole
// module uses the same casters.

#include <pybind11/pybind11.h>

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/devices/Handle.hpp"
#include "Torvi/HardwareAPI/devices/UUID.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <string>

namespace Torvi::HardwareAPI::Bindings {

/// pybind11's caster for a bound class, with the check above. The Python
/// name of the class shows in the message.
template <typename Class>
struct InitialisedInstanceCaster : pybind11::detail::type_caster_base<Class> {
    bool load(pybind11::handle source, bool convert) {
        if (pybind11::isinstance<Class>(source)) {
            auto* instance = reinterpret_cast<pybind11::detail::instance*>(source.ptr());
            const pybind11::detail::value_and_holder held =
                instance->get_value_and_holder(pybind11::detail::get_type_info(typeid(Class)));
            if (!held.holder_constructed()) {
                const std::string name =
                    pybind11::str(pybind11::type::handle_of(source).attr("__name__"));
                throw pybind11::type_error(name + ".__init__() has not been called on this object");
            }
        }
        return pybind11::detail::type_caster_base<Class>::load(source, convert);
    }
};

} // namespace Torvi::HardwareAPI::Bindings

namespace pybind11::detail {

template <>
struct type_caster<Torvi::HardwareAPI::IO::SerialStream>
    : Torvi::HardwareAPI::Bindings::InitialisedInstanceCaster<
          Torvi::HardwareAPI::IO::SerialStream> {};

template <>
struct type_caster<Torvi::HardwareAPI::UUID>
    : Torvi::HardwareAPI::Bindings::InitialisedInstanceCaster<Torvi::HardwareAPI::UUID> {};

template <>
struct type_caster<Torvi::HardwareAPI::Devices::Armillar>
    : Torvi::HardwareAPI::Bindings::InitialisedInstanceCaster<
          Torvi::HardwareAPI::Devices::Armillar> {};

template <>
struct type_caster<Torvi::HardwareAPI::Devices::Handle>
    : Torvi::HardwareAPI::Bindings::InitialisedInstanceCaster<Torvi::HardwareAPI::Devices::Handle> {
};

} // namespace pybind11::detail
