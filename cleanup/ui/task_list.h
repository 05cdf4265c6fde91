// SPDX-License-Identifier: GPL-3.0-or-later
// The clean-up tasks as a list of check-box rows: the clean-up page's and the schedule
// page's, in the order of the task table, each with what it does as its tool tip.
#pragma once

#include "cleanup/cleanup_tasks.h"

class QListWidget;

namespace tw::wipe::ui {

// Adds a row per task, unticked.
void FillTaskList(QListWidget* list);
// The tasks whose rows are ticked.
TaskSet TasksOf(const QListWidget* list);
// Ticks the rows of the tasks in `set` and clears the others.
void ShowTasks(QListWidget* list, const TaskSet& set);

}  // namespace tw::wipe::ui
