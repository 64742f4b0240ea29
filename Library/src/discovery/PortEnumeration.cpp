#include "Torvi/HardwareAPI/discovery/PortEnumeration.hpp"

#include <array>
#include <utility>

namespace Torvi::HardwareAPI::Discovery {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDeviceDirectory = "/dev";

// Tried in this order; the first key found decides.
constexpr std::array<std::pair<const char*, PortKind>, 3> kNameKeys{{
    {"ttyACM", PortKind::Acm},
    {"ttyUSB", PortKind::Usb},
    {"rfcomm", PortKind::Rfcomm},
}};

} // namespace

std::optional<PortKind> KindOfName(const std::string& file_name) {
    for (const auto& [key, kind] : kNameKeys) {
        if (file_name.find(key) != std::string::npos) {
            return kind;
        }
    }
    return std::nullopt;
}

std::vector<CandidatePort> list_candidate_ports_in(const fs::path& directory) {
    // Throws for every failure but non-existence.
    const fs::file_status status = fs::status(directory);
    if (status.type() == fs::file_type::not_found || status.type() == fs::file_type::none) {
        return {};
    }
    std::vector<CandidatePort> ports;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        const std::optional<PortKind> kind = KindOfName(entry.path().filename().string());
        if (!kind) {
            continue;
        }
        // Only the entry's own name decides the kind; the link target's name
        // plays no part. A dangling link throws here, failing the listing.
        ports.push_back({fs::canonical(entry.path()).string(), *kind});
    }
    return ports;
}

std::vector<CandidatePort> list_candidate_ports() {
    return list_candidate_ports_in(kDeviceDirectory);
}

} // namespace Torvi::HardwareAPI::Discovery
