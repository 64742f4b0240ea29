// The handle's byte-stuffed status frame: unstuffing of the 19 raw bytes and
// the conversion of the 18 unstuffed ones, on buffers of exactly those
// lengths. Checked against the frame's validity rule, the ranges of the
// converted values, and an independent reading of the fields.

#include "Torvi/HardwareAPI/protocol/HandleCodec.hpp"
#include "Torvi/HardwareAPI/protocol/HandleProtocol.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI::Devices;
using namespace Torvi::HardwareAPI::Devices::HandleMessages;
namespace P = HandleProtocol;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

/// The validity rule, stated on the raw bytes: no END or ESC among the first
/// 17, and the 18th either a plain byte or an escape pair closed by the 19th.
bool ValidFrame(const std::vector<uint8_t>& r) {
    for (std::size_t i = 0; i + 2 < P::kStatusFrameLength; ++i) {
        if (r[i] == P::kSlipEnd || r[i] == P::kSlipEsc) return false;
    }
    const uint8_t last = r[P::kStatusFrameLength - 2];
    const uint8_t after = r[P::kStatusFrameLength - 1];
    if (last == P::kSlipEnd) return false;
    return last != P::kSlipEsc || after == P::kSlipEscEnd || after == P::kSlipEscEsc;
}

float Q15(uint8_t low, uint8_t high) {
    const auto value = static_cast<int16_t>(static_cast<uint16_t>(low | high << 8));
    return static_cast<float>(value) / 32768.0f;
}

void CheckConversion(const std::vector<uint8_t>& unstuffed) {
    const std::vector<uint8_t> exact(unstuffed.begin(), unstuffed.end());
    const HandleStatus status = ConvertStatusFrame(exact.data());
    if (status.error_flag != exact[P::kFrameErrorFlagOffset]) Fail("error flag");
    if (status.device_id != exact[P::kFrameDeviceIdOffset]) Fail("device id");
    if (status.buttons > 7 || status.hall_effect_sensor_level > 31) Fail("bit fields out of range");
    if ((status.buttons << 5 | status.hall_effect_sensor_level) != exact[P::kFrameBitsOffset]) {
        Fail("bit fields");
    }
    for (std::size_t i = 0; i < P::kQuaternionComponents; ++i) {
        const std::size_t at = P::kFrameQuaternionOffset + 2 * i;
        const float q = status.quaternion[i];
        if (!(q >= -1.0f && q <= 1.0f - 1.0f / 32768.0f)) Fail("quaternion out of range");
        if (q != Q15(exact[at], exact[at + 1])) Fail("quaternion value");
    }
    const float volts = status.battery_level;
    if (!(volts >= 3.0f && volts <= 4.2750001f)) Fail("battery level out of range");
    if (std::fabs(volts - (exact[P::kFrameBatteryOffset] * 0.005 + 3.0)) > 1e-6) Fail("battery");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < P::kStatusFrameLength) return 0;
    const std::vector<uint8_t> raw(data, data + P::kStatusFrameLength);

    const std::vector<uint8_t> unstuffed = UnstuffStatusFrame(raw.data());
    if (unstuffed.size() > P::kStatusFrameDecodedLength) Fail("unstuffed frame too long");
    const bool valid = unstuffed.size() == P::kStatusFrameDecodedLength;
    if (valid != ValidFrame(raw)) Fail("validity differs from the rule");

    const HandleStatus decoded = DecodeStatusFrame(raw.data());
    if (!valid) {
        const HandleStatus bad = BadFrameStatus();
        if (decoded.error_flag != bad.error_flag || decoded.device_id != 0 ||
            decoded.battery_level != 0.0f) {
            Fail("invalid frame not reported as bad");
        }
        return 0;
    }
    CheckConversion(unstuffed);
    // A valid frame's plain bytes come through unchanged.
    for (std::size_t i = 0; i + 1 < P::kStatusFrameDecodedLength; ++i) {
        if (unstuffed[i] != raw[i]) Fail("plain byte changed");
    }
    return 0;
}
