#pragma once

#include "Torvi/HardwareAPI/serial/SerialStream.hpp"
#include "support/PtyPair.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace TorviTest {

/// Base fixture for tests that play a device on a pty. A machine without
/// ptys skips the test instead of failing it. Derived fixtures call
/// PtyTest::SetUp() first and return when IsSkipped().
class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        try {
            pty = std::make_unique<PtyPair>();
        } catch (const std::exception& error) {
            GTEST_SKIP() << error.what();
        }
    }

    std::unique_ptr<PtyPair> pty;
};

/// A PtyTest whose SerialStream is open on the slave. Derived fixtures put
/// their device on `stream` in OpenDevice(), which runs only when the test
/// is not skipped.
class StreamOnPtyTest : public PtyTest {
protected:
    void SetUp() override {
        PtyTest::SetUp();
        if (IsSkipped()) return;
        stream =
            std::make_unique<Torvi::HardwareAPI::IO::SerialStream>(pty->slave_path().c_str(), true);
        OpenDevice();
    }

    virtual void OpenDevice() {}

    std::unique_ptr<Torvi::HardwareAPI::IO::SerialStream> stream;
};

} // namespace TorviTest
