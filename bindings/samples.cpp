#include "samples.hpp"

#include "conventions.hpp"

#include "Torvi/HardwareAPI/haptics/HapticLoop.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Torvi::HardwareAPI::Bindings {
namespace {

using Haptics::HapticLoop;
using Haptics::LoopSample;
using Haptics::Vector3;

constexpr const char* kNumpyMissing =
    "HapticLoop.samples() returns numpy arrays; install numpy (pip install numpy)";
constexpr const char* kNotRecording = "this HapticLoop records nothing (it was made with record=0)";

/// Writes drained samples into the rows of a Samples' arrays. Made with the
/// interpreter lock held; used without it.
class RowWriter {
public:
    explicit RowWriter(Samples& samples)
        : cycle_(samples.cycle.mutable_data()), time_(samples.time.mutable_data()),
          period_(samples.period_us.mutable_data()) {
        for (std::size_t i = 0; i < vectors_.size(); ++i) {
            vectors_[i] = samples.vectors[i].mutable_data();
        }
        if (samples.passivity) {
            energy_ = samples.passivity->energy.mutable_data();
            damping_ = samples.passivity->damping.mutable_data();
        }
    }

    void operator()(const LoopSample& sample) {
        cycle_[row_] = sample.cycle;
        time_[row_] = sample.time;
        std::array<const Vector3*, kVectorCount> values{};
        values[kPosition] = &sample.position;
        values[kVelocity] = &sample.velocity;
        values[kRequested] = &sample.requested;
        values[kForce] = &sample.force;
        for (std::size_t i = 0; i < values.size(); ++i) {
            for (std::size_t k = 0; k < kComponentCount; ++k) {
                vectors_[i][row_ * kComponentCount + k] = (*values[i])[k];
            }
        }
        period_[row_] = sample.period_us;
        if (energy_ != nullptr) {
            energy_[row_] = sample.energy;
            damping_[row_] = sample.passivity_damping;
        }
        ++row_;
    }

private:
    std::uint64_t* cycle_;
    double* time_;
    std::array<float*, kVectorColumns.size()> vectors_{};
    float* period_;
    double* energy_ = nullptr;
    float* damping_ = nullptr;
    std::size_t row_ = 0;
};

/// The first `rows` rows of `array`, a view of it.
template <typename Value>
py::array_t<Value> FirstRows(const py::array_t<Value>& array, std::size_t rows) {
    return array[py::slice(0, static_cast<py::ssize_t>(rows), 1)]
        .template cast<py::array_t<Value>>();
}

void ShrinkTo(Samples& samples, std::size_t rows) {
    samples.cycle = FirstRows(samples.cycle, rows);
    samples.time = FirstRows(samples.time, rows);
    for (auto& vector : samples.vectors) {
        vector = FirstRows(vector, rows);
    }
    samples.period_us = FirstRows(samples.period_us, rows);
    if (samples.passivity) {
        samples.passivity->energy = FirstRows(samples.passivity->energy, rows);
        samples.passivity->damping = FirstRows(samples.passivity->damping, rows);
    }
}

std::vector<std::string> ColumnNames(const Samples& samples) {
    std::vector<std::string> names = {kCycleColumn, kTimeColumn};
    for (const char* vector : kVectorColumns) {
        for (const char* component : kComponents) {
            names.push_back(std::string(vector) + component);
        }
    }
    names.emplace_back(kPeriodColumn);
    if (samples.passivity) {
        names.emplace_back(kEnergyColumn);
        names.emplace_back(kPassivityDampingColumn);
    }
    return names;
}

/// The columns by name, each a one-dimensional array (a view of a vector's
/// component where it is one).
py::dict Columns(const Samples& samples) {
    const std::vector<std::string> names = ColumnNames(samples);
    py::dict columns;
    std::size_t name = 0;
    columns[names[name++].c_str()] = samples.cycle;
    columns[names[name++].c_str()] = samples.time;
    for (const auto& vector : samples.vectors) {
        for (std::size_t k = 0; k < kComponentCount; ++k) {
            columns[names[name++].c_str()] =
                vector[py::make_tuple(py::slice(std::nullopt, std::nullopt, std::nullopt), k)];
        }
    }
    columns[names[name++].c_str()] = samples.period_us;
    if (samples.passivity) {
        columns[names[name++].c_str()] = samples.passivity->energy;
        columns[names[name].c_str()] = samples.passivity->damping;
    }
    return columns;
}

/// One CSV line for row `row`: integers and times in full, floats in their
/// shortest round-trip text.
void AppendRow(const Samples& samples, std::size_t row, std::string& line) {
    std::array<char, kShortestTextSize> text{};
    std::snprintf(text.data(), text.size(), "%" PRIu64 ",%.9f", samples.cycle.data()[row],
                  samples.time.data()[row]);
    line += text.data();
    const auto add = [&](float value) {
        line += ',';
        line.append(text.data(), ShortestText(value, text.data(), text.size()));
    };
    for (const auto& vector : samples.vectors) {
        for (std::size_t k = 0; k < kComponentCount; ++k) {
            add(vector.data()[row * kComponentCount + k]);
        }
    }
    add(samples.period_us.data()[row]);
    if (samples.passivity) {
        std::snprintf(text.data(), text.size(), ",%.17g", samples.passivity->energy.data()[row]);
        line += text.data();
        add(samples.passivity->damping.data()[row]);
    }
    line += '\n';
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

/// Writes the rows, after a header line unless `append` finds the file
/// non-empty; the interpreter lock is released meanwhile. OSError with the
/// path when the file cannot be opened or written.
void ToCsv(const Samples& samples, const py::object& path, bool append) {
    const py::object encoded = py::module_::import("os").attr("fsencode")(path);
    const std::string file_name = encoded.cast<std::string>();
    std::string header;
    for (const std::string& name : ColumnNames(samples)) {
        header += (header.empty() ? "" : ",") + name;
    }
    header += '\n';
    int error = 0;
    Unlocked([&] {
        std::unique_ptr<std::FILE, FileCloser> file(
            std::fopen(file_name.c_str(), append ? "a" : "w"));
        if (!file) {
            error = errno;
            return;
        }
        std::string text = std::ftell(file.get()) > 0 ? "" : header;
        for (std::size_t row = 0; row < samples.Size(); ++row) {
            AppendRow(samples, row, text);
        }
        const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
        const bool closed = std::fclose(file.release()) == 0;
        error = written && closed ? 0 : (errno != 0 ? errno : EIO);
    });
    if (error != 0) {
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw py::error_already_set();
    }
}

std::string Repr(const Samples& samples) {
    std::string text = "Samples(n=" + std::to_string(samples.Size());
    if (samples.Size() > 0) {
        text += ", cycles " + std::to_string(samples.cycle.data()[0]) + ".." +
                std::to_string(samples.cycle.data()[samples.Size() - 1]);
    }
    return text + ", dropped=" + std::to_string(samples.dropped) + ")";
}

} // namespace

namespace {

/// A batch of what `take` (called as take(most, sink) with the interpreter
/// lock released) hands over, sized for the `pending` samples there now;
/// what arrives meanwhile waits for the next call.
template <typename Take> Samples Collect(std::size_t pending, bool with_passivity, Take take) {
    RequireNumpy(kNumpyMissing);
    Samples samples(static_cast<py::ssize_t>(pending), with_passivity);
    RowWriter writer(samples);
    const std::function<void(const LoopSample&)> sink = std::ref(writer);
    const Haptics::SampleDrain drain = Unlocked([&] { return take(pending, sink); });
    if (drain.taken < pending) {
        ShrinkTo(samples, drain.taken);
    }
    samples.dropped = drain.dropped;
    return samples;
}

void RequireRecord(std::size_t capacity) {
    if (capacity == 0) {
        throw std::runtime_error(kNotRecording);
    }
}

} // namespace

Samples TakeSamples(HapticLoop& loop) {
    RequireRecord(loop.RecordCapacity());
    return Collect(loop.PendingSamples(), loop.RecordsPassivity(),
                   [&](auto most, auto& sink) { return loop.TakeSamples(most, sink); });
}

SampleReader MakeReader(const HapticLoop& loop) {
    RequireRecord(loop.RecordCapacity());
    return SampleReader{loop.Reader(), loop.RecordsPassivity()};
}

Samples TakeSamples(SampleReader& reader) {
    Haptics::LoopReader& from = *reader.reader;
    return Collect(from.Pending(), reader.with_passivity,
                   [&](auto most, auto& sink) { return from.Take(most, sink); });
}

void bind_samples(py::module_& haptics) {
    py::class_<Samples> samples(
        haptics, "Samples",
        "The cycles a HapticLoop recorded, as numpy arrays: cycle (uint64), time (float64, s), "
        "position, velocity, requested (before the clamp) and force (as sent), each float32 "
        "(n, 3), period_us (float32; NaN for a first cycle); dropped counts the cycles lost "
        "to a full record since the previous samples().");
    samples.def_readonly("cycle", &Samples::cycle)
        .def_readonly("time", &Samples::time)
        .def_property_readonly("position", [](const Samples& s) { return s.vectors[kPosition]; })
        .def_property_readonly("velocity", [](const Samples& s) { return s.vectors[kVelocity]; })
        .def_property_readonly("requested", [](const Samples& s) { return s.vectors[kRequested]; })
        .def_property_readonly("force", [](const Samples& s) { return s.vectors[kForce]; })
        .def_readonly("period_us", &Samples::period_us)
        .def_property_readonly(
            "energy",
            [](const Samples& s) -> py::object {
                return s.passivity ? py::object(s.passivity->energy) : py::none();
            },
            "The passivity observer's energy (float64, J) of a loop made with passivity; "
            "None otherwise.")
        .def_property_readonly(
            "passivity_damping",
            [](const Samples& s) -> py::object {
                return s.passivity ? py::object(s.passivity->damping) : py::none();
            },
            "The damping its controller added (float32, N*s/m; 0 when none) of a loop made "
            "with passivity; None otherwise.")
        .def_readonly("dropped", &Samples::dropped)
        .def("__len__", &Samples::Size)
        .def("columns", &Columns,
             "The columns by name (cycle, time, position_x, ..., period_us), one-dimensional.")
        .def("to_csv", &ToCsv,
             "Write a header line with the column names and one row a sample; append=True adds "
             "the rows to an existing file (the header only when it is empty).",
             py::arg("path"), py::arg("append") = false)
        .def("__repr__", &Repr);

    py::class_<SampleReader>(
        haptics, "SampleReader",
        "A reader of its own of a HapticLoop's record (HapticLoop.reader()): samples() returns "
        "every cycle recorded since its previous call (the first: since the reader was made), "
        "whatever the loop's samples() and the other readers take. One that falls behind loses "
        "its own oldest cycles, counted in Samples.dropped; the loop never waits for it.")
        .def(
            "samples", [](SampleReader& self) { return TakeSamples(self); },
            "Every cycle recorded since this reader's previous call, as a Samples object of "
            "numpy arrays.")
        .def_property_readonly(
            "pending", [](const SampleReader& self) { return self.reader->Pending(); },
            "Cycles recorded and not yet taken by this reader (at most the record's size).");
}

} // namespace Torvi::HardwareAPI::Bindings
