#pragma once

#include "Torvi/HardwareAPI/haptics/LoopReader.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

namespace Torvi::HardwareAPI::Haptics {
class HapticLoop;
}

// The haptic loop's record as Python sees it: the class Samples, a batch of
// cycles held as numpy arrays, and the drain that makes one.
namespace Torvi::HardwareAPI::Bindings {

namespace py = pybind11;

// The columns of a recording, in order: a file's header, to_csv and
// columns() name them so. The vectors are split into their components.
constexpr const char* kCycleColumn = "cycle";
constexpr const char* kTimeColumn = "time";
/// The vectors' places in kVectorColumns and Samples::vectors.
enum VectorColumn : std::size_t { kPosition, kVelocity, kRequested, kForce, kVectorCount };
constexpr std::array<const char*, kVectorCount> kVectorColumns = {"position", "velocity",
                                                                  "requested", "force"};
constexpr std::array<const char*, 3> kComponents = {"_x", "_y", "_z"};
constexpr const char* kPeriodColumn = "period_us";
constexpr std::size_t kComponentCount = kComponents.size();
// After period_us, in the record of a loop made with passivity: the
// observer's energy (J) and the damping its controller added (N·s/m).
constexpr const char* kEnergyColumn = "energy";
constexpr const char* kPassivityDampingColumn = "passivity_damping";

struct PassivityColumns {
    py::array_t<double> energy;
    py::array_t<float> damping;
};

/// A batch of the record, column by column: what loop.samples() returns.
struct Samples {
    py::array_t<std::uint64_t> cycle;
    py::array_t<double> time;
    std::array<py::array_t<float>, kVectorColumns.size()> vectors; // in kVectorColumns' order
    py::array_t<float> period_us;
    std::optional<PassivityColumns> passivity; ///< a loop made with passivity only
    std::uint64_t dropped = 0;

    Samples(py::ssize_t rows, bool with_passivity)
        : cycle(rows), time(rows),
          vectors{Vectors(rows), Vectors(rows), Vectors(rows), Vectors(rows)}, period_us(rows) {
        if (with_passivity) {
            passivity = PassivityColumns{py::array_t<double>(rows), py::array_t<float>(rows)};
        }
    }

    std::size_t Size() const { return static_cast<std::size_t>(cycle.shape(0)); }

    static py::array_t<float> Vectors(py::ssize_t rows) {
        return py::array_t<float>({rows, static_cast<py::ssize_t>(kComponentCount)});
    }
};

/// Registers the class Samples in the haptics submodule.
void bind_samples(py::module_& haptics);

/// loop.samples(): every cycle recorded since the previous call, as a
/// Samples object. Imports numpy (ImportError naming it when missing);
/// RuntimeError for a loop that records nothing. The ring is drained with
/// the interpreter lock released.
Samples TakeSamples(Haptics::HapticLoop& loop);

/// What loop.reader() returns: a reader of the record of its own, and
/// whether its batches carry the passivity columns.
struct SampleReader {
    std::unique_ptr<Haptics::LoopReader> reader;
    bool with_passivity = false;
};

/// loop.reader(); RuntimeError for a loop that records nothing.
SampleReader MakeReader(const Haptics::HapticLoop& loop);
/// reader.samples(): as TakeSamples, from the reader's own place.
Samples TakeSamples(SampleReader& reader);

} // namespace Torvi::HardwareAPI::Bindings
