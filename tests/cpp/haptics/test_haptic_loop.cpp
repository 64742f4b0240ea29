// The loop's per-cycle hook as an effect with state sees it: a restart
// notice at each start and when it joins a running loop, and the cycle's
// time step and time since the start. And the loop's thread never frees an
// effect, whoever drops the last reference to it.

#include "Torvi/HardwareAPI/devices/Armillar.hpp"
#include "Torvi/HardwareAPI/haptics/HapticLoop.hpp"
#include "Torvi/HardwareAPI/serial/SerialStream.hpp"

#include "support/PtyTest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace Torvi::HardwareAPI;
using Haptics::CycleInput;

constexpr std::size_t kForceRequestLength = 13;
constexpr std::uint8_t kStateReply = 0x2B;
constexpr std::size_t kStateLength = 24;

/// Counts what the loop's thread hands it; read after the loop has stopped.
class RecordingEffect final : public Haptics::Effect {
public:
    static constexpr std::size_t kKept = 4096;

    Haptics::Vector3 Force(const Haptics::Vector3&, const Haptics::Vector3&) const override {
        return {};
    }
    void Restart() override {
        restarts.fetch_add(1);
        if (renders < kKept) restarted_at[renders] = true;
    }
    Haptics::Vector3 Render(const CycleInput& cycle) override {
        const std::size_t at = renders.load();
        if (at < kKept) cycles[at] = cycle;
        renders.store(at + 1);
        return {};
    }

    std::atomic<int> restarts{0};
    std::atomic<std::size_t> renders{0};
    std::array<CycleInput, kKept> cycles{};
    std::array<bool, kKept> restarted_at{};
};

/// Answers every force request on the pty's master at once.
class Responder {
public:
    explicit Responder(const TorviTest::PtyPair& pty)
        : thread([this, &pty] {
              std::vector<std::uint8_t> reply(1 + kStateLength, 0);
              reply[0] = kStateReply;
              while (!done.load()) {
                  if (pty.Read(kForceRequestLength, std::chrono::milliseconds(20)).size() ==
                      kForceRequestLength) {
                      pty.Write(reply);
                  }
              }
          }) {}
    ~Responder() {
        done.store(true);
        thread.join();
    }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

private:
    std::atomic<bool> done{false};
    std::thread thread;
};

void WaitForRenders(const RecordingEffect& effect, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (effect.renders.load() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(effect.renders.load(), count);
}

class HapticLoopHook : public TorviTest::StreamOnPtyTest {};

TEST_F(HapticLoopHook, RestartsAtEachStartAndOnJoiningAndCountsTime) {
    if (IsSkipped()) return;
    Responder responder(*pty);
    Devices::Armillar arm(stream.get());
    auto effect = std::make_shared<RecordingEffect>();
    Haptics::HapticLoop loop(arm, 1000.0, 1.0f);
    loop.Add(effect);
    loop.Start();
    WaitForRenders(*effect, 5);
    loop.Remove(effect);
    const std::size_t before_rejoining = effect->renders.load();
    loop.Add(effect);
    WaitForRenders(*effect, before_rejoining + 5);
    loop.Stop();
    const std::size_t first_run = effect->renders.load();
    loop.Start();
    WaitForRenders(*effect, first_run + 5);
    loop.Stop();

    const std::size_t renders = effect->renders.load();
    ASSERT_LT(renders, RecordingEffect::kKept);
    EXPECT_EQ(effect->restarts.load(), 3);
    EXPECT_TRUE(effect->restarted_at[0]);
    EXPECT_TRUE(effect->restarted_at[first_run]);
    EXPECT_EQ(std::count(effect->restarted_at.begin(), effect->restarted_at.end(), true), 3);
    for (std::size_t i = 1; i < renders; ++i) {
        const CycleInput& cycle = effect->cycles[i];
        EXPECT_GT(cycle.step_s, 0.0) << "cycle " << i;
        if (!effect->restarted_at[i]) {
            // Within a run the time since the start grows by each step.
            EXPECT_NEAR(cycle.since_start_s - effect->cycles[i - 1].since_start_s, cycle.step_s,
                        1e-9)
                << "cycle " << i;
        }
    }
    EXPECT_LT(effect->cycles[first_run].since_start_s, effect->cycles[first_run - 1].since_start_s)
        << "a new run counts its time from its own start";
}

/// Where each effect of this kind was destroyed, and the thread that
/// rendered it. Each render takes a while, so that the loop's thread holds
/// its list of effects most of the time.
struct Destructions {
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    std::atomic<std::thread::id> loop_thread{};
};

class SlowEffect final : public Haptics::Effect {
public:
    explicit SlowEffect(Destructions& log) : log_(log) {}
    ~SlowEffect() override {
        std::lock_guard<std::mutex> lock(log_.mutex);
        log_.threads.push_back(std::this_thread::get_id());
    }
    SlowEffect(const SlowEffect&) = delete;
    SlowEffect& operator=(const SlowEffect&) = delete;

    Haptics::Vector3 Force(const Haptics::Vector3&, const Haptics::Vector3&) const override {
        return {};
    }
    Haptics::Vector3 Render(const CycleInput&) override {
        log_.loop_thread.store(std::this_thread::get_id());
        rendered.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        return {};
    }

    std::atomic<bool> rendered{false};

private:
    Destructions& log_;
};

TEST_F(HapticLoopHook, NeverFreesAnEffectOnItsThread) {
    if (IsSkipped()) return;
    constexpr int kEffects = 20;
    Responder responder(*pty);
    Devices::Armillar arm(stream.get());
    Destructions log;
    {
        Haptics::HapticLoop loop(arm, std::nullopt, 1.0f);
        loop.Start();
        for (int i = 0; i < kEffects; ++i) {
            auto effect = std::make_shared<SlowEffect>(log);
            loop.Add(effect);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!effect->rendered.load() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            ASSERT_TRUE(effect->rendered.load());
            // Removed while the loop's thread is most likely inside its
            // render, then dropped here: the loop holds the last reference.
            loop.Remove(effect);
            effect.reset();
        }
    }
    ASSERT_EQ(log.threads.size(), static_cast<std::size_t>(kEffects)) << "every effect freed";
    const std::thread::id loop_thread = log.loop_thread.load();
    EXPECT_EQ(std::count(log.threads.begin(), log.threads.end(), loop_thread), 0)
        << "effects freed on the loop's thread";
    EXPECT_EQ(std::count(log.threads.begin(), log.threads.end(), std::this_thread::get_id()),
              kEffects);
}

} // namespace
