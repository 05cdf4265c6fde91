// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis page on the committed sample images, as a user drives it: the search
// lists what the samples' manifest says the search finds, the filters and a sort,
// recovery gives the very bytes, a wipe happens only after "Confirm Wipe", Stop ends a
// search, and the data viewer shows the clusters as text, as hex and as a picture. A
// device this user may not read ends its search with the offer to restart the panel as
// administrator, where the launcher is installed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "controls/dump_view.h"
#include "controls/placeholder_view.h"
#include "shell/ui/admin_start.h"
#include "shell/ui/message_box.h"
#include "shell/ui/operation_runner.h"
#include "tests/common/scratch_volume.h"
#include "tests/ui/ui_test_util.h"
#include "volume/ui/analyze_drive_page.h"
#include "volume/ui/file_slack_viewer.h"

namespace {

using tw::test::Pump;

using tw::volume::ui::CAnalyzeDrivePage;
using tw::volume::ui::FoundModel;

struct ManifestRow {
    std::string name, recoveredAs;
    int rec = 0;
    uint64_t bytes = 0;
    std::string sha;
};

std::vector<ManifestRow> Manifest(const std::string& image) {
    std::ifstream in(std::string(TW_SAMPLES) + "/samples.manifest");
    std::vector<ManifestRow> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        std::string img;
        ManifestRow r;
        ls >> img >> r.name >> r.recoveredAs >> r.rec >> r.bytes >> r.sha;
        if (img == image) rows.push_back(r);
    }
    return rows;
}

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class AnalysisPageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.Ok());
        image_ = Unpack("sample-ntfs.img");
        // Settings of its own: wipes read their last pass back and keep a receipt.
        ASSERT_EQ(mkdir((dir_ / "logs").c_str(), 0700), 0);
        store_ = std::make_unique<tw::RegistryStore>(dir_ / "registry.db");
        settings_ = std::make_unique<tw::Settings>(*store_);
        settings_->SetProgramFolder(dir_.Path() + "/");
        settings_->logLocation = dir_ / "logs";
        settings_->LoadSettings();
        settings_->Dword("VerifyLastPass") = 1;
        settings_->Dword("WriteReceipts") = 1;
        page_ = std::make_unique<CAnalyzeDrivePage>(nullptr, settings_.get());
        page_->resize(1000, 700);
        page_->AddSource(image_);
        ASSERT_EQ(page_->CurrentSource(), image_);
    }

    // A committed sample image, decompressed into the test's folder.
    QString Unpack(const std::string& name) {
        const std::string path = dir_ / name;
        EXPECT_EQ(std::system(
                      ("xz -dc '" + std::string(TW_SAMPLES) + "/" + name + ".xz' > '" + path + "'")
                          .c_str()),
                  0);
        return QString::fromStdString(path);
    }
    // The list holds exactly the manifest's files of `image`, each of its size.
    void ExpectListsTheManifest(const std::string& image) {
        const auto manifest = Manifest(image);
        ASSERT_FALSE(manifest.empty());
        EXPECT_EQ(page_->Model()->rowCount(), static_cast<int>(manifest.size()));
        for (const ManifestRow& r : manifest) {
            const int row = RowOf(r.name);
            ASSERT_GE(row, 0) << r.name;
            EXPECT_EQ(page_->Model()->Row(row).size, r.bytes) << r.name;
        }
    }
    // Runs the page's search (or anything that starts a run) to its end.
    bool RunToEnd(const std::function<void()>& start) {
        bool done = false;
        auto c = QObject::connect(page_.get(), &CAnalyzeDrivePage::runFinished,
                                  [&done](bool) { done = true; });
        start();
        const bool ok = Pump([&] { return done; }, 60000);
        QObject::disconnect(c);
        return ok;
    }
    // The source row of the listed item called `name`, -1 when not listed.
    int RowOf(const std::string& name) const {
        for (int i = 0; i < page_->Model()->rowCount(); ++i)
            if (page_->Model()->Row(i).name == name) return i;
        return -1;
    }
    void SelectOnly(const std::string& name) {
        page_->List()->clearSelection();
        const int src = RowOf(name);
        ASSERT_GE(src, 0) << name;
        const QModelIndex i = page_->Proxy()->mapFromSource(page_->Model()->index(src, 0));
        page_->List()->selectionModel()->select(
            i, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    tw::test::TempDir dir_{"analysis"};
    QString image_;
    tw::test::RecordingMessages messages_;
    std::unique_ptr<tw::RegistryStore> store_;
    std::unique_ptr<tw::Settings> settings_;
    std::unique_ptr<CAnalyzeDrivePage> page_;
};

// The list, its filters and sort, recovery, the data viewer and the guarded wipe, on one
// search.
TEST_F(AnalysisPageTest, SearchListsRecoversAndWipesOnlyAfterConfirmation) {
    ASSERT_TRUE(RunToEnd([&] { page_->Button(1013)->click(); }));
    ASSERT_NO_FATAL_FAILURE(ExpectListsTheManifest("sample-ntfs.img"));
    const auto manifest = Manifest("sample-ntfs.img");
    FoundModel* m = page_->Model();
    for (const ManifestRow& r : manifest)
        EXPECT_EQ(m->index(RowOf(r.name), FoundModel::Last).data().toString(),
                  QString::number(r.rec))
            << r.name;
    EXPECT_EQ(m->headerData(FoundModel::Last, Qt::Horizontal, Qt::DisplayRole).toString(), "% Rec");
    EXPECT_TRUE(m->index(0, 0)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .startsWith("RIGHT CLICK TO VIEW THIS FILE"));

    // Filters: part of a name in any case, an extension, and "all" again.
    page_->NameFilter()->setText("ETT");
    ASSERT_EQ(page_->Proxy()->rowCount(), 1);
    EXPECT_EQ(page_->Proxy()->index(0, 0).data().toString(), "letter.txt");
    page_->NameFilter()->clear();
    page_->ExtFilter()->setCurrentText("txt");
    EXPECT_EQ(page_->Proxy()->rowCount(), 2);
    page_->ExtFilter()->setCurrentText("all");
    EXPECT_EQ(page_->Proxy()->rowCount(), m->rowCount());
    // Sort by size: numerically, not as text ("70" after "6.41 KB" would be text order).
    page_->List()->sortByColumn(FoundModel::Size, Qt::AscendingOrder);
    uint64_t last = 0;
    for (int i = 0; i < page_->Proxy()->rowCount(); ++i) {
        const int src = page_->Proxy()->mapToSource(page_->Proxy()->index(i, 0)).row();
        EXPECT_GE(m->Row(src).size, last);
        last = m->Row(src).size;
    }

    // Recovery into a fresh folder gives the manifest's bytes.
    tw::test::TempDir out("recovered");
    page_->SetRecoveryFolderPath(QString::fromStdString(out.Path()));
    SelectOnly("letter.txt");
    ASSERT_TRUE(RunToEnd([&] { page_->Button(1014)->click(); }));
    const ManifestRow& letter = manifest[0];
    ASSERT_EQ(letter.name, "letter.txt");
    const QByteArray got = FileBytes(QString::fromStdString(out / letter.recoveredAs));
    EXPECT_EQ(QCryptographicHash::hash(got, QCryptographicHash::Sha256).toHex().toStdString(),
              letter.sha);

    // The viewer walks the letter's clusters as text and hex; the picture shows and
    // leaves no temporary file.
    ASSERT_EQ(got.size(), 6560);
    const int row =
        page_->Proxy()->mapFromSource(page_->Model()->index(RowOf("letter.txt"), 0)).row();
    auto* v = page_->ViewItem(row);
    ASSERT_NE(v, nullptr);
    ASSERT_GE(v->Clusters()->count(), 2);
    const auto& first = v->ClusterBytes();
    const qsizetype cluster = static_cast<qsizetype>(first.size());
    ASSERT_GT(cluster, 0);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(first.data()), cluster), got.left(cluster));
    EXPECT_TRUE(v->Filtered()->toPlainText().startsWith(
        QString::fromLatin1(got.left(20)).replace('\r', '.')));
    v->ToggleHex();
    EXPECT_TRUE(v->HexShown());
    const qint64 at = 0x25;
    const tw::controls::MFCDumpCtrl* hex = v->Hex();
    EXPECT_EQ(hex->GetValue(at), static_cast<uint8_t>(got[at]));
    const int perLine = hex->UnitsPerLine();
    ASSERT_GT(perLine, 0);
    const QString line = hex->FormatLine(at / perLine);
    EXPECT_TRUE(
        line.startsWith(QStringLiteral("%1  ").arg(at - at % perLine, 4, 16, QChar('0')).toUpper()))
        << line.toStdString();
    EXPECT_EQ(line.mid(6 + static_cast<int>(at % perLine) * 3, 2),
              QStringLiteral("%1").arg(static_cast<uint8_t>(got[at]), 2, 16, QChar('0')).toUpper())
        << line.toStdString();
    v->NextCluster();
    EXPECT_EQ(v->Clusters()->currentIndex(), 1);
    EXPECT_EQ(v->Hex()->GetValue(0), static_cast<uint8_t>(got[cluster]));
    v->close();

    // The picture, through a private file in $TMPDIR that is gone again at once.
    tw::test::TempDir tmp("viewer-tmp");
    qputenv("TMPDIR", QByteArray::fromStdString(tmp.Path()));
    const int logo =
        page_->Proxy()->mapFromSource(page_->Model()->index(RowOf("logo.png"), 0)).row();
    auto* img = page_->ViewItem(logo);
    ASSERT_NE(img, nullptr);
    img->ToggleImage();
    EXPECT_TRUE(img->ImageShown());
    EXPECT_FALSE(img->Image()->pixmap().isNull());
    EXPECT_TRUE(img->TempImage().isEmpty());
    EXPECT_TRUE(QDir(QString::fromStdString(tmp.Path())).isEmpty());
    img->close();
    qunsetenv("TMPDIR");

    // Wipe: "No" to "Confirm Wipe" leaves the image as it was.
    const QByteArray before = FileBytes(image_);
    SelectOnly("letter.txt");
    messages_.answer = false;
    page_->Button(1015)->click();
    ASSERT_EQ(messages_.asked.size(), 1);
    EXPECT_TRUE(messages_.asked[0].startsWith("Confirm Wipe: Warning - secure wipe selected."));
    EXPECT_FALSE(page_->Running());
    EXPECT_TRUE(FileBytes(image_) == before);
    // "Confirm Wipe": read back, receipted, and a second search no longer finds it.
    messages_.answer = true;
    ASSERT_TRUE(RunToEnd([&] { page_->Button(1015)->click(); }));
    EXPECT_FALSE(FileBytes(image_) == before);
    const auto receipts = tw::test::KeptReceipts(settings_->LogFolder());
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_EQ(receipts[0]["verification"]["result"], "passed");
    ASSERT_EQ(receipts[0]["items"].size(), 1u);
    EXPECT_NE(receipts[0]["items"][0]["path"].get<std::string>().find("letter.txt"),
              std::string::npos);
    ASSERT_TRUE(RunToEnd([&] { page_->Button(1013)->click(); }));
    EXPECT_EQ(RowOf("letter.txt"), -1);
    EXPECT_GE(RowOf("budget.csv"), 0);
}

