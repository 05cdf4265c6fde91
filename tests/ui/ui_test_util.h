// SPDX-License-Identifier: GPL-3.0-or-later
// What the panel's tests share: the message-box seam answered and recorded, an event
// loop run until a condition holds, and a window over a private settings store.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "platform/settings.h"
#include "shell/messages.h"
#include "shell/ui/main_window.h"
#include "shell/ui/message_box.h"
#include "tests/shell/test_env.h"
#include "wipe/receipt.h"

namespace tw::test {

// Answers every message box at once with `answer` and keeps what it showed and asked,
// for as long as it lives.
class RecordingMessages : public tw::ui::Messages {
  public:
    RecordingMessages() { tw::ui::SetMessages(this); }
    ~RecordingMessages() override { tw::ui::SetMessages(nullptr); }
    void Show(QWidget*, const QString& text, const QString& caption, Icon) override {
        shown.push_back({text, caption});
    }
    bool Ask(QWidget*, const QString& text, const QString& caption) override {
        asked << caption + ": " + text;
        return answer;
    }
    std::vector<std::pair<QString, QString>> shown;  // text, caption
    QStringList asked;                               // "caption: text"
    bool answer = false;
};

// The receipts the panel's wipes kept in the receipts folder of `logFolder`, read back
// (a file that is not a receipt reads as null).
inline std::vector<nlohmann::json> KeptReceipts(const std::string& logFolder) {
    std::vector<nlohmann::json> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(wipe::ReceiptFolder(logFolder), ec)) {
        auto r = wipe::ReadReceipt(e.path().string());
        out.push_back(r.ok() ? *r : nlohmann::json());
    }
    return out;
}

// Runs the event loop until `done` or the time is up; false when the time ran out.
template <typename F>
bool Pump(F done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The control panel's window over a settings store and log folder of `world`'s own; the
// guard is a program that is not there and mounts are not watched unless `tweak` says
// otherwise. The window goes first, then the bus, the settings and the store.
class TestPanel {
  public:
    explicit TestPanel(TestWorld& world) : world_(world) {
        store = std::make_unique<RegistryStore>(world.Sub("cfg") + "/registry.db");
        settings = std::make_unique<Settings>(*store);
        settings->SetProgramFolder(world.Path() + "/");
        settings->logLocation = world.Logs();
    }
    ~TestPanel() { window.reset(); }

    ui::MainWindow& Open(bool withBus = true,
                         const std::function<void(ui::MainWindow::Context&)>& tweak = {}) {
        window.reset();
        bus = withBus ? std::make_unique<shell::MessageBus>() : nullptr;
        ui::MainWindow::Context ctx;
        ctx.settings = settings.get();
        ctx.bus = bus.get();
        ctx.guardPath = world_.Sub("missing/sentrel");
        ctx.watchMounts = false;
        if (tweak) tweak(ctx);
        window = std::make_unique<ui::MainWindow>(std::move(ctx));
        window->Initialise(false);
        window->show();
        return *window;
    }
    // A stored program setting; 99 when it is not stored.
    uint32_t Stored(const char* name) const {
        uint32_t v = 99;
        return store->ReadDword(ProgramKey(), name, &v) ? v : 99;
    }

    std::unique_ptr<RegistryStore> store;
    std::unique_ptr<Settings> settings;
    std::unique_ptr<shell::MessageBus> bus;
    std::unique_ptr<ui::MainWindow> window;

  private:
    TestWorld& world_;
};

}  // namespace tw::test
