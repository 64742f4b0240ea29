#include "haptics/Fade.hpp"

#include "Torvi/HardwareAPI/haptics/Effects.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace Torvi::HardwareAPI::Haptics {

Nanoseconds FadeLength(double fade_s) {
    if (!std::isfinite(fade_s) || fade_s < 0.0) {
        throw std::invalid_argument("fade_s must be a non-negative finite number of seconds");
    }
    return static_cast<Nanoseconds>(std::llround(std::min(fade_s, kLongestSeconds) *
                                                 static_cast<double>(kNanosecondsPerSecond)));
}

double Fade::Advance(Nanoseconds start) {
    Nanoseconds begun = began_.load(std::memory_order_relaxed);
    if (begun == kNotBegun) {
        begun = start;
        began_.store(start, std::memory_order_relaxed);
    }
    const double done = ForceLaws::Ramp(Seconds(start - begun), Seconds(length_));
    const double now = from_ + (to_ - from_) * done;
    scale_.store(static_cast<float>(now), std::memory_order_relaxed);
    if (done >= 1.0) {
        over_.store(true, std::memory_order_relaxed);
    }
    return now;
}

} // namespace Torvi::HardwareAPI::Haptics
