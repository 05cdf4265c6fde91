// SPDX-License-Identifier: GPL-3.0-or-later
// The session bus in the panel's event loop: broadcasts from the other programs arrive
// as `received` on the window's thread.
#pragma once

#include <QObject>
#include <QTimer>
#include <vector>

#include "shell/messages.h"

class QSocketNotifier;

namespace tw::ui {

class BusBridge : public QObject {
    Q_OBJECT
  public:
    // `bus` must outlive the bridge. A bus that is not connected gives a bridge that
    // drops its broadcasts and never receives anything.
    explicit BusBridge(shell::MessageBus& bus, QObject* parent = nullptr);

    bool Connected() const { return bus_.Connected(); }
    bool Broadcast(shell::Message m, int32_t lparam);
    shell::MessageBus& Bus() { return bus_; }

  signals:
    void received(const tw::shell::BusMessage& message);

  private:
    void Pump();
    void Rearm();

    shell::MessageBus& bus_;
    QSocketNotifier* read_ = nullptr;
    QSocketNotifier* write_ = nullptr;
    QTimer timer_;
    std::vector<shell::BusMessage> pending_;
    bool pumping_ = false;
};

}  // namespace tw::ui
