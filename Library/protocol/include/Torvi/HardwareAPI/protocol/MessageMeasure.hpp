#pragma once

// How a reader that cuts a byte stream into messages sees the bytes at the
// front of its input: one whole message of a known length, the start of one
// whose bytes have not all arrived, or a byte that starts none. Both
// directions use it: the virtual devices to frame requests, the host's
// listener to frame replies.

#include <cstddef>

namespace Torvi::HardwareAPI::Wire {

/// The length of the message at the front of the pending input.
struct MessageMeasure {
    enum class Kind {
        Complete, ///< `length` bytes form one message
        NeedMore, ///< a known message whose bytes have not all arrived
        Unknown,  ///< the first byte opens no message; the reader skips it
    };
    Kind kind = Kind::Unknown;
    std::size_t length = 0;

    static MessageMeasure Complete(std::size_t n) { return {Kind::Complete, n}; }
    static MessageMeasure NeedMore() { return {Kind::NeedMore, 0}; }
    static MessageMeasure Unknown() { return {Kind::Unknown, 0}; }
};

} // namespace Torvi::HardwareAPI::Wire
