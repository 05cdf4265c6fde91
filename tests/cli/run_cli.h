// SPDX-License-Identifier: GPL-3.0-or-later
// Moved: the CLI runner lives in tests/common.
#pragma once
#include "tests/common/run_cli.h"
