#pragma once

#include <gtest/gtest.h>

#include <string>

/// Names each case of a parametrised test after its `name` member, for
/// INSTANTIATE_TEST_SUITE_P: ctest then lists "Suite/Test.Name/ModelFour"
/// instead of the case's raw bytes.
struct CaseName {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return std::string(info.param.name);
    }
};
