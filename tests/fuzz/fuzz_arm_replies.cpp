// The arm's replies under arbitrary bytes: every decoder on a payload of
// exactly its length (so that reading one byte too far is a finding), and
// every arm operation reading an arbitrary byte stream through the library's
// framing. The first input byte picks the operation to start with; the rest
// is what the "arm" sends.

#include "ReplyFeed.hpp"

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/protocol/ArmillarCodec.hpp"
#include "Torvi/HardwareAPI/protocol/ArmillarProtocol.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI;
using Devices::Armillar;
using Devices::Vector3;
using TorviFuzz::Fail;
namespace P = Devices::ArmillarProtocol;
namespace M = Devices::ArmillarMessages;

/// A heap copy of exactly `n` bytes.
std::vector<uint8_t> Exact(const uint8_t* data, std::size_t n) {
    return std::vector<uint8_t>(data, data + n);
}

uint32_t LittleEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint32_t Bits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

/// Every float is the wire's bit pattern, NaNs included.
template <std::size_t N> void CheckFloats(const std::array<float, N>& values, const uint8_t* wire) {
    for (std::size_t i = 0; i < N; ++i) {
        if (Bits(values[i]) != LittleEndian32(wire + 4 * i)) Fail("float decoded with other bits");
    }
}

void CheckDecoders(const uint8_t* data, std::size_t size) {
    if (size >= 1) {
        const auto payload = Exact(data, P::kPowerStatusLength);
        if (M::DecodePowerStatus(payload.data()) != (data[0] != 0)) Fail("power status");
    }
    if (size >= P::kTemperatureLength) {
        const auto payload = Exact(data, P::kTemperatureLength);
        if (Bits(M::DecodeFloat(payload.data())) != LittleEndian32(data)) Fail("temperature");
    }
    if (size >= P::kOrientationLength) {
        const auto payload = Exact(data, P::kOrientationLength);
        CheckFloats(M::DecodeFloats<P::kQuaternionCount>(payload.data()), data);
    }
    if (size >= P::kStateLength) {
        const auto payload = Exact(data, P::kStateLength);
        const Devices::ArmillarState state = M::DecodeState(payload.data());
        CheckFloats(state.position, data);
        CheckFloats(state.velocity, data + 4 * P::kVectorCount);
    }
    if (size >= P::kParameterLength) {
        const auto payload = Exact(data, P::kParameterLength);
        const std::optional<UUID> parameter = M::DecodeParameter(payload.data());
        if (parameter.has_value() != (data[0] == P::kParameterDataLength)) Fail("parameter length");
        if (parameter) {
            const std::vector<uint8_t> bytes = parameter->bytes();
            if (std::memcmp(bytes.data(), data + 1, UUID::kSize) != 0) Fail("parameter bytes");
        }
    }
    if (size >= P::kDeviceInfoLength) {
        const auto payload = Exact(data, P::kDeviceInfoLength);
        const Devices::DeviceInfo info = M::DecodeDeviceInfo(payload.data());
        if (info.device_id != (data[0] | data[1] << 8) || info.device_model_number != data[2] ||
            info.hardware_version != data[3] || info.firmware_version != data[4]) {
            Fail("device information");
        }
        const std::vector<uint8_t> bytes = info.device_id_ext.bytes();
        if (std::memcmp(bytes.data(), data + P::kInfoIdentifierOffset, UUID::kSize) != 0) {
            Fail("device identifier");
        }
    }
}

struct Operation {
    std::size_t request_length; ///< bytes the operation writes
    void (*run)(Armillar&);
};

constexpr Vector3 kSome{0.5f, -1.0f, 2.0f};

// Every operation of the arm that reads a reply, with what it sends.
const Operation kOperations[] = {
    {1, [](Armillar& arm) { arm.device_wakeup(); }},
    {2, [](Armillar& arm) { arm.get_firmware_version(); }},
    {2, [](Armillar& arm) { arm.get_device_id(); }},
    {1, [](Armillar& arm) { arm.get_motor_currents(); }},
    {1, [](Armillar& arm) { arm.get_device_orientation(); }},
    {1, [](Armillar& arm) { arm.get_power_status(); }},
    {1, [](Armillar& arm) { arm.get_temperature(); }},
    {P::kVectorRequestLength, [](Armillar& arm) { arm.end_effector_force(kSome); }},
    {P::kVectorRequestLength, [](Armillar& arm) { arm.get_end_effector_position(true); }},
    {P::kVectorRequestLength, [](Armillar& arm) { arm.get_end_effector_position(false); }},
    {P::kVectorRequestLength, [](Armillar& arm) { arm.end_effector_position(kSome); }},
    {P::kVectorRequestLength, [](Armillar& arm) { arm.joint_torques(kSome); }},
    {P::kVectorRequestLength, [](Armillar& arm) { arm.joint_angles(kSome); }},
    {P::kVectorRequestLength, [](Armillar& arm) { arm.adjust_angles(kSome); }},
    {0, [](Armillar& arm) { arm.ReceiveDeviceInfo(); }},
    {0,
     [](Armillar& arm) {
         Vector3 current{};
         arm.ReceiveCurrent(current);
     }},
    {0,
     [](Armillar& arm) {
         Vector3 position{}, velocity{};
         arm.ReceiveState(position, velocity);
     }},
    {0,
     [](Armillar& arm) {
         Vector3 position{}, velocity{};
         arm.ReceiveJointState(position, velocity);
     }},
};
constexpr std::size_t kOperationCount = sizeof kOperations / sizeof kOperations[0];

// The most one operation reads: two header bytes, then a drain.
constexpr std::size_t kMostReadByOneOperation = 2 + P::kDrainLength;

void RunOperations(const uint8_t* data, std::size_t size) {
    if (size < 1) return;
    // Each run starts from the default model: offsets set by adjust_angles
    // from earlier inputs must not make runs depend on one another.
    Devices::SharedKinematics() = Devices::ArmillarKinematics{};

    TorviFuzz::ReplyFeed feed(data + 1, size - 1, std::vector<uint8_t>(kMostReadByOneOperation, 0));
    Armillar arm(&feed.stream());
    std::size_t next = data[0] % kOperationCount;
    std::size_t expected_request_bytes = 0;
    std::size_t host_bytes = 0;
    while (feed.InputLeft()) {
        const std::size_t before = feed.Consumed();
        kOperations[next].run(arm);
        if (feed.Consumed() - before > kMostReadByOneOperation) Fail("read beyond one reply");
        expected_request_bytes += kOperations[next].request_length;
        host_bytes += feed.TakeHostBytes().size();
        next = (next + 1) % kOperationCount;
    }
    if (!feed.stream().good()) Fail("stream failed on a well-behaved line");
    if (host_bytes > expected_request_bytes) Fail("requests too long");
    host_bytes += feed.TakeHostBytes(expected_request_bytes - host_bytes).size();
    if (host_bytes != expected_request_bytes) Fail("requests of the wrong length");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    CheckDecoders(data, size);
    RunOperations(data, size);
    return 0;
}
