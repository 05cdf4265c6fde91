// SPDX-License-Identifier: GPL-3.0-or-later
#include "controls/folder_dialog.h"

#include <QFileDialog>

namespace tw::controls {

FolderDialog::FolderDialog(QString title, QWidget* parent, QString startFolder)
    : title_(std::move(title)), start_(std::move(startFolder)), parent_(parent) {}

int FolderDialog::DoModal() {
    const QUrl url = QFileDialog::getExistingDirectoryUrl(
        parent_, title_, QUrl::fromLocalFile(start_), QFileDialog::ShowDirsOnly);
    if (url.isEmpty()) return Cancelled;
    return Accept(url);
}

int FolderDialog::Accept(const QUrl& chosen) {
    if (!chosen.isLocalFile()) return NoFileSystemPath;
    folder_ = chosen.toLocalFile();
    // Paths of the old dialog were limited to 260 characters; ours are not, but an
    // empty one is no choice.
    return folder_.isEmpty() ? NoFileSystemPath : Chosen;
}

}  // namespace tw::controls