// Stop ends a search, and the page can search again at once: the FAT32 sample, listed as
// its manifest says under an empty heading for the fifth column.
TEST_F(AnalysisPageTest, StopEndsASearchAndLeavesThePageUsable) {
    ASSERT_TRUE(RunToEnd([&] {
        page_->Button(1013)->click();
        EXPECT_TRUE(page_->Button(1120)->isEnabled());
        page_->Button(1120)->click();
    }));
    EXPECT_TRUE(page_->ProgressArea()->StatusLine()->text().startsWith("Aborted search"))
        << page_->ProgressArea()->StatusLine()->text().toStdString();
    EXPECT_TRUE(page_->Button(1013)->isEnabled());
    EXPECT_FALSE(page_->Button(1120)->isEnabled());
    page_->AddSource(Unpack("sample-fat32.img"));
    ASSERT_TRUE(RunToEnd([&] { page_->Button(1013)->click(); }));
    ExpectListsTheManifest("sample-fat32.img");
    EXPECT_TRUE(page_->Model()
                    ->headerData(FoundModel::Last, Qt::Horizontal, Qt::DisplayRole)
                    .toString()
                    .isEmpty());
}

class FakeAdminStart : public tw::ui::AdminStart {
  public:
    FakeAdminStart() { tw::ui::SetAdminStart(this); }
    ~FakeAdminStart() override { tw::ui::SetAdminStart(nullptr); }
    QString Launcher() const override { return launcher; }
    bool StartDetached(const QString& program, const QStringList&) override {
        started << program;
        return true;
    }
    QString launcher;
    QStringList started;
};

