// SPDX-License-Identifier: GPL-3.0-or-later
// What the fuzz targets use to report a broken promise: a message and an abort, which
// libFuzzer records as a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define TW_FUZZ_CHECK(cond)                                                                 \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "%s:%d: promise broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)
