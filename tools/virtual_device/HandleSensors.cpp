#include "HandleSensors.hpp"

#include <algorithm>
#include <cmath>

namespace Torvi::VirtualDevice {

namespace {

// Press one button, release, press the next: 1, 2 and 4 with pauses.
constexpr uint8_t kButtonPattern[] = {0, 1, 0, 2, 0, 4};
constexpr std::size_t kButtonSteps = sizeof kButtonPattern;

} // namespace

HandleReading ReadHandleSensors(double t) {
    HandleReading reading;
    const double half = kTurnRate * t / 2;
    const double s = std::sin(half);
    reading.quaternion = {static_cast<float>(kTurnAxis[0] * s),
                          static_cast<float>(kTurnAxis[1] * s),
                          static_cast<float>(kTurnAxis[2] * s), static_cast<float>(std::cos(half))};

    const auto step = static_cast<std::size_t>(t / kButtonPeriod);
    reading.buttons = kButtonPattern[step % kButtonSteps];

    // A triangle wave: up from 0 to the maximum and back down.
    const double phase = std::fmod(t, kHallPeriod) / kHallPeriod;
    const double rise = phase < 0.5 ? 2 * phase : 2 * (1 - phase);
    reading.hall_level = static_cast<uint8_t>(std::lround(rise * kHallMaximum));

    const double spent = t / kBatteryStepSeconds;
    reading.battery_raw =
        static_cast<uint8_t>(std::max<double>(kBatteryEmpty, kBatteryFull - std::floor(spent)));
    return reading;
}

} // namespace Torvi::VirtualDevice
