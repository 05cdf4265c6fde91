// SPDX-License-Identifier: GPL-3.0-or-later
// What the clean-up run tests share: a private settings store and log folder, a
// recording sink, and the log's lines without their time stamps.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cleanup/cleanup_run.h"
#include "log/activity_log.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"

namespace tw::test {

class CleanupFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Ok());
        setenv("TIDEWIPE_CONFIG_HOME", (dir.Path() + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir.Path() + "/data").c_str(), 1);
        setenv("TIDEWIPE_POWEROFF_COMMAND", "false", 1);  // never the real power-off
        store = std::make_unique<RegistryStore>(dir.Path() + "/registry.db");
        settings = std::make_unique<Settings>(*store);
        settings->SetProgramFolder(dir.Path() + "/");
        log.SetFolder(dir.Path());
        run = std::make_unique<wipe::CCleanupRun>(*settings);
        run->settle = std::chrono::milliseconds(0);
        run->passCount = 1;
        run->hooks.driveStarted = [this](const wipe::CleanupDrive& d) {
            events.push_back("drive " + d.text);
        };
    }

    // A run in `op` as a front end does it: the failure texts the summary asks for,
    // then the countdown when a shutdown is due.
    wipe::CleanupSummary Start(uint32_t code) {
        wipe::CleanupSummary s = run->Start(op, code);
        for (const auto& d : s.drives)
            if (d.freeSpaceFailure != wipe::FreeSpaceFailure::None)
                messages.emplace_back(wipe::FreeSpaceFailureText(d.freeSpaceFailure));
        run->Shutdown(s, [this](wipe::CProceedCancelDialog& d) {
            events.push_back("countdown");
            return wipe::RunCountdown(
                d,
                [this](const wipe::CProceedCancelDialog& x) {
                    countdownTexts.push_back(x.StaticText());
                },
                [this](int ms) {
                    EXPECT_EQ(ms, 1000);  // a second per tick
                    return cancelCountdown;
                });
        });
        return s;
    }

    // The log's records without "hh:mm:ss -> ".
    std::vector<std::string> LogLines() {
        std::vector<std::string> lines;
        std::istringstream text(ReadFileBytes(log.GetTodaysFileName()));
        for (std::string line; std::getline(text, line);) {
            while (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > 12 && line.compare(8, 4, " -> ") == 0)
                lines.push_back(line.substr(12));
        }
        return lines;
    }
    // Index of the first line at or after `from` that begins with `prefix`, or -1.
    static int Find(const std::vector<std::string>& lines, const std::string& prefix,
                    int from = 0) {
        for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
        return -1;
    }
    static int Count(const std::vector<std::string>& lines, const std::string& prefix) {
        int n = 0;
        for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    // Checks that the prefixes occur in this order (each after the previous).
    static void ExpectInOrder(const std::vector<std::string>& lines,
                              const std::vector<std::string>& prefixes) {
        int at = 0;
        for (const auto& p : prefixes) {
            const int found = Find(lines, p, at);
            ASSERT_GE(found, 0) << "missing (in order): " << p;
            at = found + 1;
        }
    }

    TempDir dir{"cleanup"};
    std::unique_ptr<RegistryStore> store;
    std::unique_ptr<Settings> settings;
    log::CActivityLogFile log;
    RecordingSink sink;
    TestOperation op{&sink, &log};
    std::unique_ptr<wipe::CCleanupRun> run;
    std::vector<std::string> messages, events, countdownTexts;
    bool cancelCountdown = false;
};

}  // namespace tw::test
