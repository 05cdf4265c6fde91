// SPDX-License-Identifier: GPL-3.0-or-later
// The fixture of the tests that run tidewipe-cli: a scratch folder, a settings store and
// a log folder of the test's own (never the user's), the program run with them, and the
// text of every log file it wrote. `Base` is ::testing::Test or a TestWithParam<>.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"

namespace tw::test {

template <class Base = ::testing::Test>
class CliFixture : public Base {
  protected:
    // Call from SetUp through ASSERT_NO_FATAL_FAILURE. `logToFile`: the activity log on.
    void SetUpCli(bool logToFile) {
        ASSERT_TRUE(dir_.Ok());
        config_ = dir_.Path() + "/config";
        logs_ = PrivateLogFolder(config_);
        if (logToFile) {
            ASSERT_EQ(Cli({"settings", "set", "SaveToLogfile", "1"}, nullptr), 0);
        }
    }
    // Runs tidewipe-cli; stdout and stderr into `out`.
    int Cli(std::vector<std::string> args, std::string* out) {
        return RunCliIn(config_, std::move(args), out);
    }
    std::string LogText() const {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(logs_))
            all += ReadFileBytes(e.path().string());
        return all;
    }

    TempDir dir_{"cli"};
    std::string config_, logs_;
};

}  // namespace tw::test
