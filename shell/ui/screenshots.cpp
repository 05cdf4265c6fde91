// SPDX-License-Identifier: GPL-3.0-or-later
// Renders the control panel's pages and dialogs to PNG files, so the window can be
// reviewed without a display:  tidewipe-screenshots DIR [SUFFIX]
// Run it on the offscreen platform with a settings store of its own (./run screenshots
// does both); it never starts the guard, never opens a link and sends nothing.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeEdit>
#include <cstdio>
#include <cstdlib>

#include "cleanup/ui/clean_free_space_page.h"
#include "controls/placeholder_view.h"
#include "log/activity_log.h"
#include "log/ui/activity_log_page.h"
#include "log/wipe/log_wipe.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "recyclebin/bin_runs.h"
#include "recyclebin/store.h"
#include "recyclebin/trashinfo.h"
#include "recyclebin/ui/recycle_bin_page.h"
#include "scheduler/ui/schedule_page.h"
#include "shell/ui/countdown_dialog.h"
#include "shell/ui/main_window.h"
#include "shell/ui/message_box.h"
#include "shell/ui/ui_text.h"
#include "volume/ui/analyze_drive_page.h"
#include "volume/ui/file_slack_viewer.h"

namespace {

// Never ticks: the countdown stays at its first number.
class StillTicks : public tw::ui::TickSource {
  public:
    void Start(int) override {}
    void Stop() override {}
    bool Active() const override { return false; }
};

// Screenshots never wait for a click.
class SilentMessages : public tw::ui::Messages {
  public:
    void Show(QWidget*, const QString&, const QString&, Icon) override {}
    bool Ask(QWidget*, const QString&, const QString&) override { return false; }
};

bool Save(QWidget* w, const QString& dir, const QString& name, const QString& suffix) {
    QApplication::processEvents();
    const QString path = dir + QLatin1Char('/') + name + suffix + QStringLiteral(".png");
    const bool ok = w->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

// Runs the event loop until `done`, at most ten seconds.
template <typename F>
bool Wait(F done) {
    for (int i = 0; i < 1000 && !done(); ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return done();
}

// The analysis page after a search of the NTFS sample, and the data viewer on its
// letter (text, hex) and its picture.
bool ShootAnalysis(tw::ui::MainWindow& window, const QString& dir, const QString& suffix) {
    QTemporaryDir scratch;
    const QString image = scratch.filePath(QStringLiteral("sample-ntfs.img"));
    const QString cmd = QStringLiteral("xz -dc '%1/sample-ntfs.img.xz' > '%2'")
                            .arg(QStringLiteral(TW_SAMPLES), image);
    if (!scratch.isValid() || std::system(cmd.toLocal8Bit().constData()) != 0) {
        std::printf("FAILED to unpack the NTFS sample\n");
        return false;
    }
    window.ShowPage(tw::ui::kAnalysisPage);
    auto* page =
        qobject_cast<tw::volume::ui::CAnalyzeDrivePage*>(window.Page(tw::ui::kAnalysisPage));
    if (!page) return false;
    page->AddSource(image);
    page->FindDeletedFiles();
    if (!Wait([page] { return !page->Running(); })) return false;
    page->List()->selectRow(0);
    bool ok = Save(&window, dir, QStringLiteral("analysis-page-ntfs"), suffix);
    const QString fat = scratch.filePath(QStringLiteral("sample-fat32.img"));
    const QString fatCmd = QStringLiteral("xz -dc '%1/sample-fat32.img.xz' > '%2'")
                               .arg(QStringLiteral(TW_SAMPLES), fat);
    if (std::system(fatCmd.toLocal8Bit().constData()) == 0) {
        page->AddSource(fat);
        page->FindDeletedFiles();
        if (Wait([page] { return !page->Running(); }))
            ok &= Save(&window, dir, QStringLiteral("analysis-page-fat32"), suffix);
        page->AddSource(image);
        page->FindDeletedFiles();
        if (!Wait([page] { return !page->Running(); })) return false;
    }

    auto rowOf = [page](const char* name) {
        for (int i = 0; i < page->Proxy()->rowCount(); ++i)
            if (page->Proxy()->index(i, 0).data().toString() == QLatin1String(name)) return i;
        return -1;
    };
    if (auto* v = page->ViewItem(rowOf("letter.txt"))) {
        ok &= Save(v, dir, QStringLiteral("data-viewer-text"), suffix);
        v->ToggleHex();
        ok &= Save(v, dir, QStringLiteral("data-viewer-hex"), suffix);
        v->close();
    }
    if (auto* v = page->ViewItem(rowOf("logo.png"))) {
        v->ToggleImage();
        ok &= Save(v, dir, QStringLiteral("data-viewer-image"), suffix);
        v->close();
    }
    return ok;
}

// The log wipe: its question as the desktop's message box shows it, and the dialog
// after the wipe of the sample logs.
bool ShootLogWipe(tw::ui::MainWindow& window, const QString& dir, const QString& suffix) {
    auto* page = window.LogPage();
    const std::string folder = page->GetLogFolder().toStdString();
    QMessageBox question(QMessageBox::Question, tw::ui::Tx<102>(),
                         QString::fromStdString(tw::log::LogWipeQuestion(folder)),
                         QMessageBox::Yes | QMessageBox::No, &window);
    question.setDefaultButton(QMessageBox::No);
    question.show();
    bool ok = Save(&question, dir, QStringLiteral("log-wipe-dialog"), suffix);
    question.close();
    tw::log::ui::CLogFileWipe wipe(page->GetLogFolder(), &window);
    wipe.show();
    if (!wipe.Start() || !Wait([&wipe] { return !wipe.Running(); })) return false;
    ok &= Save(&wipe, dir, QStringLiteral("log-wipe-dialog-done"), suffix);
    wipe.close();
    return ok;
}

// The clean-up page in the middle of a free-space clean, paused: on a small RAM file
// system mounted for the picture (root only; nothing of the machine's is cleaned), then
// aborted and unmounted.
bool ShootCleanupRunning(tw::ui::MainWindow& window, const QString& dir, const QString& suffix) {
    QTemporaryDir scratch;
    const std::string mount = scratch.path().toStdString() + "/scratch";
    if (!scratch.isValid() || geteuid() != 0 || mkdir(mount.c_str(), 0700) != 0 ||
        ::mount("twshot", mount.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=16m") != 0) {
        std::printf("skipped cleanup-page-running%s (needs root for a scratch volume)\n",
                    qPrintable(suffix));
        return true;
    }
    window.ShowPage(tw::ui::kCleanupPage);
    auto* page =
        qobject_cast<tw::wipe::ui::CCleanFreeSpacePage*>(window.Page(tw::ui::kCleanupPage));
    bool ok = page != nullptr;
    if (ok) {
        tw::wipe::TaskSet tasks;
        tasks.Set(tw::wipe::Task::FreeSpace, true);
        page->SetTasks(tasks);
        page->SetDrives({mount});
        // Paused at once: a small volume is cleaned quicker than a picture is taken.
        ok = page->Start(tw::wipe::kCleanPageStart);
        if (ok) {
            page->TogglePause();
            Wait([page] { return page->Indicator()->Running(); });
            ok = Save(&window, dir, QStringLiteral("cleanup-page-running"), suffix);
        }
        page->Abort();
        Wait([page] { return !page->Running(); });
    }
    umount2(mount.c_str(), MNT_DETACH);
    rmdir(mount.c_str());
    return ok;
}

// A folder laid out like a volume with this user's trash directory in it: what a USB
// stick or a second disk holds after files on it were trashed.
tw::recyclebin::BinFolder MakeVolumeTrash(const std::string& top) {
    const std::string trash = top + "/.Trash-" + std::to_string(getuid());
    for (const std::string& d : {top, trash, trash + "/files", trash + "/info"})
        mkdir(d.c_str(), 0700);
    const time_t lastWeek = time(nullptr) - 6 * 86400;
    for (const auto& [name, size] : {std::pair<const char*, int>{"quarterly-report.xlsx", 61440},
                                     {"camera-roll-2025.zip", 734003}}) {
        std::FILE* f = std::fopen((trash + "/files/" + name).c_str(), "wb");
        if (!f) continue;
        for (int i = 0; i < size; ++i) std::fputc('y', f);
        std::fclose(f);
        const std::string info =
            tw::recyclebin::FormatTrashInfo(std::string("work/") + name, lastWeek);
        if (std::FILE* i = std::fopen((trash + "/info/" + name + ".trashinfo").c_str(), "wb")) {
            std::fputs(info.c_str(), i);
            std::fclose(i);
        }
    }
    return tw::recyclebin::BinFolderFor(trash);
}

// The schedule page with a weekly schedule saved: Monday, Wednesday and Friday at
// 22:30 on the first drive.
void SetWeeklySchedule(tw::ui::MainWindow& window) {
    auto* page = qobject_cast<tw::sched::ui::CSchedulePage*>(window.Page(tw::ui::kSchedulePage));
    if (!page || page->DriveList()->count() == 0) return;
    window.Schedule().guardRunning = true;  // the pictures never start the guard
    page->DriveList()->item(0)->setCheckState(Qt::Checked);
    for (int task : {0, 1, 4}) page->TaskList()->item(task)->setCheckState(Qt::Checked);
    page->Radio(true)->click();
    for (int day : {1, 3, 5}) page->DayBox(day)->setChecked(true);
    page->Picker()->setTime(QTime(22, 30, 0));
    page->SaveButton()->click();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: tidewipe-screenshots DIR [SUFFIX]\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QString suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    QDir().mkpath(dir);
    SilentMessages silent;
    tw::ui::SetMessages(&silent);

    tw::RegistryStore& store = tw::CurrentUserStore();
    tw::Settings settings(store);
    // The log folder inside the throw-away store's folder, not beside the program.
    const std::string logs = tw::RegistryStore::DefaultPath();
    const std::string logFolder = logs.substr(0, logs.rfind('/')) + "/logs";
    mkdir(logFolder.c_str(), 0700);
    settings.logLocation = logFolder;

    tw::ui::MainWindow::Context context;
    context.settings = &settings;
    context.guardPath = "/nonexistent/sentrel";
    context.openUrl = [](const QString&) { return 33; };
    context.watchMounts = false;
    tw::ui::MainWindow window(std::move(context));
    window.Initialise(false);
    window.resize(1280, 800);
    // A day of activity for the log page, which opens following today's log.
    for (const char* line : {"Logging started", "Started wiping free space on /home: (data)",
                             "Erased /home/ada/Documents/old-tax-return-2019.pdf with 3 overwrites",
                             "Wiped 12 items from the Trash (48.20 MB)",
                             "Free space wiping of /home: (data) finished: 18.4 GB overwritten"})
        window.LogWriter()->WriteLine(line);
    // And two earlier days.
    for (int daysAgo : {1, 4}) {
        const time_t then = time(nullptr) - daysAgo * 86400;
        tw::log::CActivityLogFile earlier;
        earlier.SetFolder(settings.LogFolder());
        earlier.SetClock([then] { return then; });
        earlier.WriteLine("Wiped 3 items from the Trash (1.20 MB)");
        const struct timespec times[2] = {{then, 0}, {then, 0}};
        utimensat(AT_FDCWD, earlier.GetTodaysFileName().c_str(), times, 0);
    }
    window.LogPage()->FillLogList();
    // A few things in the (throw-away) home Trash for the Recycle Bin page.
    QDir().mkpath(QString::fromStdString(tw::recyclebin::DataHome()));
    QTemporaryDir trashed(QString::fromStdString(tw::recyclebin::DataHome()) +
                          QStringLiteral("/Documents-XXXXXX"));
    for (const auto& [name, size] : {std::pair<const char*, int>{"holiday-budget.ods", 18230},
                                     {"letter to the bank.odt", 40960},
                                     {"IMG_2041.jpg", 2351104},
                                     {"notes.txt", 912}}) {
        const std::string path = trashed.filePath(QString::fromUtf8(name)).toStdString();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) continue;
        for (int i = 0; i < size; ++i) std::fputc('x', f);
        std::fclose(f);
        tw::recyclebin::SendToBin(path);
    }
    // And a volume's trash beside the home trash.
    if (auto* bin = qobject_cast<tw::recyclebin::ui::CRecycleBinWipingPage*>(
            window.Page(tw::ui::kBinPage))) {
        auto bins = tw::recyclebin::CurrentBinFolders({true, {}});
        bins.push_back(MakeVolumeTrash(logs.substr(0, logs.rfind('/')) + "/usb-stick"));
        bin->SetBinFolders(bins);
    }
    SetWeeklySchedule(window);
    window.show();

    bool ok = true;
    const std::pair<int, const char*> pages[] = {
        {tw::ui::kStatusPage, "status-page"},   {tw::ui::kLogPage, "log-page"},
        {tw::ui::kCleanupPage, "cleanup-page"}, {tw::ui::kAnalysisPage, "analysis-page"},
        {tw::ui::kBinPage, "recycle-bin-page"}, {tw::ui::kSchedulePage, "schedule-page"},
        {tw::ui::kCookiePage, "cookie-page"},   {tw::ui::kTracksPage, "file-tracks-page"},
        {tw::ui::kJunkPage, "junk-files-page"}, {tw::ui::kInternetPage, "internet-cleanup-page"},
    };
    for (const auto& [id, name] : pages) {
        window.ShowPage(id);
        ok &= Save(&window, dir, QString::fromLatin1(name), suffix);
    }

    // The smallest size the layout is made for.
    window.ShowPage(tw::ui::kStatusPage);
    window.resize(1024, 700);
    ok &= Save(&window, dir, QStringLiteral("status-page-1024x700"), suffix);

    ok &= ShootCleanupRunning(window, dir, suffix);
    ok &= ShootAnalysis(window, dir, suffix);
    ok &= ShootLogWipe(window, dir, suffix);

    StillTicks ticks;
    tw::ui::cProceedCancelDialog countdown(&window, &ticks);
    countdown.SetUpShutdown();
    countdown.show();
    ok &= Save(&countdown, dir, QStringLiteral("countdown-dialog"), suffix);
    countdown.close();
    return ok ? 0 : 1;
}
