#pragma once

// What the bindings of the haptic effects share (haptics.cpp, mesh.cpp):
// vector and quaternion arguments, floats given back as their shortest
// decimal text, and each parameter of an effect as a read/write property
// (its repr, CallRepr, is in conventions.hpp).

#include "conventions.hpp"

#include "Torvi/HardwareAPI/haptics/Effects.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace Torvi::HardwareAPI::Bindings {

/// A vector argument: any sequence of N numbers. Anything else is refused
/// while the arguments are converted, before the function runs: TypeError for
/// a value that is not a sequence or holds a non-number, ValueError for
/// another length or a non-finite number.
template <std::size_t N> struct Numbers {
    std::array<float, N> value{};
};
using ThreeNumbers = Numbers<3>;
using FourNumbers = Numbers<4>;

template <std::size_t N> py::tuple Tuple(const std::array<float, N>& v) {
    py::tuple out(N);
    for (std::size_t i = 0; i < N; ++i)
        out[i] = Shortest(v[i]);
    return out;
}

// What a parameter of each type is taken as from Python and given back as.
template <typename Value> struct ParameterConversion {
    using Argument = Value;
    static Value In(Value value) { return value; }
    static Value Out(Value value) { return value; }
};
template <> struct ParameterConversion<float> {
    using Argument = float;
    static float In(float value) { return value; }
    static double Out(float value) { return Shortest(value); }
};
template <> struct ParameterConversion<Haptics::Vector3> {
    using Argument = ThreeNumbers;
    static Haptics::Vector3 In(const ThreeNumbers& argument) { return argument.value; }
    static py::tuple Out(const Haptics::Vector3& value) { return Tuple(value); }
};

template <typename EffectClass>
using EffectBinding = py::class_<EffectClass, Haptics::Effect, std::shared_ptr<EffectClass>>;

/// A read/write property for one member of the effect's parameters; a value
/// that the effect refuses raises ValueError and changes nothing.
template <typename EffectClass, typename Parameters, typename Value>
void DefParameter(EffectBinding<EffectClass>& effect, const char* name,
                  Value Parameters::* member) {
    using Conversion = ParameterConversion<Value>;
    effect.def_property(
        name, [member](const EffectClass& self) { return Conversion::Out(self.Get().*member); },
        [member](EffectClass& self, typename Conversion::Argument value) {
            const Value converted = Conversion::In(value);
            self.Update([&](Parameters& parameters) { parameters.*member = converted; });
        });
}

/// One parameter of an effect whose constructor takes its parameters in the
/// order of its Parameters' members: the keyword and the member, and, for a
/// Defaulted one, the value it takes when left out.
template <typename Parameters, typename Value> struct Field {
    using value_type = Value;
    const char* name;
    Value Parameters::* member;
};
template <typename Parameters, typename Value> struct Defaulted : Field<Parameters, Value> {
    Value default_value;
};

template <typename Parameters, typename Value> py::arg Keyword(const Field<Parameters, Value>& f) {
    return py::arg(f.name);
}
template <typename Parameters, typename Value>
py::arg_v Keyword(const Defaulted<Parameters, Value>& f) {
    return py::arg(f.name) = f.default_value;
}

/// An effect whose every parameter is a constructor keyword, in the order of
/// the members of its Parameters, and a read/write property; its repr is the
/// call that makes an equal effect.
template <typename EffectClass, typename Parameters, typename... Fields>
void DefEffect(py::module_& m, const char* name, const char* doc, const Fields&... fields) {
    EffectBinding<EffectClass> effect(m, name, doc);
    effect.def(py::init([](const typename ParameterConversion<
                            typename Fields::value_type>::Argument&... values) {
                   return std::make_shared<EffectClass>(
                       Parameters{ParameterConversion<typename Fields::value_type>::In(values)...});
               }),
               Keyword(fields)...);
    (DefParameter(effect, fields.name, fields.member), ...);
    DefCallRepr(effect, name, {fields.name...});
}

} // namespace Torvi::HardwareAPI::Bindings

namespace pybind11::detail {

template <std::size_t N> struct type_caster<Torvi::HardwareAPI::Bindings::Numbers<N>> {
    PYBIND11_TYPE_CASTER(Torvi::HardwareAPI::Bindings::Numbers<N>,
                         const_name("collections.abc.Sequence[float]"));

    static constexpr const char* kCount = N == 3 ? "three" : N == 4 ? "four" : "N";

    bool load(handle source, bool) {
        if (PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr()) ||
            !PySequence_Check(source.ptr())) {
            throw type_error(
                "expected a sequence of " + std::string(kCount) + " numbers, got " +
                std::string(pybind11::str(pybind11::type::of(source).attr("__name__"))));
        }
        const pybind11::sequence items = reinterpret_borrow<pybind11::sequence>(source);
        if (items.size() != N) {
            throw value_error("expected a sequence of " + std::string(kCount) + " numbers, got " +
                              std::to_string(items.size()));
        }
        for (std::size_t i = 0; i < N; ++i) {
            const pybind11::object item = items[i];
            if (!PyNumber_Check(item.ptr()) || PyUnicode_Check(item.ptr())) {
                throw type_error(
                    "expected a number, got " +
                    std::string(pybind11::str(pybind11::type::of(item).attr("__name__"))));
            }
            const double number = PyFloat_AsDouble(item.ptr());
            if (number == -1.0 && PyErr_Occurred() != nullptr) {
                throw error_already_set();
            }
            const auto component = static_cast<float>(number);
            if (!std::isfinite(component)) {
                throw value_error("expected finite numbers, got " +
                                  std::string(pybind11::repr(item)));
            }
            value.value[i] = component;
        }
        return true;
    }
};

} // namespace pybind11::detail
