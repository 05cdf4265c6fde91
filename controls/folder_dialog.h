// SPDX-License-Identifier: GPL-3.0-or-later
// A folder browser: the desktop's folder dialog with a title and a start folder.
#pragma once

#include <QString>
#include <QUrl>

class QWidget;

namespace tw::controls {

class FolderDialog {
  public:
    enum Result { Chosen = 1, NoFileSystemPath = -1, Cancelled = 2 };

    FolderDialog(QString title, QWidget* parent, QString startFolder);

    // Runs the dialog. Chosen: Folder() holds the chosen folder. NoFileSystemPath: the
    // user picked something without a local path (a network location). Cancelled.
    int DoModal();
    // What a choice gives (the dialog's answer, kept apart for tests).
    int Accept(const QUrl& chosen);
    const QString& Folder() const { return folder_; }

  private:
    QString title_, start_, folder_;
    QWidget* parent_;
};

}  // namespace tw::controls
