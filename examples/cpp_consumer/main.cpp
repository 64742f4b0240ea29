// Prints the library version; given the path of an arm's port, wakes the arm,
// prints what it says about itself and exchanges a few force requests.
// Exits 1 when the arm does not answer as an arm.

#include <Torvi/HardwareAPI/Version.hpp>
#include <Torvi/HardwareAPI/devices/Armillar.hpp>
#include <Torvi/HardwareAPI/devices/ArmillarMessages.hpp>
#include <Torvi/HardwareAPI/serial/SerialStream.hpp>

#include <cstdint>
#include <cstdio>

namespace API = Torvi::HardwareAPI;

int main(int argc, char** argv) {
    std::printf("TorviHardwareAPI library %s\n", API::get_cpp_version());
    if (argc < 2) {
        return 0;
    }

    // The stream must outlive the arm, which only borrows it.
    API::IO::SerialStream stream(argv[1], true);
    API::Devices::Armillar arm(&stream);

    const API::Devices::DeviceInfo info = arm.device_wakeup();
    std::printf("device id 0x%04x, model %u, hardware %u, firmware %u, identifier ", info.device_id,
                info.device_model_number, info.hardware_version, info.firmware_version);
    for (uint8_t byte : info.device_id_ext.data()) {
        std::printf("%02x", byte);
    }
    std::printf("\n");
    if (info.device_model_number != API::Devices::ArmillarProtocol::kArmillarModelNumber) {
        std::fprintf(stderr, "%s: no arm answered\n", argv[1]);
        return 1;
    }

    API::Devices::ArmillarState state;
    for (int turn = 0; turn < 100; ++turn) {
        state = arm.end_effector_force({0.0f, 0.0f, 0.1f});
    }
    arm.end_effector_force({0.0f, 0.0f, 0.0f});
    std::printf("after 100 force requests: position %.4f %.4f %.4f m\n", state.position[0],
                state.position[1], state.position[2]);
    return 0;
}
