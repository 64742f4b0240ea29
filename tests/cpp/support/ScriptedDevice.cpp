#include "support/ScriptedDevice.hpp"

namespace TorviTest {

namespace {
// How long a row waits for its request; longer than any host wait under test.
constexpr std::chrono::milliseconds kRequestWait{8000};
} // namespace

ScriptedDevice::ScriptedDevice(const PtyPair& pty_, std::vector<ScriptRow> rows_)
    : pty(pty_), rows(std::move(rows_)), player([this] { Play(); }) {}

ScriptedDevice::~ScriptedDevice() {
    if (player.joinable()) player.join();
}

void ScriptedDevice::Play() {
    for (const auto& row : rows) {
        auto got = pty.Read(row.request.size(), kRequestWait);
        const bool complete = got.size() == row.request.size();
        received.push_back(std::move(got));
        if (!complete) return;
        if (row.delay.count() > 0) std::this_thread::sleep_for(row.delay);
        pty.Write(row.reply);
    }
}

std::vector<std::vector<uint8_t>> ScriptedDevice::Finish() {
    if (player.joinable()) player.join();
    return received;
}

} // namespace TorviTest
