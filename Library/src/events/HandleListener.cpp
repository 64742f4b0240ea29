#include "Torvi/HardwareAPI/events/HandleListener.hpp"

#include "Torvi/HardwareAPI/devices/Cancellation.hpp"
#include "Torvi/HardwareAPI/devices/Handle.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"
#include "events/HandleEventDecoder.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <system_error>
#include <unordered_set>
#include <utility>

namespace Torvi::HardwareAPI::Events {

namespace {

using Clock = std::chrono::steady_clock;

/// The reader's name, as `ps -L` and /proc/<pid>/task/*/comm show it.
constexpr const char* kThreadName = "torvi-listener";
/// The most bytes taken from the port in one read.
constexpr std::size_t kReadChunk = 4096;
/// Events one read is expected to complete; more only grow the buffer once.
constexpr std::size_t kEventsPerRead = 64;
/// The longest the reader sleeps before it looks at its flags again, should
/// a wake-up ever be missed.
constexpr int kIdleWaitMs = 500;
constexpr double kMillisecondsPerSecond = 1000.0;

constexpr const char* kHungUp = "the handle's port hung up";
constexpr const char* kNotOpen = "the handle's port is not open";
constexpr const char* kFailedBefore = "the handle's stream had failed before the listener started";
constexpr const char* kReadFailed = "reading the handle's port failed: ";
constexpr const char* kWriteFailed = "writing to the handle's port failed";
constexpr const char* kNotRunning = "the listener is not running";

double MonotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool IsStatus(const HandleEvent& event) {
    return std::holds_alternative<Devices::HandleStatusMessage>(event.message) ||
           std::holds_alternative<Devices::HandleStatus>(event.message);
}

int MakeEventFd() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    return fd;
}

void Signal(int fd) {
    const uint64_t one = 1;
    // EAGAIN (the counter is full) still leaves the descriptor readable.
    [[maybe_unused]] const ssize_t put = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(fd, &count, sizeof count);
}

/// The handles that have a listener now. Changed and read under its mutex.
struct Claims {
    std::mutex mutex;
    std::unordered_set<const Devices::Handle*> handles;
};

Claims& TheClaims() {
    // Never destroyed: a listener may stop after the static destructors ran.
    static auto* claims = new Claims();
    return *claims;
}

bool Claim(const Devices::Handle& handle) {
    Claims& claims = TheClaims();
    std::lock_guard<std::mutex> lock(claims.mutex);
    return claims.handles.insert(&handle).second;
}

void Release(const Devices::Handle& handle) {
    Claims& claims = TheClaims();
    std::lock_guard<std::mutex> lock(claims.mutex);
    claims.handles.erase(&handle);
}

} // namespace

EventSignal::EventSignal() : fd_(MakeEventFd()) {}

EventSignal::~EventSignal() { ::close(fd_); }

void EventSignal::Clear() { Drain(fd_); }

void EventSignal::Notify() {
    if (armed_.exchange(false)) {
        Signal(fd_);
    }
}

HandleListener::HandleListener(Devices::Handle& handle, std::size_t maxlen)
    : handle_(handle), capacity_(maxlen), decoder_(std::make_unique<HandleEventDecoder>()) {
    if (maxlen == 0 || maxlen > kMaxMaxlen) {
        throw std::invalid_argument("maxlen must be from 1 to " + std::to_string(kMaxMaxlen));
    }
    ring_.resize(capacity_);
    wake_fd_ = MakeEventFd();
}

HandleListener::~HandleListener() {
    Stop();
    ::close(wake_fd_);
}

bool HandleListener::Listening(const Devices::Handle& handle) {
    Claims& claims = TheClaims();
    std::lock_guard<std::mutex> lock(claims.mutex);
    return claims.handles.count(&handle) != 0;
}

void HandleListener::Start() {
    if (started_) {
        throw std::runtime_error("this listener has run already; make a new one");
    }
    if (handle_.stream == nullptr) {
        throw std::invalid_argument("the handle has no stream to listen to");
    }
    if (!Claim(handle_)) {
        throw std::runtime_error("the handle already has a listener");
    }
    started_ = true;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        finished_ = false;
    }
    {
        std::lock_guard<std::mutex> lock(writes_mutex_);
        writes_closed_ = false;
    }
    running_.store(true);
    try {
        thread_ = std::thread(&HandleListener::Run, this);
    } catch (...) {
        Finish();
        throw;
    }
}

