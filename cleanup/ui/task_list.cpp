// SPDX-License-Identifier: GPL-3.0-or-later
#include "cleanup/ui/task_list.h"

#include <QListWidget>

#include "shell/ui/ui_text.h"

namespace tw::wipe::ui {

void FillTaskList(QListWidget* list) {
    for (const TaskInfo& info : kTasks) {
        auto* item = new QListWidgetItem(tw::ui::TextOf(info.rowTextId), list);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(Qt::Unchecked);
        item->setToolTip(tw::ui::TextOf(info.descriptionId));
    }
}

TaskSet TasksOf(const QListWidget* list) {
    TaskSet set;
    for (size_t i = 0; i < kTaskCount; ++i)
        set.Set(kTasks[i].task, list->item(static_cast<int>(i))->checkState() == Qt::Checked);
    return set;
}

void ShowTasks(QListWidget* list, const TaskSet& set) {
    for (size_t i = 0; i < kTaskCount; ++i)
        list->item(static_cast<int>(i))
            ->setCheckState(set[kTasks[i].task] ? Qt::Checked : Qt::Unchecked);
}

}  // namespace tw::wipe::ui
