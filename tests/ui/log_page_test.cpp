// SPDX-License-Identifier: GPL-3.0-or-later
// The log page in the window, against log files on disk and lines tidewipe-cli writes
// through the private session bus.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <filesystem>
#include <thread>

#include "controls/placeholder_view.h"
#include "log/ui/activity_log_page.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "shell/ui/main_window.h"
#include "shell/ui/operation_runner.h"
#include "shell/ui/ui_text.h"
#include "tests/common/run_cli.h"
#include "tests/shell/test_env.h"
#include "tests/ui/ui_test_util.h"

namespace {

using tw::log::ui::CActivityLogPage;
using tw::test::Pump;
using tw::ui::MainWindow;

// Writes `text` to `path` with a last-write time `daysAgo` days back.
void WriteAged(const std::string& path, const std::string& text, int daysAgo) {
    EXPECT_TRUE(tw::test::WriteFileBytes(path, text));
    const time_t t = time(nullptr) - daysAgo * 86400;
    struct timespec times[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// A log file of exactly `size` bytes: `head`, then records "line N" (the last one
// padded) ending in CR CR LF.
void WriteLog(const std::string& path, size_t size, const std::string& head, int daysAgo) {
    std::string s = head;
    for (int n = 1; s.size() + 40 < size; ++n)
        s += "14:31:07 -> line " + std::to_string(n) + "\r\r\n";
    s.insert(s.size() - 3, size - s.size(), 'x');
    WriteAged(path, s, daysAgo);
}

TEST(LogPage, TailRuleLiveFollowingAndEraseAllLogFiles) {
    TW_REQUIRE_BUS();
    tw::test::TestWorld world;
    ASSERT_TRUE(world.Ok());
    tw::test::RecordingMessages messages;
    tw::test::TestPanel panel(world);
    MainWindow& window = panel.Open();
    tw::RegistryStore& store = *panel.store;
    auto cli = [&world](std::vector<std::string> args) {
        std::string out;
        return tw::test::RunCliIn(world.Sub("cfg"), std::move(args), &out);
    };
    ASSERT_EQ(cli({"settings", "set", "NumOverwrites", "7"}), 0);
    ASSERT_EQ(cli({"log", "write", "first line of today"}), 0);

    const std::string logs = world.Logs() + "/";
    const std::string header = "Tidewipe Log File created:  Monday March 05 14:30\r\n";
    WriteLog(logs + "2001_01_03_Wednesday.lnt", 50000, header + "\r\n", 1);
    // One byte more, an empty line before the header and no blank line after it: read
    // from byte 1, the header and "line 1" are the two lines dropped; read from byte 0
    // (wrong), "line 1" would show. (Not beginning with the title, the wipe keeps it.)
    const std::string longer = logs + "2001_01_02_Tuesday.lnt";
    WriteLog(longer, 50001, "\n" + header, 2);
    const std::string decoy = logs + "2001_01_01_Monday.lnt";
    const std::string decoyText = "Someone else's notes, named like a log\n";
    WriteAged(decoy, decoyText, 3);

    window.ShowPage(tw::ui::kLogPage);
    auto* page = window.LogPage();
    ASSERT_TRUE(page);
    page->FillLogList();
    ASSERT_EQ(page->Model()->rowCount(), 4);
    auto rowOf = [page](const std::string& stem) {
        for (int r = 0; r < page->Model()->rowCount(); ++r)
            if (page->Model()->Entry(r).stem == stem) return r;
        return -1;
    };
    EXPECT_EQ(rowOf("2001_01_03_Wednesday"), 1);  // newest first, today's on top

    page->ViewRow(rowOf("2001_01_03_Wednesday"));
    QString shown = page->Viewer()->toPlainText();
    EXPECT_FALSE(page->Following());
    EXPECT_TRUE(page->Caption()->text().startsWith(tw::ui::Tx<545>()));
    EXPECT_FALSE(shown.contains(QStringLiteral("Tidewipe Log File")));
    EXPECT_TRUE(shown.startsWith(QStringLiteral("14:31:07 -> line 1\n")))
        << shown.left(80).toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("14:31:07 -> line 2\n")));
    EXPECT_TRUE(shown.endsWith(QStringLiteral("xxx")));

    page->ViewRow(rowOf("2001_01_02_Tuesday"));
    shown = page->Viewer()->toPlainText();
    EXPECT_FALSE(shown.contains(QStringLiteral("line 1\n"))) << shown.left(80).toStdString();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("14:31:07 -> line 2\n")));

    // An older day shown: new lines are not appended...
    ASSERT_EQ(cli({"log", "write", "written while an older day is shown"}), 0);
    Pump([] { return false; }, 700);
    EXPECT_FALSE(page->Viewer()->toPlainText().contains(QStringLiteral("while an older")));
    // ...today's shown again: they are, live.
    const int today = page->TodaysRow();
    ASSERT_EQ(today, 0);
    page->ViewRow(today);
    EXPECT_TRUE(page->Following());
    EXPECT_EQ(page->Caption()->text(), tw::ui::Tx<547>());
    EXPECT_TRUE(page->Viewer()->toPlainText().contains(QStringLiteral("first line of today")))
        << page->Viewer()->toPlainText().toStdString();
    ASSERT_EQ(cli({"log", "write", "a line that arrives live"}), 0);
    EXPECT_TRUE(Pump(
        [page] {
            return page->Viewer()->toPlainText().endsWith(
                QStringLiteral("a line that arrives live"));
        },
        5000))
        << page->Viewer()->toPlainText().right(200).toStdString();

    // Erase ALL log files: the question names the folder; only real logs go.
    messages.answer = true;
    page->Button(CActivityLogPage::kErase)->click();
    ASSERT_EQ(messages.asked.size(), 1);
    EXPECT_TRUE(messages.asked[0].contains(QString::fromStdString(world.Logs())));
    ASSERT_TRUE(page->WipeDialog());
    EXPECT_TRUE(Pump([page] { return !page->WipeDialog()->Running(); }, 20000));
    EXPECT_EQ(page->WipeDialog()->Text()->text(), tw::ui::Tx<166>());
    EXPECT_EQ(page->WipeDialog()->Progress()->Bar(tw::ProgressSink::Overall)->value(), 4);
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(world.Logs()))
        left.push_back(e.path().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{decoy, longer}));
    EXPECT_EQ(tw::test::ReadFileBytes(decoy), decoyText);
    EXPECT_EQ(page->Model()->rowCount(), 2);
    uint32_t passes = 0;
    EXPECT_TRUE(store.ReadDword(tw::ProgramKey(), "NumOverwrites", &passes));
    EXPECT_EQ(passes, 7u);
    page->WipeDialog()->CloseButton()->click();
}

}  // namespace
