// SPDX-License-Identifier: GPL-3.0-or-later
// Tells the pages when a file system is mounted or unmounted: the kernel marks
// /proc/self/mountinfo with POLLPRI whenever the mount table changes.
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

namespace tw::ui {

class MountWatcher : public QObject {
    Q_OBJECT
  public:
    explicit MountWatcher(QObject* parent = nullptr,
                          const QString& path = QStringLiteral("/proc/self/mountinfo"));
    ~MountWatcher() override;
    bool Watching() const { return fd_ >= 0; }

  signals:
    void drivesChanged();

  private:
    void Drain();

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace tw::ui
