#include "Torvi/HardwareAPI/events/EventTap.hpp"

#include "Torvi/HardwareAPI/events/HandleListener.hpp"

#include <stdexcept>
#include <string>

namespace Torvi::HardwareAPI::Events {

EventTap::EventTap(std::size_t maxlen) {
    if (maxlen == 0 || maxlen > HandleListener::kMaxMaxlen) {
        throw std::invalid_argument("maxlen must be from 1 to " +
                                    std::to_string(HandleListener::kMaxMaxlen));
    }
    ring_.resize(maxlen);
}

void EventTap::Push(const HandleEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (size_ == ring_.size()) {
        head_ = (head_ + 1) % ring_.size();
        --size_;
        ++dropped_;
    }
    ring_[(head_ + size_) % ring_.size()] = event;
    ++size_;
}

std::size_t EventTap::TakeAll(std::vector<HandleEvent>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t taken = size_;
    for (; size_ > 0; --size_) {
        out.push_back(ring_[head_]);
        head_ = (head_ + 1) % ring_.size();
    }
    return taken;
}

std::uint64_t EventTap::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

} // namespace Torvi::HardwareAPI::Events
