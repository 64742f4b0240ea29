#include "Torvi/HardwareAPI/devices/Cancellation.hpp"

#include <utility>

namespace Torvi::HardwareAPI::Devices {

namespace {

/// The innermost live scope of this thread; each scope links to the one it
/// was made inside.
thread_local CancellationScope* innermost_scope = nullptr;

} // namespace

CancellationScope::CancellationScope(const CancellationToken& token)
    : token_(&token), outer_(innermost_scope) {
    innermost_scope = this;
}

CancellationScope::CancellationScope(std::function<bool()> check)
    : check_(std::move(check)), outer_(innermost_scope) {
    innermost_scope = this;
}

CancellationScope::~CancellationScope() { innermost_scope = outer_; }

bool CancellationRequested() {
    for (const CancellationScope* scope = innermost_scope; scope != nullptr;
         scope = scope->outer_) {
        if (scope->token_ != nullptr && scope->token_->IsCancelled()) {
            return true;
        }
        if (scope->check_ && scope->check_()) {
            return true;
        }
    }
    return false;
}

bool CancellationPoll::Cancelled() {
    if (innermost_scope == nullptr) {
        return false;
    }
    const Clock::time_point now = Clock::now();
    if (now < next_check_) {
        return false;
    }
    next_check_ = now + kInterval;
    return CancellationRequested();
}

} // namespace Torvi::HardwareAPI::Devices