// "Yes" starts the launcher, "no" leaves the panel as it was, and without a launcher
// nothing is offered.
TEST_F(AnalysisPageTest, AnUnreadableDeviceOffersTheAdministratorsPanel) {
    const std::string device = dir_ / "device.img";
    ASSERT_TRUE(tw::test::WriteFileBytes(device, std::string(4096, '\0')));
    ASSERT_EQ(chmod(device.c_str(), 0), 0);
    page_->AddSource(QString::fromStdString(device));
    FakeAdminStart admin;
    // Searches as a user without the rights (root drops to nobody for the run).
    auto searchAsUser = [&] {
        const uid_t was = geteuid();
        if (was == 0) {
            ASSERT_EQ(seteuid(65534), 0);
        }
        const bool ended = RunToEnd([&] { page_->Button(1013)->click(); });
        if (was == 0) {
            ASSERT_EQ(seteuid(0), 0);
        }
        ASSERT_TRUE(ended);
    };
    // No launcher (a build folder): the refusal is shown as always, nothing is asked.
    ASSERT_NO_FATAL_FAILURE(searchAsUser());
    EXPECT_TRUE(messages_.asked.isEmpty());
    EXPECT_FALSE(page_->Details()->text().isEmpty());

    // "No": asked once, naming the refusal; nothing started.
    admin.launcher = "/opt/tidewipe/tidewipe-admin";
    messages_.answer = false;
    ASSERT_NO_FATAL_FAILURE(searchAsUser());
    ASSERT_EQ(messages_.asked.size(), 1);
    EXPECT_TRUE(messages_.asked[0].contains("administrator")) << messages_.asked[0].toStdString();
    EXPECT_TRUE(admin.started.isEmpty());

    // "Yes": the launcher starts.
    messages_.answer = true;
    ASSERT_NO_FATAL_FAILURE(searchAsUser());
    EXPECT_EQ(admin.started, QStringList{admin.launcher});
}

