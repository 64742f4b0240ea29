#include "ReplyFeed.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace TorviFuzz {

namespace {
// The terminal moves written bytes to the reader's queue asynchronously;
// this is far more than it ever takes.
constexpr std::chrono::seconds kDeliveryLimit{2};
} // namespace

void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

ReplyFeed::ReplyFeed(const uint8_t* input, std::size_t size, const std::vector<uint8_t>& padding)
    : input_size(std::min(size, kMaxInput)) {
    std::vector<uint8_t> feed(input, input + input_size);
    feed.insert(feed.end(), padding.begin(), padding.end());
    total = feed.size();
    serial = std::make_unique<Torvi::HardwareAPI::IO::SerialStream>(pty.slave_path().c_str(), true);
    pty.Write(feed);
    const auto deadline = std::chrono::steady_clock::now() + kDeliveryLimit;
    while (static_cast<std::size_t>(serial->Available()) < total) {
        if (std::chrono::steady_clock::now() > deadline) {
            Fail("the terminal did not deliver the whole feed");
        }
    }
}

std::size_t ReplyFeed::Consumed() {
    // Everything was queued before the host started, so what is missing from
    // the queue is what the host has read.
    return total - static_cast<std::size_t>(serial->Available());
}

std::vector<uint8_t> ReplyFeed::TakeHostBytes(std::size_t expected) {
    std::vector<uint8_t> out = TakeHostBytes();
    const auto deadline = std::chrono::steady_clock::now() + kDeliveryLimit;
    while (out.size() < expected && std::chrono::steady_clock::now() < deadline) {
        const std::vector<uint8_t> more = TakeHostBytes();
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

std::vector<uint8_t> ReplyFeed::TakeHostBytes() {
    std::vector<uint8_t> out;
    for (;;) {
        pollfd p{pty.master(), POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return out;
        uint8_t chunk[256];
        const ssize_t got = ::read(pty.master(), chunk, sizeof chunk);
        if (got <= 0) return out;
        out.insert(out.end(), chunk, chunk + got);
    }
}

} // namespace TorviFuzz
