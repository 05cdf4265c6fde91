// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/ui/mount_watcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace tw::ui {

MountWatcher::MountWatcher(QObject* parent, const QString& path) : QObject(parent) {
    fd_ = open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    Drain();
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Exception, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        Drain();
        emit drivesChanged();
    });
}

MountWatcher::~MountWatcher() {
    delete notifier_;
    if (fd_ >= 0) close(fd_);
}

// The mark stays until the table is read again from its start.
void MountWatcher::Drain() {
    char buf[8192];
    lseek(fd_, 0, SEEK_SET);
    while (read(fd_, buf, sizeof buf) > 0) {
    }
}

}  // namespace tw::ui
