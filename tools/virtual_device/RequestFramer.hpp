#pragma once

// Splits the byte stream from the host into whole requests. Requests may
// arrive split over several reads or several in one read; a byte that opens
// no request is skipped, as a device that lost track would.

#include "DeviceModel.hpp"

#include <cstddef>
#include <optional>

namespace Torvi::VirtualDevice {

class RequestFramer {
public:
    explicit RequestFramer(const DeviceModel& model) : model(model) {}

    void Feed(const uint8_t* data, std::size_t n);

    /// The next whole request, or nothing until more bytes arrive.
    std::optional<Bytes> Next();

    /// Bytes skipped because they opened no request.
    std::size_t SkippedBytes() const { return skipped; }

    /// Forgets a partial request (the host that sent it has gone).
    void Clear() { pending.clear(); }

private:
    const DeviceModel& model;
    Bytes pending;
    std::size_t skipped = 0;
};

} // namespace Torvi::VirtualDevice
