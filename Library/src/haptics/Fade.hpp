#pragma once

// One effect's fade: its force scaled linearly from one strength to another
// over a time counted from the first cycle that renders it.

#include "haptics/LoopClock.hpp"

#include <atomic>

namespace Torvi::HardwareAPI::Haptics {

/// A fade's length in nanoseconds (capped at kLongestSeconds);
/// std::invalid_argument for a `fade_s` that is negative or not finite.
Nanoseconds FadeLength(double fade_s);

/// A fade of one effect from `from` to `to` (0: a fade-out, which takes the
/// effect out of the loop when it is over), over `length` ns counted from the
/// first cycle that renders it. It is made by the caller's thread; its
/// progress is the loop's thread's, kept in atomics, which the caller reads
/// to turn a fade around where it stands.
class Fade {
public:
    static constexpr Nanoseconds kNotBegun = -1;

    Fade(double from_scale, double to_scale, Nanoseconds length_ns)
        : from_(from_scale), to_(to_scale), length_(length_ns),
          scale_(static_cast<float>(from_scale)) {}

    Nanoseconds Length() const { return length_; }
    bool FadingOut() const { return to_ == 0.0; }
    /// The fade has reached its end.
    bool Over() const { return over_.load(std::memory_order_relaxed); }
    /// Faded out: the effect is no longer in the loop.
    bool Gone() const { return FadingOut() && Over(); }
    /// The scale of the last cycle (`from` before the first).
    double Scale() const { return scale_.load(std::memory_order_relaxed); }

    /// The loop's thread: the scale of the cycle that started at `start`.
    double Advance(Nanoseconds start);

private:
    const double from_;
    const double to_;
    const Nanoseconds length_;
    std::atomic<Nanoseconds> began_{kNotBegun};
    std::atomic<float> scale_;
    std::atomic<bool> over_{false};
};

} // namespace Torvi::HardwareAPI::Haptics
