// SPDX-License-Identifier: GPL-3.0-or-later
// The Recycle Bin page over the home trash that trash-cli fills.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QPushButton>
#include <memory>
#include <string>

#include "platform/registry.h"
#include "platform/settings.h"
#include "recyclebin/ui/recycle_bin_page.h"
#include "shell/ui/main_window.h"
#include "shell/ui/ui_text.h"
#include "tests/common/scratch_volume.h"
#include "tests/shell/test_env.h"
#include "tests/ui/ui_test_util.h"

namespace {

using tw::recyclebin::ui::CRecycleBinWipingPage;
using tw::test::Pump;
using tw::ui::MainWindow;

// The list's row of the item trashed from `original`, -1 when it is not listed.
int RowOf(CRecycleBinWipingPage* page, const std::string& original) {
    const auto& items = page->Model()->Items();
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].OriginalPath() == original) return static_cast<int>(i);
    return -1;
}

TEST(BinPage, ListsFollowsAndRestoresWithoutReplacing) {
    TW_REQUIRE_BUS();
    if (tw::test::RunTool({"trash-put", "--version"}) != 0) GTEST_SKIP() << "no trash-put";
    tw::test::TestWorld world;
    ASSERT_TRUE(world.Ok());
    tw::test::RecordingMessages messages;
    const std::string docs = world.Sub("docs");
    mkdir(docs.c_str(), 0700);
    const std::string a = docs + "/a.txt", b = docs + "/b.txt";
    ASSERT_TRUE(tw::test::WriteFileBytes(a, "the first letter\n"));
    ASSERT_TRUE(tw::test::WriteFileBytes(b, "the second letter\n"));
    ASSERT_EQ(tw::test::RunTool({"trash-put", a}), 0);

    // As root, a scratch volume with a file in its own trash folder, for the wipe.
    std::unique_ptr<tw::test::ScratchVolume> vol;
    const std::string marker = "bin-page-wipe-marker-" + std::to_string(getpid());
    std::string onVolume;
    if (tw::test::ScratchUnavailable(tw::test::FsKind::Ext4).empty()) {
        vol = std::make_unique<tw::test::ScratchVolume>(tw::test::FsKind::Ext4, 16);
        ASSERT_TRUE(vol->Ok()) << vol->Error();
        onVolume = vol->Root() + "secret.txt";
        ASSERT_TRUE(tw::test::WriteFileBytes(onVolume, marker + "\n"));
        ASSERT_EQ(tw::test::RunTool({"trash-put", onVolume}), 0);
        ASSERT_GE(tw::test::CountOccurrences(vol->ReadImage(), marker), 1u);
    }

    tw::test::TestPanel panel(world);
    MainWindow& window = panel.Open(false);
    tw::Settings& settings = *panel.settings;
    window.ShowPage(tw::ui::kBinPage);
    auto* page = qobject_cast<CRecycleBinWipingPage*>(window.Page(tw::ui::kBinPage));
    ASSERT_TRUE(page);
    EXPECT_GE(RowOf(page, a), 0);

    // Another program trashes a file: the list follows.
    ASSERT_EQ(tw::test::RunTool({"trash-put", b}), 0);
    EXPECT_TRUE(Pump([&] { return RowOf(page, b) >= 0; }, 5000));
    // A file dropped on the page goes to the bin.
    const std::string dropped = docs + "/dropped.txt";
    ASSERT_TRUE(tw::test::WriteFileBytes(dropped, "dropped\n"));
    EXPECT_TRUE(page->DropPaths({QString::fromStdString(dropped)}));
    EXPECT_NE(access(dropped.c_str(), F_OK), 0);
    EXPECT_GE(RowOf(page, dropped), 0);
    // Auto-wiping needs the guard: one that cannot be started leaves the switch off.
    page->AutoWipingBox()->click();
    EXPECT_FALSE(page->AutoWipingBox()->isChecked());
    EXPECT_EQ(settings.ReadWithDefault("EnableSecureDeletion"), 0u);

    // Restored to where it came from...
    page->Model()->setData(page->Model()->index(RowOf(page, a), 0), Qt::Checked,
                           Qt::CheckStateRole);
    page->Button(CRecycleBinWipingPage::kRecover)->click();
    EXPECT_TRUE(Pump([&] { return !page->Running(); }, 10000));
    EXPECT_EQ(tw::test::ReadFileBytes(a), "the first letter\n");
    EXPECT_LT(RowOf(page, a), 0);
    // ...but never over a file that now stands there: it stays in the bin.
    ASSERT_TRUE(tw::test::WriteFileBytes(b, "a new file of the same name\n"));
    page->DeselectAll();
    page->Model()->setData(page->Model()->index(RowOf(page, b), 0), Qt::Checked,
                           Qt::CheckStateRole);
    messages.shown.clear();
    page->RecoverSelected();
    EXPECT_TRUE(Pump([&] { return !page->Running(); }, 10000));
    EXPECT_EQ(tw::test::ReadFileBytes(b), "a new file of the same name\n");
    EXPECT_GE(RowOf(page, b), 0);
    bool collision = false;
    for (const auto& [text, caption] : messages.shown)
        collision |= text.startsWith(tw::ui::Tx<420>());
    EXPECT_TRUE(collision);

    if (!vol)
        GTEST_SKIP() << "wipe on a scratch volume: "
                     << tw::test::ScratchUnavailable(tw::test::FsKind::Ext4);
    // Wiped after the second click: nothing of it is left on the volume.
    const int row = RowOf(page, onVolume);
    ASSERT_GE(row, 0);
    EXPECT_GE(RowOf(page, b), 0);  // the home trash's item is listed beside it
    // Read back and recorded, as the window's two switches ask (stored at once).
    for (const char* name : {"Verify the last pass", "Keep erasure receipts"}) {
        QCheckBox* box = nullptr;
        for (auto* b : window.findChildren<QCheckBox*>())
            if (b->accessibleName() == QLatin1String(name)) box = b;
        ASSERT_TRUE(box) << name;
        box->click();
    }
    EXPECT_EQ(settings.ReadWithDefault("VerifyLastPass"), 1u);
    EXPECT_EQ(settings.ReadWithDefault("WriteReceipts"), 1u);
    page->DeselectAll();
    page->Model()->setData(page->Model()->index(row, 0), Qt::Checked, Qt::CheckStateRole);
    page->Button(CRecycleBinWipingPage::kWipe)->click();
    EXPECT_TRUE(page->Confirming());
    EXPECT_FALSE(page->Running());
    page->Button(CRecycleBinWipingPage::kWipe)->click();
    // The window stays open while the wipe runs.
    messages.shown.clear();
    EXPECT_TRUE(page->Running());
    EXPECT_FALSE(window.close());
    ASSERT_FALSE(messages.shown.empty());
    EXPECT_EQ(messages.shown[0].first.toStdString(), tw::ui::Tx<355>().toStdString());
    EXPECT_TRUE(Pump([&] { return !page->Running(); }, 20000));
    EXPECT_LT(RowOf(page, onVolume), 0);
    EXPECT_EQ(tw::test::CountOccurrences(vol->ReadImage(), marker), 0u);
    const auto receipts = tw::test::KeptReceipts(settings.LogFolder());
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_EQ(receipts[0]["verification"]["result"], "passed");
    ASSERT_EQ(receipts[0]["items"].size(), 1u);
    EXPECT_EQ(receipts[0]["items"][0]["path"], onVolume);
    EXPECT_GE(receipts[0]["bytesOverwritten"].get<uint64_t>(), marker.size());
}

}  // namespace