// A loop device made of the NTFS sample: listed as a partition that is not mounted;
// once mounted (ntfs-3g), listed by its folder instead, and its slack test runs there.
TEST_F(AnalysisPageTest, LoopVolumeListedUnmountedAndMountedWithItsSlacks) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (loop devices, mount)";
    tw::test::LoopDevice device(image_.toStdString());
    const std::string loop = device.Path(), mnt = dir_ / "mnt";
    if (loop.empty()) GTEST_SKIP() << "no loop device";
    ::mkdir(mnt.c_str(), 0700);
    struct Cleanup {
        std::string mnt;
        bool mounted = false;
        ~Cleanup() {
            if (mounted) tw::test::RunTool({"umount", mnt});
        }
    } cleanup{mnt};

    page_->FillDrives();
    const int unmounted = page_->Drives()->findData(QString::fromStdString(loop));
    ASSERT_GE(unmounted, 0) << loop;
    EXPECT_TRUE(page_->Drives()->itemText(unmounted).contains("NTFS, not mounted"));

    if (tw::test::RunTool({"ntfs-3g", loop, mnt}) != 0) GTEST_SKIP() << "ntfs-3g cannot mount";
    cleanup.mounted = true;
    page_->FillDrives();
    const int mounted = page_->Drives()->findData(QString::fromStdString(mnt));
    ASSERT_GE(mounted, 0);
    EXPECT_LT(page_->Drives()->findData(QString::fromStdString(loop)), 0);
    page_->Drives()->setCurrentIndex(mounted);
    ASSERT_TRUE(RunToEnd([&] { page_->Button(1118)->click(); }));
    EXPECT_EQ(
        page_->Model()->headerData(FoundModel::Name, Qt::Horizontal, Qt::DisplayRole).toString(),
        "Slack at end of file");
    EXPECT_TRUE(page_->ProgressArea()->StatusLine()->text().startsWith(
        "Completed search for recoverable slacks"))
        << page_->ProgressArea()->StatusLine()->text().toStdString();
    // The sample's live file with a partial last cluster; ntfs-3g does not say where
    // that cluster lies, so the viewer says why it cannot show it.
    const int keep = RowOf("keep_me.txt");
    ASSERT_GE(keep, 0);
    EXPECT_EQ(page_->Model()->Row(keep).slackBytes, 2056u);
    auto* v = page_->ViewItem(page_->Proxy()->mapFromSource(page_->Model()->index(keep, 0)).row());
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->Filtered()->toPlainText().startsWith(
        "It is not possible to view individual file slacks"));
    v->close();
}

