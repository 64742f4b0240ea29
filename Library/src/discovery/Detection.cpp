#include "Torvi/HardwareAPI/discovery/Detection.hpp"

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/devices/Cancellation.hpp"
#include "Torvi/HardwareAPI/devices/Handle.hpp"
#include "Torvi/HardwareAPI/discovery/PortEnumeration.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <iostream>
#include <memory>
#include <optional>

namespace Torvi::HardwareAPI::Discovery {

namespace ArmProtocol = Devices::ArmillarProtocol;

namespace {

/// How long a detection waits for one probe's answer (steady clock). A probe
/// that answers later is still waited for, but its answer does not count.
constexpr std::chrono::seconds kArmWaitLimit{3};
constexpr std::chrono::seconds kHandleWaitLimit{5};

constexpr int kConfirmed = 1;
constexpr int kNotConfirmed = 0;

using Probe = int (*)(const char*);

/// The probe-only handle: it records that a handle answered with an info
/// response or a status message. An error response leaves it unconvinced.
class MyHandle : public Devices::Handle {
public:
    using Handle::Handle;

    bool found = false;

    void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) override {
        found = true;
    }
    void OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t,
                                      const uint8_t*) override {
        found = true;
    }
};

/// What one probe came to.
enum class ProbeOutcome { Confirmed, NotConfirmed, Cancelled };

/// Waits for `task` until `deadline`, in slices short enough that a
/// cancellation of the calling thread is seen within one check interval.
/// False when the wait was cancelled.
bool WaitForProbe(const std::future<int>& task, std::chrono::steady_clock::time_point deadline) {
    Devices::CancellationPoll cancellation;
    while (task.wait_until(std::min(deadline, std::chrono::steady_clock::now() +
                                                  Devices::CancellationPoll::kInterval)) !=
           std::future_status::ready) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return true;
        }
        if (cancellation.Cancelled()) {
            return false;
        }
    }
    return true;
}

/// Runs `probe` for `path` on a new thread. Confirmed when it confirmed the
/// device within `limit`. A probe that fails with a std::exception in time is
/// reported on standard error and counts as not confirmed; a late probe is
/// waited for, and a failure of it leaves the detection. When the calling
/// thread's waits are cancelled, the probe's waits are cancelled too and the
/// probe is joined before the outcome is returned.
ProbeOutcome RunProbe(Probe probe, const char* path, std::chrono::seconds limit) {
    Devices::CancellationToken probe_cancellation;
    std::future<int> task = std::async(std::launch::async, [&probe_cancellation, probe, path] {
        Devices::CancellationScope scope(probe_cancellation);
        return probe(path);
    });
    if (!WaitForProbe(task, std::chrono::steady_clock::now() + limit)) {
        probe_cancellation.Cancel();
        task.wait();
        return ProbeOutcome::Cancelled;
    }
    if (task.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        try {
            return task.get() != kNotConfirmed ? ProbeOutcome::Confirmed
                                               : ProbeOutcome::NotConfirmed;
        } catch (const std::exception& error) {
            std::cerr << error.what() << '\n';
            return ProbeOutcome::NotConfirmed;
        }
    }
    // Late: its answer does not count, but it is waited for. A cancellation
    // now still reaches it.
    if (!WaitForProbe(task, std::chrono::steady_clock::time_point::max())) {
        probe_cancellation.Cancel();
        task.wait();
        return ProbeOutcome::Cancelled;
    }
    task.get();
    return ProbeOutcome::NotConfirmed;
}

/// Probes, one after another, the listed ports whose kind `wanted` accepts.
/// A cancelled detection ends with the ports confirmed before it.
template <typename KindFilter>
std::vector<std::string> Detect(KindFilter wanted, Probe probe, std::chrono::seconds limit) {
    // The list owns the path strings the probe threads read; it outlives them.
    const std::vector<CandidatePort> ports = list_candidate_ports();
    std::vector<std::string> found;
    for (const CandidatePort& port : ports) {
        if (!wanted(port.kind)) {
            continue;
        }
        const ProbeOutcome outcome = RunProbe(probe, port.path.c_str(), limit);
        if (outcome == ProbeOutcome::Cancelled) {
            break;
        }
        if (outcome == ProbeOutcome::Confirmed) {
            found.push_back(port.path);
        }
    }
    return found;
}

/// Opens a stream on `path` for a probe; null when the port does not open
/// (its error line has been written).
std::unique_ptr<IO::SerialStream> OpenProbeStream(const char* path) {
    auto stream = std::make_unique<IO::SerialStream>(path, false);
    if (stream->Open() != 1) {
        return nullptr;
    }
    return stream;
}

} // namespace

int probe_armillar(const char* path) {
    try {
        std::unique_ptr<IO::SerialStream> stream = OpenProbeStream(path);
        if (!stream) {
            return kNotConfirmed;
        }
        uint8_t model = 0;
        {
            // Constructing the arm resets the shared kinematic model, as any
            // construction does. The wakeup sends 0x0A and reads the device
            // info; a missing, short or foreign reply gives model 0.
            Devices::Armillar arm(stream.get());
            model = arm.device_wakeup().device_model_number;
        }
        stream->Close();
        return model == ArmProtocol::kArmillarModelNumber ? kConfirmed : kNotConfirmed;
    } catch (const std::exception& error) {
        std::printf("exception: %s\n", error.what());
        return kNotConfirmed;
    }
}

int probe_handle(const char* path) {
    try {
        std::unique_ptr<IO::SerialStream> stream = OpenProbeStream(path);
        if (!stream) {
            return kNotConfirmed;
        }
        bool found = false;
        {
            MyHandle handle(stream.get());
            handle.SendDeviceWakeup();
            // The payload counts do not matter: a recognised reply code is
            // the handle's answer.
            handle.Receive();
            found = handle.found;
        }
        stream->Close();
        return found ? kConfirmed : kNotConfirmed;
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return kNotConfirmed;
    }
}

bool run_handle_probe(const char* path) {
    return RunProbe(probe_handle, path, kHandleWaitLimit) == ProbeOutcome::Confirmed;
}

std::vector<std::string> detect_armillars() {
    return Detect([](PortKind kind) { return kind == PortKind::Acm; }, probe_armillar,
                  kArmWaitLimit);
}

std::vector<std::string> detect_handles() {
    return Detect([](PortKind) { return true; }, probe_handle, kHandleWaitLimit);
}

std::vector<std::string> detect_wired_handles() {
    return Detect([](PortKind kind) { return kind == PortKind::Usb; }, probe_handle,
                  kHandleWaitLimit);
}

std::vector<std::string> detect_wireless_handles() {
    return Detect([](PortKind kind) { return kind == PortKind::Rfcomm; }, probe_handle,
                  kHandleWaitLimit);
}

} // namespace Torvi::HardwareAPI::Discovery
