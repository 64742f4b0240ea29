#include "RequestFramer.hpp"

namespace Torvi::VirtualDevice {

void RequestFramer::Feed(const uint8_t* data, std::size_t n) {
    pending.insert(pending.end(), data, data + n);
}

std::optional<Bytes> RequestFramer::Next() {
    while (!pending.empty()) {
        const RequestMeasure measure = model.Measure(pending.data(), pending.size());
        switch (measure.kind) {
        case RequestMeasure::Kind::Unknown:
            pending.erase(pending.begin());
            ++skipped;
            continue;
        case RequestMeasure::Kind::NeedMore:
            return std::nullopt;
        case RequestMeasure::Kind::Complete: {
            if (measure.length > pending.size()) return std::nullopt;
            Bytes request(pending.begin(),
                          pending.begin() + static_cast<std::ptrdiff_t>(measure.length));
            pending.erase(pending.begin(),
                          pending.begin() + static_cast<std::ptrdiff_t>(measure.length));
            return request;
        }
        }
    }
    return std::nullopt;
}

} // namespace Torvi::VirtualDevice
