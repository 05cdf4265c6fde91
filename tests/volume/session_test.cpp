// SPDX-License-Identifier: GPL-3.0-or-later
// What the volume session decides on its own, which the commands built on it cannot
// show apart: what a damaged boot sector is taken for, and the raw-write gate asked
// again at the step that writes, so that a volume mounted after its search (the panel
// keeps a session for as long as its list is shown) is never written below its file
// system.
#include "volume/session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/common/scratch_volume.h"

namespace tw::volume {
namespace {

std::string Joined(const SessionStatus& s) {
    std::string all;
    for (const std::string& line : s.lines) all += line + "\n";
    return all;
}

TEST(VolumeSession, DamagedBootSectorsAreRefusedOrFailedNeverRead) {
    test::TempDir dir("session");
    ASSERT_TRUE(dir.Ok());
    // No file system at all, and a source too small for a boot sector: unsupported.
    // Sector 0 says NTFS, or has the FAT32 shape, but its geometry is zero: the file
    // system is named, and loading its geometry fails with the damage named instead of
    // reading clusters of size 0.
    struct Case {
        const char* name;
        size_t size, at;
        std::string mark;
        FileSystemKind fs;
        const char* text;
    };
    const char* unknown = "unsupported file system ( unknown )";
    const std::vector<Case> cases = {
        {"zeros.img", 64 << 10, 0, "", {}, unknown},
        {"tiny.img", 100, 0, "", {}, unknown},
        {"ntfs.img", 64 << 10, 3, "NTFS    ", FileSystemKind::Ntfs, "NTFS boot sector is damaged"},
        {"fat32.img", 64 << 10, 0x52, "FAT32   ", FileSystemKind::Fat32, "damaged"},
    };
    for (const Case& c : cases) {
        std::string bytes(c.size, '\0');
        bytes.replace(c.at, c.mark.size(), c.mark);
        ASSERT_TRUE(test::WriteFileBytes(dir / c.name, bytes));
        CVolumeSession s;
        ASSERT_TRUE(s.Resolve(dir / c.name).IsOk());
        SessionStatus st = s.DetectFileSystem();
        if (c.mark.empty()) {
            EXPECT_EQ(st.code, SessionStatus::Refused) << c.name;
        } else {
            ASSERT_TRUE(st.IsOk()) << c.name;
            EXPECT_EQ(s.Fs(), c.fs) << c.name;
            st = s.OpenForAccess(RawAccess::ReadOnly);
            EXPECT_EQ(st.code, SessionStatus::Failed) << c.name;
            std::vector<uint8_t> out;
            EXPECT_FALSE(s.ReadCluster(s.FirstCluster(), &out)) << c.name;
        }
        EXPECT_NE(Joined(st).find(c.text), std::string::npos) << Joined(st);
    }
}

TEST(VolumeSessionFuse, AVolumeMountedAfterItsSearchIsNotWrittenBelowItsFileSystem) {
    TW_REQUIRE_SCRATCH(test::FsKind::Ntfs);
    test::ScratchVolume vol(test::FsKind::Ntfs, 16, "session");
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    ASSERT_TRUE(vol.Unmount());

    CVolumeSession s;
    ASSERT_TRUE(s.Resolve(vol.ImagePath()).IsOk());
    EXPECT_EQ(s.WriteRefusal(), "");
    const SearchReport rep = s.Search(tw::IdleOperation());
    ASSERT_EQ(rep.end, SearchEnd::Completed)
        << rep.message << " " << (rep.error ? ErrorText(*rep.error) : "");

    ASSERT_TRUE(vol.Mount()) << vol.Error();
    EXPECT_NE(s.WriteRefusal(), "");
    const SessionStatus write = s.OpenForAccess(RawAccess::Write);
    EXPECT_EQ(write.code, SessionStatus::Refused) << Joined(write);
    EXPECT_FALSE(s.Writable());
    // Where writes are only wanted, the session reads on and says why it does not write.
    const SessionStatus wanted = s.OpenForAccess(RawAccess::WriteIfAllowed);
    EXPECT_TRUE(wanted.IsOk()) << Joined(wanted);
    EXPECT_FALSE(s.Writable());
    EXPECT_NE(s.AccessRefusal(), "");

    ASSERT_TRUE(vol.Unmount());
    EXPECT_TRUE(s.OpenForAccess(RawAccess::Write).IsOk());
    EXPECT_TRUE(s.Writable());
    s.CloseDrive();
}

}  // namespace
}  // namespace tw::volume