void HandleListener::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    stop_requested_.store(true);
    Wake();
    thread_.join();
}

void HandleListener::Wake() { Signal(wake_fd_); }

void HandleListener::Run() {
    pthread_setname_np(pthread_self(), kThreadName);
    std::vector<uint8_t> chunk(kReadChunk);
    std::vector<HandleEvent> decoded;
    decoded.reserve(kEventsPerRead);
    IO::SerialStream& port = *handle_.stream;
    // A failed stream stays failed: every read and write on it would fail.
    if (!port.good()) {
        Fail(kFailedBefore);
    }
    while (!stop_requested_.load() && port.good() && MakeWrites()) {
        const IO::SerialStream::InputReady ready = port.WaitInput(wake_fd_, WaitTimeoutMs());
        if (ready.woken) {
            Drain(wake_fd_);
        }
        if (!port.IsOpen()) {
            Fail(kNotOpen);
            break;
        }
        if (ready.port) {
            if (!ReadQueued(chunk, decoded)) {
                break;
            }
        } else if (decoder_->Incomplete() &&
                   MonotonicSeconds() - decoder_->IncompleteSince() >=
                       std::chrono::duration<double>(kIncompleteAfter).count()) {
            decoder_->DropIncomplete();
            skipped_.store(decoder_->Skipped());
        }
    }
    Finish();
}

int HandleListener::WaitTimeoutMs() const {
    if (!decoder_->Incomplete()) {
        return kIdleWaitMs;
    }
    const double left = std::chrono::duration<double>(kIncompleteAfter).count() -
                        (MonotonicSeconds() - decoder_->IncompleteSince());
    return std::clamp(static_cast<int>(std::ceil(left * kMillisecondsPerSecond)), 0, kIdleWaitMs);
}

bool HandleListener::ReadQueued(std::vector<uint8_t>& chunk, std::vector<HandleEvent>& decoded) {
    IO::SerialStream& port = *handle_.stream;
    const int queued = port.Available();
    if (queued <= 0) {
        // Readable with nothing to read: the line has hung up (or failed).
        Fail(kHungUp);
        return false;
    }
    const std::size_t wanted = std::min(static_cast<std::size_t>(queued), chunk.size());
    port.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(wanted));
    const double time = MonotonicSeconds();
    if (!port.good()) {
        Fail(kReadFailed + std::string(std::strerror(errno)));
        return false;
    }
    decoded.clear();
    decoder_->Feed(chunk.data(), static_cast<std::size_t>(port.gcount()), time, decoded);
    skipped_.store(decoder_->Skipped());
    if (!decoded.empty()) {
        Publish(decoded);
    }
    return true;
}

void HandleListener::Publish(const std::vector<HandleEvent>& events) {
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        for (const HandleEvent& event : events) {
            if (size_ == capacity_) {
                head_ = (head_ + 1) % capacity_;
                --size_;
                ++dropped_;
            }
            ring_[(head_ + size_) % capacity_] = event;
            ++size_;
            if (IsStatus(event)) {
                latest_ = event;
            }
            for (const auto& tap : taps_) {
                tap->Push(event);
            }
        }
        for (const auto& signal : signals_) {
            signal->Notify();
        }
    }
    queue_changed_.notify_all();
}

bool HandleListener::MakeWrites() {
    std::deque<Write> asked;
    {
        std::lock_guard<std::mutex> lock(writes_mutex_);
        asked.swap(writes_);
    }
    for (const Write& write : asked) {
        switch (write.kind) {
        case Write::Kind::Status:
            handle_.RequestStatus();
            decoder_->ExpectStatusFrame();
            break;
        case Write::Kind::Wakeup:
            handle_.SendDeviceWakeup();
            break;
        case Write::Kind::State:
            handle_.SendHandleState(write.device_id, static_cast<uint8_t>(write.user_data.size()),
                                    write.user_data.data());
            break;
        }
        if (!handle_.stream->good()) {
            Fail(kWriteFailed);
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(writes_mutex_);
            ++writes_made_;
        }
        writes_changed_.notify_all();
    }
    return true;
}

void HandleListener::Fail(std::string reason) {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (!error_) {
        error_ = std::move(reason);
    }
}

