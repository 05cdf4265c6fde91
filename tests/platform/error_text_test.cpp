// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace tw {
namespace {

// The one place an error becomes words: placeholders filled once each, the errno's text
// appended, an offset the text has no place for still shown, and a code this build
// has no text for still says what it happened to. TextWith fills the same way.
TEST(ErrorText, FillsPlaceholdersAppendsErrnoAndCopesWithUnknownCodes) {
    // %1 and %3; a subject that itself holds "%2" is not expanded again.
    Error mounted = Error(ErrorCode::Mounted, "/img%2").With("/mnt/x");
    EXPECT_EQ(ErrorText(mounted), "/img%2 is mounted read-write at /mnt/x");

    // No text of its own and no errno: the code's general text; the offset is added.
    Error corrupt = Error(ErrorCode::Corrupt, "MFT record 7").At(4096);
    EXPECT_EQ(ErrorText(corrupt), "MFT record 7 is damaged (offset 4096)");

    // With an errno, its strerror says what went wrong, once, at the end.
    Error full = Error::FromErrno(ENOSPC, "/tmp/f");
    EXPECT_EQ(full.code, ErrorCode::NoSpace);
    EXPECT_EQ(ErrorText(full), std::string("/tmp/f: ") + std::strerror(ENOSPC));

    // A precise text wins over the general one, and errno still comes last.
    Error refused = Error(ErrorCode::Busy, "/dev/x", EBUSY).Says(TextId<1033>);
    EXPECT_EQ(ErrorText(refused),
              std::string("Refusing to write to /dev/x: the device is in use (mounted or held "
                          "by another program): ") +
                  std::strerror(EBUSY));

    // An unknown code, or a text id missing from the table, never gives an empty text.
    Error unknown(static_cast<ErrorCode>(250), "/x");
    EXPECT_EQ(ErrorText(unknown), "/x: unexpected error");
    Error missingText = Error(ErrorCode::ReadOnly, "/y").Says(999999);
    EXPECT_EQ(ErrorText(missingText), "/y is read-only");

    // The same filler for the engine's other lines: what is filled in is not expanded.
    EXPECT_EQ(TextWith(TextId<1011>, "/img%3", "", "/mnt/x"),
              "/img%3 is mounted read-write at /mnt/x");
    EXPECT_EQ(TextWith(999999, "/x"), "");
}

}  // namespace
}  // namespace tw
