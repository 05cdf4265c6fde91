// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

TEST_F(SettingsTest, FirstStartWritesEveryDwordWithItsDefault) {
    auto s = Make();
    s->LoadSettings();
    for (const auto* table : {&DwordSettings(), &LoggingSettings()})
        for (const auto& v : *table) {
            uint32_t d = 1234;
            ASSERT_TRUE(store.ReadDword(ProgramKey(), v.name, &d)) << v.name;
            EXPECT_EQ(d, v.defaultValue) << v.name;
        }
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

TEST_F(SettingsTest, AStoredSentinelCountsAsMissing) {
    store.WriteDword(ProgramKey(), "NumOverwrites", 99);
    store.WriteDword(ProgramKey(), "SaveToLogfile", 0);
    auto s = Make();
    s->LoadSettings();
    uint32_t d = 0;
    store.ReadDword(ProgramKey(), "NumOverwrites", &d);
    EXPECT_EQ(d, 3u);
    store.ReadDword(ProgramKey(), "SaveToLogfile", &d);
    EXPECT_EQ(d, 0u);  // a real value is kept
    EXPECT_EQ(s->ReadWithDefault("NumOverwrites"), 3u);
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

TEST_F(SettingsTest, SavingTheLoggingSwitchDrivesEveryCategory) {
    auto s = Make();
    s->LoadSettings();
    std::vector<int> notes;
    s->SetChangedNotifier([&](int l) { notes.push_back(l); });
    s->Dword("extensiveLogging") = 1;
    s->Dword("SaveToLogfile") = 0;
    s->SaveSettings();
    for (const char* n :
         {"LogFreespaceWiping", "logCookieWiping", "logAutoWiping", "logInternetCleanup",
          "logFileUsageTracksWiping", "logRecoverableDataOperations", "logJunkfileWiping",
          "extensiveLogging"}) {
        uint32_t d = 7;
        store.ReadDword(ProgramKey(), n, &d);
        EXPECT_EQ(d, 0u) << n;
    }
    s->Dword("SaveToLogfile") = 1;
    s->SaveSettings();
    uint32_t d = 7;
    store.ReadDword(ProgramKey(), "logAutoWiping", &d);
    EXPECT_EQ(d, 1u);
    store.ReadDword(ProgramKey(), "extensiveLogging", &d);
    EXPECT_EQ(d, 0u);
    EXPECT_EQ(notes, (std::vector<int>{0, 0}));
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

TEST(Autostart, EntryIsWrittenAndRemoved) {
    test::TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
    EXPECT_TRUE(SetRunValue("TidewipeMemoryResident", "/opt/tide wipe/sentrel", false));
    const std::string path = dir / "autostart/TidewipeMemoryResident.desktop";
    EXPECT_EQ(RunValuePath("TidewipeMemoryResident", false), path);
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_NE(ss.str().find("Exec=\"/opt/tide wipe/sentrel\"\n"), std::string::npos) << ss.str();
    EXPECT_NE(ss.str().find("[Desktop Entry]"), std::string::npos);
    EXPECT_TRUE(DeleteRunValue("TidewipeMemoryResident", false));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(DeleteRunValue("TidewipeMemoryResident", false));
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace tw