void HandleListener::Finish() {
    Release(handle_);
    running_.store(false);
    {
        std::lock_guard<std::mutex> lock(writes_mutex_);
        writes_closed_ = true;
        writes_.clear();
    }
    writes_changed_.notify_all();
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        finished_ = true;
        for (const auto& signal : signals_) {
            signal->Notify();
        }
    }
    queue_changed_.notify_all();
}

template <typename Predicate>
bool HandleListener::WaitCancellably(std::unique_lock<std::mutex>& lock,
                                     std::condition_variable& changed,
                                     std::optional<Clock::time_point> deadline, Predicate done) {
    while (!done()) {
        Clock::time_point until = Clock::now() + Devices::CancellationPoll::kInterval;
        if (deadline) {
            if (Clock::now() >= *deadline) {
                return true;
            }
            until = std::min(until, *deadline);
        }
        changed.wait_until(lock, until);
        if (done()) {
            break;
        }
        // A cancellation check may take other locks (the interpreter's, to
        // look for signals): never while holding this one.
        lock.unlock();
        const bool cancelled = Devices::CancellationRequested();
        lock.lock();
        if (cancelled) {
            return false;
        }
    }
    return true;
}

HandleListener::Taken HandleListener::Next(HandleEvent& event,
                                           std::optional<std::chrono::duration<double>> timeout) {
    std::optional<Clock::time_point> deadline;
    // A time-out the clock cannot count to is no limit (and its conversion
    // would overflow).
    if (timeout && timeout->count() < kLongestTimeoutSeconds) {
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(*timeout);
    }
    std::unique_lock<std::mutex> lock(queue_mutex_);
    const bool waited =
        WaitCancellably(lock, queue_changed_, deadline, [this] { return size_ > 0 || finished_; });
    if (size_ > 0) {
        event = ring_[head_];
        head_ = (head_ + 1) % capacity_;
        --size_;
        return Taken::Event;
    }
    if (!waited) {
        return Taken::Cancelled;
    }
    return finished_ ? Taken::Ended : Taken::TimedOut;
}

std::optional<HandleEvent> HandleListener::Latest() const {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    return latest_;
}

std::uint64_t HandleListener::Dropped() const {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    return dropped_;
}

std::optional<std::string> HandleListener::Error() const {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    return error_;
}

void HandleListener::Ask(Write write) {
    std::unique_lock<std::mutex> lock(writes_mutex_);
    if (writes_closed_) {
        throw std::runtime_error(kNotRunning);
    }
    writes_.push_back(std::move(write));
    const std::uint64_t mine = ++writes_asked_;
    Wake();
    const bool waited = WaitCancellably(lock, writes_changed_, std::nullopt,
                                        [&] { return writes_made_ >= mine || writes_closed_; });
    if (!waited || writes_made_ >= mine) {
        return;
    }
    lock.unlock();
    const std::optional<std::string> error = Error();
    throw std::runtime_error(error ? *error : "the listener stopped before the write was made");
}

void HandleListener::RequestStatus() { Ask(Write{Write::Kind::Status, 0, {}}); }

void HandleListener::SendDeviceWakeup() { Ask(Write{Write::Kind::Wakeup, 0, {}}); }

void HandleListener::SendHandleState(uint16_t device_id, std::vector<uint8_t> user_data) {
    if (user_data.size() > Devices::HandleProtocol::kMaxUserDataLength) {
        throw std::invalid_argument(
            "user_data holds " + std::to_string(user_data.size()) + " bytes; at most " +
            std::to_string(Devices::HandleProtocol::kMaxUserDataLength) + " fit a HandleState");
    }
    Ask(Write{Write::Kind::State, device_id, std::move(user_data)});
}

void HandleListener::Watch(const std::shared_ptr<EventSignal>& signal) {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    signals_.push_back(signal);
}

void HandleListener::Unwatch(const std::shared_ptr<EventSignal>& signal) {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    signals_.erase(std::remove(signals_.begin(), signals_.end(), signal), signals_.end());
}

std::shared_ptr<EventTap> HandleListener::Tap(std::size_t maxlen) {
    auto tap = std::make_shared<EventTap>(maxlen);
    std::lock_guard<std::mutex> lock(queue_mutex_);
    taps_.push_back(tap);
    return tap;
}

void HandleListener::Untap(const std::shared_ptr<EventTap>& tap) {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    taps_.erase(std::remove(taps_.begin(), taps_.end(), tap), taps_.end());
}

} // namespace Torvi::HardwareAPI::Events
