#pragma once

#include <atomic>
#include <chrono>
#include <functional>

namespace Torvi::HardwareAPI::Devices {

/// A request, raised from any thread, to end the waits of another thread
/// early. It stays raised until `Reset`.
class CancellationToken {
public:
    /// Ends, within one check interval, every wait of the threads that
    /// watch this token; safe to call from any thread, any number of times.
    void Cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }

    /// Lowers the request, so that the next waits run to their end again.
    void Reset() noexcept { cancelled_.store(false, std::memory_order_relaxed); }

    bool IsCancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> cancelled_{false};
};

/// While alive, the waits of the thread that made it (header code, payload,
/// the handle's status search, a detection's wait for its probe) also end
/// when `token` is raised, or when `check` returns true. Scopes nest: a wait
/// ends when any live scope of its thread asks for it. A scope is made and
/// destroyed on the same thread; the token (or whatever `check` reads) must
/// outlive it.
///
/// A cancelled wait ends like a failed one, without an error line: the
/// operation returns its usual failure value (0 from a wait, the zero or
/// unchanged fallback from a device operation, the ports found so far from a
/// detection). Without a scope, or while none asks, waits run exactly as
/// they would without this class.
class CancellationScope {
public:
    explicit CancellationScope(const CancellationToken& token);
    explicit CancellationScope(std::function<bool()> check);
    ~CancellationScope();

    CancellationScope(const CancellationScope&) = delete;
    CancellationScope& operator=(const CancellationScope&) = delete;

private:
    const CancellationToken* token_ = nullptr;
    std::function<bool()> check_;
    CancellationScope* outer_;
    friend bool CancellationRequested();
};

/// True when a live scope of the calling thread asks its waits to end. Each
/// call runs every check function of the thread's scopes, so waits call it at
/// the coarse pace of `CancellationPoll`, not on every pass.
bool CancellationRequested();

/// The cancellation check of one wait, at most once per `kInterval`: cheap
/// enough for a busy poll (one clock read per pass), fine enough that a
/// cancelled wait ends within tens of milliseconds.
class CancellationPoll {
public:
    static constexpr std::chrono::milliseconds kInterval{20};

    /// True once cancellation has been asked for at one of the checks.
    bool Cancelled();

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point next_check_ = Clock::now() + kInterval;
};

} // namespace Torvi::HardwareAPI::Devices
