// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/ui/bus_bridge.h"

#include <poll.h>
#include <time.h>

#include <QSocketNotifier>

namespace tw::ui {

BusBridge::BusBridge(shell::MessageBus& bus, QObject* parent) : QObject(parent), bus_(bus) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &BusBridge::Pump);
    if (!bus_.Connected()) return;
    // Kept until the bus is done processing: a receiver may open a message box, whose
    // event loop must not process the bus again from inside its own callback.
    bus_.Listen([this](const shell::BusMessage& m) { pending_.push_back(m); });
    const int fd = bus_.Fd();
    read_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    write_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(read_, &QSocketNotifier::activated, this, &BusBridge::Pump);
    connect(write_, &QSocketNotifier::activated, this, &BusBridge::Pump);
    // Whatever arrived while listening began is handled once the loop runs.
    QTimer::singleShot(0, this, &BusBridge::Pump);
    Rearm();
}

bool BusBridge::Broadcast(shell::Message m, int32_t lparam) {
    const bool ok = bus_.Broadcast(m, lparam);
    // Sending may have read messages into the connection's queue, where no socket
    // notification will announce them.
    QTimer::singleShot(0, this, &BusBridge::Pump);
    return ok;
}

void BusBridge::Pump() {
    if (!bus_.Connected() || pumping_) return;
    pumping_ = true;
    const bool lost = bus_.Process() < 0;
    if (lost) {
        delete read_;
        delete write_;
        read_ = write_ = nullptr;
        timer_.stop();
    } else {
        Rearm();
    }
    pumping_ = false;
    std::vector<shell::BusMessage> arrived;
    arrived.swap(pending_);
    for (const auto& m : arrived) emit received(m);
}

void BusBridge::Rearm() {
    if (!bus_.Connected() || !read_) return;
    write_->setEnabled((bus_.Events() & POLLOUT) != 0);
    const uint64_t due = bus_.TimeoutUsec();
    if (due == UINT64_MAX) {
        timer_.stop();
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000u + now.tv_nsec / 1000;
    const uint64_t waitMs = due > nowUs ? (due - nowUs + 999) / 1000 : 0;
    timer_.start(static_cast<int>(std::min<uint64_t>(waitMs, 60000)));
}

}  // namespace tw::ui
