// SPDX-License-Identifier: GPL-3.0-or-later
// tidewipe: the control panel. Start-up runs the shell's start-up object, which decides;
// this file shows its messages and builds the window.
#include <QApplication>
#include <QScreen>
#include <cstdio>
#include <cstring>

#include "platform/registry.h"
#include "platform/settings.h"
#include "shell/messages.h"
#include "shell/startup.h"
#include "shell/ui/main_window.h"
#include "shell/ui/message_box.h"

int main(int argc, char** argv) {
    // Answered before anything starts: no display, no settings and no guard are needed.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("tidewipe " TW_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("tidewipe"));
    QApplication::setApplicationName(QStringLiteral("tidewipe"));
    QApplication::setDesktopFileName(QStringLiteral("org.tidewipe.Tidewipe"));

    using tw::ui::Messages;
    tw::shell::MessageBus bus;
    tw::shell::CStartup::Config config;
    config.commandLine = tw::shell::CommandLineText(argc, argv);
    config.bus = &bus;
    // Start-up messages have no parent window.
    config.showMessage = [](int text, int caption) {
        tw::ui::ShowMessage(text, caption, Messages::Icon::Warning);
    };
    tw::shell::CStartup startup(config);
    startup.SetBeforeGuardLaunch([] {
        const QScreen* screen = QGuiApplication::primaryScreen();
        if (screen && screen->depth() < 16) tw::ui::ShowMessage(121, 125, Messages::Icon::Warning);
    });
    switch (startup.Start()) {
        case tw::shell::CStartup::Outcome::Run:
            break;
        case tw::shell::CStartup::Outcome::NotInstalled:
            return 1;
        case tw::shell::CStartup::Outcome::OtherInstance:
            return 0;  // silently
    }

    tw::Settings settings(tw::CurrentUserStore());
    tw::ui::MainWindow::Context context;
    context.settings = &settings;
    context.bus = &bus;
    context.guardPath = startup.residentProgramPath;
    tw::ui::MainWindow window(std::move(context));

    startup.InitPrivilegesAndSwitches();
    startup.Publish();
    window.Initialise(startup.guardActive != 0);
    if (startup.ShowRecycleBinFirst()) window.ShowPage(tw::ui::kBinPage);
    startup.BroadcastGuardQueries();
    window.show();
    startup.BroadcastCleanRequests();
    return app.exec();
}