// The dump view's edges: nothing to show, word units of an odd buffer in both byte
// orders, the address width, the substitute character, the colours, the binary format.
TEST(DumpView, EdgesOfTheBuffer) {
    using D = tw::controls::MFCDumpCtrl;
    D v;
    v.resize(800, 400);
    v.show();
    v.SetData({});
    EXPECT_EQ(v.UnitCount(), 0);
    EXPECT_TRUE(v.FormatLine(0).isEmpty());
    EXPECT_EQ(v.verticalScrollBar()->maximum(), 0);

    v.SetData(QByteArray("\x01\x02\x03\x04\x05", 5));
    v.SetStyle(D::kWordMode, 0);
    EXPECT_EQ(v.UnitCount(), 2);  // the fifth byte is not shown
    EXPECT_EQ(v.GetValue(1), 0x0304u);
    EXPECT_EQ(v.FormatLine(0).mid(6, 9), "0102 0304");
    v.SetStyle(D::kLittleEndian, 0);
    EXPECT_EQ(v.GetValue(1), 0x0403u);
    v.SetStyle(0, D::kWordMode | D::kLittleEndian);
    EXPECT_EQ(v.UnitCount(), 5);

    v.SetData(QByteArray(0x10000, '\0'));
    EXPECT_EQ(v.ColumnWidth(D::ColAddr), 4);
    EXPECT_GT(v.verticalScrollBar()->maximum(), 0);
    v.SetData(QByteArray(0x10001, '\0'));
    EXPECT_EQ(v.ColumnWidth(D::ColAddr), 5);
    EXPECT_TRUE(v.FormatLine(0x10000 / v.UnitsPerLine())
                    .startsWith(QStringLiteral("%1  ")
                                    .arg(0x10000 - 0x10000 % v.UnitsPerLine(), 5, 16, QChar('0'))
                                    .toUpper()));

    EXPECT_EQ(v.FormatValue(D::ColAscii, 0x1F), QString(QChar(0x1F)));
    v.SetSubstituteChar('.');
    EXPECT_EQ(v.FormatValue(D::ColAscii, 0x1F), ".");
    EXPECT_EQ(v.SetColour(12, qRgb(1, 2, 3)), 0u);
    EXPECT_EQ(v.SetColour(2, qRgb(1, 2, 3)), qRgb(0xFF, 0, 0));
    EXPECT_EQ(v.FormatValue(D::ColBin, 0x0102, 2), "00000001-00000010");
    EXPECT_EQ(v.FormatValue(D::ColBin, 0x81, 1), "10000001");
    EXPECT_EQ(v.FormatValue(D::ColHex, 0xAB, 1), "AB");
}

}  // namespace
