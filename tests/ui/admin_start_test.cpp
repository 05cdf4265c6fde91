// SPDX-License-Identifier: GPL-3.0-or-later
// A search of a device this user may not read ends with the offer to restart the panel
// as administrator, where the launcher is installed: "yes" starts the launcher, "no"
// leaves the panel as it was, and without a launcher nothing is offered.
#include "shell/ui/admin_start.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLabel>
#include <QPushButton>
#include <fstream>
#include <memory>

#include "tests/common/scratch_volume.h"
#include "tests/ui/ui_test_util.h"
#include "volume/ui/analyze_drive_page.h"

namespace {

using tw::volume::ui::CAnalyzeDrivePage;

class FakeAdminStart : public tw::ui::AdminStart {
  public:
    QString Launcher() const override { return launcher; }
    bool StartDetached(const QString& program, const QStringList&) override {
        started << program;
        return true;
    }
    QString launcher;
    QStringList started;
};

class AdminStartTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.Ok());
        device_ = dir_ / "device.img";
        std::ofstream(device_) << std::string(4096, '\0');
        ASSERT_EQ(chmod(device_.c_str(), 0), 0);
        tw::ui::SetAdminStart(&admin_);
        page_ = std::make_unique<CAnalyzeDrivePage>(nullptr, nullptr);
        page_->AddSource(QString::fromStdString(device_));
    }
    void TearDown() override {
        page_.reset();
        tw::ui::SetAdminStart(nullptr);
    }
    // Searches the unreadable device as a user without the rights (root drops to
    // nobody for the run).
    void SearchAsUser() {
        const uid_t was = geteuid();
        if (was == 0) {
            ASSERT_EQ(seteuid(65534), 0);
        }
        bool done = false;
        auto c = QObject::connect(page_.get(), &CAnalyzeDrivePage::runFinished,
                                  [&done](bool) { done = true; });
        page_->Button(1013)->click();
        const bool ended = tw::test::Pump([&] { return done; }, 30000);
        QObject::disconnect(c);
        if (was == 0) {
            ASSERT_EQ(seteuid(0), 0);
        }
        ASSERT_TRUE(ended);
    }

    tw::test::TempDir dir_{"admin-start"};
    std::string device_;
    tw::test::RecordingMessages messages_;
    FakeAdminStart admin_;
    std::unique_ptr<CAnalyzeDrivePage> page_;
};

TEST_F(AdminStartTest, AnUnreadableDeviceOffersTheAdministratorsPanel) {
    // No launcher (a build folder): the refusal is shown as always, nothing is asked.
    ASSERT_NO_FATAL_FAILURE(SearchAsUser());
    EXPECT_TRUE(messages_.asked.isEmpty());
    EXPECT_FALSE(page_->Details()->text().isEmpty());

    // "No": asked once, naming the refusal; nothing started.
    admin_.launcher = "/opt/tidewipe/tidewipe-admin";
    messages_.answer = false;
    ASSERT_NO_FATAL_FAILURE(SearchAsUser());
    ASSERT_EQ(messages_.asked.size(), 1);
    EXPECT_TRUE(messages_.asked[0].contains("administrator")) << messages_.asked[0].toStdString();
    EXPECT_TRUE(admin_.started.isEmpty());

    // "Yes": the launcher starts.
    messages_.answer = true;
    ASSERT_NO_FATAL_FAILURE(SearchAsUser());
    EXPECT_EQ(admin_.started, QStringList{admin_.launcher});
}

}  // namespace
