// SPDX-License-Identifier: GPL-3.0-or-later
// The settings store under the settings: typed values, privacy, concurrent writers, and
// the program settings and drive sets kept in it. The logging switch that drives every
// log category is the status page's (tests/ui/panel_test).
#include "platform/settings.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/registry.h"
#include "tests/common/scratch_volume.h"

namespace tw {
namespace {

bool IsDir(const std::string& p) { return std::filesystem::is_directory(p); }

class SettingsTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    RegistryStore store{dir / "registry.db"};
    std::string program = dir / "bin/";
    std::string drive = dir / "drive/";

    std::unique_ptr<Settings> Make() {
        std::filesystem::create_directories(program);
        std::filesystem::create_directories(drive);
        auto s = std::make_unique<Settings>(store);
        s->SetProgramFolder(program);
        std::string d = drive;
        s->SetFirstDriveRoot([d] { return d; });
        return s;
    }
};

// Every missing value, and a stored sentinel, becomes its default; a real value is kept.
TEST_F(SettingsTest, FirstStartWritesEveryMissingDwordWithItsDefault) {
    store.WriteDword(ProgramKey(), "NumOverwrites", kMissingSentinel);
    store.WriteDword(ProgramKey(), "SaveToLogfile", 0);
    auto s = Make();
    s->LoadSettings();
    for (const auto* table : {&DwordSettings(), &LoggingSettings()})
        for (const auto& v : *table) {
            uint32_t d = 1234;
            ASSERT_TRUE(store.ReadDword(ProgramKey(), v.name, &d)) << v.name;
            EXPECT_EQ(d, std::string(v.name) == "SaveToLogfile" ? 0u : v.defaultValue) << v.name;
        }
    EXPECT_EQ(s->ReadWithDefault("NumOverwrites"), 3u);
    std::string text;
    ASSERT_TRUE(store.ReadString(ProgramKey(), "InstallDirectory", &text));
    EXPECT_EQ(text, program);
    ASSERT_TRUE(store.ReadString(ProgramKey(), "LogLocation", &text));
    EXPECT_EQ(text, program + "logfiles");
    EXPECT_EQ(s->LogFolder(), program + "logfiles");
    EXPECT_TRUE(IsDir(program + "logfiles"));
    // The recovery folder is read, never written.
    EXPECT_FALSE(store.ReadString(ProgramKey(), "RestoredFilesLocation", &text));
}

TEST_F(SettingsTest, MovedProgramKeepsItsLogFolderUntilTheFolderIsGone) {
    Make()->LoadSettings();
    const std::string oldLogs = program + "logfiles";
    program = dir / "moved/";
    auto s = Make();
    s->LoadSettings();
    std::string text;
    store.ReadString(ProgramKey(), "InstallDirectory", &text);
    EXPECT_EQ(text, program);
    EXPECT_EQ(s->LogFolder(), oldLogs);
    std::filesystem::remove_all(oldLogs);
    auto again = Make();
    again->LoadSettings();
    EXPECT_EQ(again->LogFolder(), drive + "twlogs");
    EXPECT_EQ(again->ReplacedLogLocation(), oldLogs);
    struct stat st {};
    ASSERT_EQ(stat((drive + "twlogs").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);  // the log names what was wiped: private
    store.ReadString(ProgramKey(), "LogLocation", &text);
    EXPECT_EQ(text, drive + "twlogs");
}

TEST_F(SettingsTest, TheFallbackNeverMakesFoldersAtTheRootOrWhereverTheProgramRuns) {
    // With "/" as the first drive (as on every Linux system) or no drive at all, a
    // vanished log folder is replaced by the state folder, not by "/twlogs" or a
    // "twlogs" in the current folder. A relative or sentinel-built value counts as gone.
    setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    const bool rootHadOne = IsDir("/twlogs");
    for (const char* root : {"/", ""})
        for (const std::string& stored :
             std::vector<std::string>{dir / "gone", "Not yet setlogfiles"}) {
            store.WriteString(ProgramKey(), "LogLocation", stored);
            auto s = Make();
            s->SetFirstDriveRoot([root] { return std::string(root); });
            s->LoadSettings();
            EXPECT_EQ(s->LogFolder(), dir / "state/tidewipe/twlogs") << root << " " << stored;
            EXPECT_EQ(s->ReplacedLogLocation(), stored);
        }
    EXPECT_EQ(chdir(cwd), 0);
    unsetenv("XDG_STATE_HOME");
    EXPECT_TRUE(IsDir(dir / "state/tidewipe/twlogs"));
    EXPECT_FALSE(IsDir(dir / "twlogs"));
    if (!rootHadOne) {
        EXPECT_FALSE(IsDir("/twlogs"));
        rmdir("/twlogs");  // what a faulty build made
    }
}

TEST_F(SettingsTest, AnUnwritableInstallFolderLogsUnderTheStateFolder) {
    // A system-wide install: the program folder cannot take a "logfiles" folder.
    setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    auto s = std::make_unique<Settings>(store);
    s->SetProgramFolder("/proc/tidewipe-no-such/");
    s->SetFirstDriveRoot([] { return std::string("/proc/tidewipe-no-such/"); });
    s->LoadSettings();
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(s->LogFolder(), dir / "state/tidewipe/logfiles");
    EXPECT_TRUE(IsDir(s->LogFolder()));
}

TEST_F(SettingsTest, DriveSetsHoldOneValuePerChosenDrive) {
    auto s = Make();
    s->SetDriveSet(kManualDrives, {"/", "/home"});
    s->SetDriveSet(kScheduledDrives, {"/mnt/data"});
    EXPECT_EQ(s->DriveSet(kManualDrives), (std::vector<std::string>{"/", "/home"}));
    s->SetDriveSet(kManualDrives, {"/home"});
    EXPECT_EQ(s->DriveSet(kManualDrives), (std::vector<std::string>{"/home"}));
    EXPECT_EQ(store.ListValues(ProgramKey() + "\\cfs").size(), 1u);
    EXPECT_EQ(s->DriveSet(kScheduledDrives), (std::vector<std::string>{"/mnt/data"}));
}

const std::string kKey = "Software\\Quillon\\Tidewipe";

TEST(RegistryStore, ValuesAreTypedNamesIgnoreCaseAndTheFileIsPrivate) {
    test::TempDir dir;
    RegistryStore store(dir / "sub/registry.db");
    ASSERT_TRUE(store.IsOpen());
    struct stat st {};
    ASSERT_EQ(stat((dir / "sub/registry.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(store.WriteDword(kKey, "NumOverwrites", 5));
    EXPECT_TRUE(store.WriteString(kKey, "LogLocation", "/var/log/x"));
    uint32_t d = 0;
    std::string s;
    EXPECT_TRUE(store.ReadDword("software\\quillon\\TIDEWIPE", "numoverwrites", &d));
    EXPECT_EQ(d, 5u);
    EXPECT_FALSE(store.ReadString(kKey, "NumOverwrites", &s));  // wrong type reads as missing
    EXPECT_FALSE(store.ReadDword(kKey, "LogLocation", &d));
    EXPECT_TRUE(store.ReadString(kKey, "LogLocation", &s));
    EXPECT_EQ(s, "/var/log/x");
    // A value written again under another case replaces the first.
    EXPECT_TRUE(store.WriteDword(kKey, "NUMOVERWRITES", 7));
    EXPECT_EQ(store.ListValues(kKey).size(), 2u);
    EXPECT_TRUE(store.DeleteValue(kKey, "numOverwrites"));
    EXPECT_FALSE(store.DeleteValue(kKey, "numOverwrites"));
    // Sub-keys are listed apart.
    store.WriteDword(kKey + "\\cfs", "/home", 1);
    EXPECT_EQ(store.ListValues(kKey).size(), 1u);
    EXPECT_EQ(store.ListValues(kKey + "\\cfs").size(), 1u);
    EXPECT_EQ(store.ListAll().size(), 2u);

    // A store that cannot be opened fails every call.
    RegistryStore none("/proc/no/such/registry.db");
    EXPECT_FALSE(none.IsOpen());
    EXPECT_FALSE(none.ReadDword(kKey, "x", &d));
    EXPECT_FALSE(none.WriteDword(kKey, "x", 1));
    EXPECT_TRUE(none.ListAll().empty());
}

TEST(CRegDwordValue, ReadsAreCachedAndWritesSkipNoChangeUnlessForced) {
    test::TempDir dir;
    RegistryStore store(dir / "registry.db");
    CRegDwordValue cached(kKey + "\\NumOverwrites", 3, false, &store);
    CRegDwordValue forced(kKey + "\\NumOverwrites", 3, true, &store);
    EXPECT_EQ(cached.Read(), 3u);  // missing: the default, nothing cached
    EXPECT_FALSE(cached.HaveRead());
    store.WriteDword(kKey, "NumOverwrites", 6);
    EXPECT_EQ(cached.Read(), 6u);
    EXPECT_TRUE(cached.HaveRead());
    store.WriteDword(kKey, "NumOverwrites", 2);  // another process changes it
    EXPECT_EQ(cached.Read(), 6u);                // the cache answers
    EXPECT_EQ(forced.Read(), 2u);                // forceRead goes to the store
    // A failed read answers the default and leaves the cached value alone.
    store.DeleteValue(kKey, "NumOverwrites");
    EXPECT_EQ(forced.Read(), 3u);
    EXPECT_EQ(forced.Cached(), 2u);

    // Assigning writes only a change, unless forced.
    uint32_t d = 0;
    CRegDwordValue v(kKey + "\\DeepClean", 0, false, &store);
    v = 0;  // equals the (unset) cached value 0: nothing is written
    EXPECT_FALSE(store.ReadDword(kKey, "DeepClean", &d));
    v = 1;
    EXPECT_TRUE(store.ReadDword(kKey, "DeepClean", &d));
    EXPECT_EQ(d, 1u);
    CRegDwordValue f(kKey + "\\Other", 0, true, &store);
    f = 0;  // forceRead: written even though equal
    EXPECT_TRUE(store.ReadDword(kKey, "Other", &d));
    // An empty key path writes nothing.
    CRegDwordValue bare("NoKey", 0, true, &store);
    bare = 5;
    EXPECT_FALSE(bare.HaveRead());

    CRegStringValue text(kKey + "\\InstallDirectory", "Not yet set", true, &store);
    EXPECT_EQ(text.Read(), "Not yet set");
    text = "/opt/tidewipe/";
    std::string s;
    EXPECT_TRUE(store.ReadString(kKey, "InstallDirectory", &s));
    EXPECT_EQ(s, "/opt/tidewipe/");
    EXPECT_EQ(text.Read(), "/opt/tidewipe/");
}

// The panel, the CLI and the guard write the store at the same time: no write may be
// lost and the database must stay sound.
TEST(RegistryStore, ConcurrentWritersInSeveralProcessesLoseNothing) {
    test::TempDir dir;
    const std::string db = dir / "registry.db";
    { RegistryStore init(db); }
    constexpr int kProcs = 6, kWrites = 150;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            RegistryStore store(db);
            int bad = 0;
            for (int i = 0; i < kWrites; ++i) {
                if (!store.WriteDword(kKey, "p" + std::to_string(p) + "_" + std::to_string(i),
                                      static_cast<uint32_t>(i)))
                    ++bad;
                // Everyone also updates one shared value; the last write wins.
                if (!store.WriteDword(kKey, "shared", static_cast<uint32_t>(p))) ++bad;
                uint32_t d;
                if (!store.ReadDword(kKey, "shared", &d)) ++bad;
            }
            _exit(bad == 0 ? 0 : 1);
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) {
        int status = 0;
        waitpid(k, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    RegistryStore store(db);
    EXPECT_EQ(store.ListValues(kKey).size(), size_t(kProcs * kWrites + 1));
    uint32_t d = 99;
    for (int p = 0; p < kProcs; ++p)
        for (int i = 0; i < kWrites; i += 37) {
            ASSERT_TRUE(
                store.ReadDword(kKey, "p" + std::to_string(p) + "_" + std::to_string(i), &d));
            EXPECT_EQ(d, static_cast<uint32_t>(i));
        }
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(raw, "PRAGMA integrity_check", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(raw);
}

}  // namespace
}  // namespace tw
