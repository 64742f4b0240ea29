// The listener's decoder on any bytes, cut into reads anywhere: byte 0 says
// how many status requests were written before (low two bits) and where the
// reads are cut (the rest seeds the cuts). The events, their kinds and the
// skipped count must not depend on how the bytes were cut, and every byte is
// either part of an event, skipped, or held for the next read.

#include "events/HandleEventDecoder.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI;
using Events::HandleEvent;
using Events::HandleEventDecoder;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

struct Outcome {
    std::vector<std::size_t> kinds;
    std::vector<double> times;
    std::uint64_t skipped = 0;
    bool incomplete = false;
};

Outcome Decode(const uint8_t* bytes, std::size_t n, unsigned frames, unsigned cut_seed) {
    HandleEventDecoder decoder;
    for (unsigned i = 0; i < frames; ++i)
        decoder.ExpectStatusFrame();
    std::vector<HandleEvent> events;
    std::size_t at = 0;
    double time = 0.0;
    unsigned seed = cut_seed;
    while (at < n) {
        // Each read takes 1 to 16 bytes when cut, everything otherwise.
        std::size_t take = cut_seed == 0 ? n : 1 + seed % 16;
        seed = seed * 1103515245u + 12345u;
        if (take > n - at) take = n - at;
        decoder.Feed(bytes + at, take, time, events);
        at += take;
        time += 1.0;
    }
    Outcome outcome;
    for (const HandleEvent& event : events) {
        outcome.kinds.push_back(event.message.index());
        outcome.times.push_back(event.time);
    }
    outcome.skipped = decoder.Skipped();
    outcome.incomplete = decoder.Incomplete();
    decoder.DropIncomplete();
    if (decoder.Incomplete()) Fail("bytes held after DropIncomplete");
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned frames = data[0] & 0x03;
    const unsigned cut_seed = data[0] >> 2;
    const Outcome whole = Decode(data + 1, size - 1, frames, 0);
    const Outcome cut = Decode(data + 1, size - 1, frames, cut_seed | 1);
    if (whole.kinds != cut.kinds) Fail("the events depend on how the reads were cut");
    if (whole.skipped != cut.skipped) Fail("the skipped count depends on the cuts");
    if (whole.incomplete != cut.incomplete) Fail("the held bytes depend on the cuts");
    for (std::size_t i = 1; i < cut.times.size(); ++i) {
        if (cut.times[i] < cut.times[i - 1]) Fail("event times go backwards");
    }
    if (whole.skipped > size - 1) Fail("more bytes skipped than given");
    return 0;
}
