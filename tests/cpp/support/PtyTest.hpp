#pragma once

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

} // namespace TorviTest
