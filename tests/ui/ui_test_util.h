// SPDX-License-Identifier: GPL-3.0-or-later
// What the panel's tests share: the message-box seam answered and recorded, and an event
// loop run until a condition holds.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "shell/ui/message_box.h"

namespace tw::test {

// Answers every message box at once with `answer` and keeps what it showed and asked.
class RecordingMessages : public tw::ui::Messages {
  public:
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

}  // namespace tw::test
