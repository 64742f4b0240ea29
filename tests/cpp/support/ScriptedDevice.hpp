#pragma once

// A device played from a script on the master side of a pty: for each row it
// reads the request the host should send, waits, then writes the reply. The
// bytes the host actually sent are kept for the test to compare.

#include "support/PtyPair.hpp"

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace TorviTest {

struct ScriptRow {
    std::vector<uint8_t> request;       ///< bytes the host is expected to send first
    std::vector<uint8_t> reply;         ///< bytes the device answers with
    std::chrono::milliseconds delay{0}; ///< pause between request and reply
};

class ScriptedDevice {
public:
    ScriptedDevice(const PtyPair& pty, std::vector<ScriptRow> rows);
    /// Joins the player; rows whose request never came are left unplayed.
    ~ScriptedDevice();

    /// Waits for the player to finish and returns, row by row, the bytes the
    /// host sent where each row expected its request.
    std::vector<std::vector<uint8_t>> Finish();

private:
    void Play();

    const PtyPair& pty;
    std::vector<ScriptRow> rows;
    std::vector<std::vector<uint8_t>> received;
    std::thread player;
};

} // namespace TorviTest
