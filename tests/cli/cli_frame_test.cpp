// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"

namespace tw {
namespace {

class CliFrame : public ::testing::Test {
  protected:
    test::TempDir dir;
    void SetUp() override { test::PrivateLogFolder(dir.Path()); }
    std::string Home() const { return "--config-home " + dir.Path() + " "; }
};

TEST_F(CliFrame, HelpAndUsageErrors) {
    auto help = test::RunCli("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("settings"), std::string::npos);
    auto none = test::RunCli(Home());
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("tidewipe-cli: "), std::string::npos);
    for (const std::string command : {"no-such-command", "log shwo"}) {
        auto unknown = test::RunCli(Home() + command);
        EXPECT_EQ(unknown.status, 2) << command;
        EXPECT_NE(unknown.err.find("unknown command '" + command + "'"), std::string::npos)
            << unknown.err;
    }
    for (const char* args : {"settings get", "log show 2026-13-45", "log show 2026-02-30"})
        EXPECT_EQ(test::RunCli(Home() + args).status, 2) << args;
}

TEST_F(CliFrame, SettingsKeepTheirTypes) {
    EXPECT_EQ(test::RunCli(Home() + "settings get NumOverwrites").out, "3\n");
    EXPECT_EQ(test::RunCli(Home() + "settings set NumOverwrites 5").status, 0);
    EXPECT_EQ(test::RunCli(Home() + "settings get numoverwrites").out, "5\n");
    auto bad = test::RunCli(Home() + "settings set NumOverwrites many");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("REG_DWORD"), std::string::npos);
    EXPECT_EQ(test::RunCli(Home() + "settings set NumOverwrites 9").status, 2);
    // The recovery folder is known before anything stored it.
    EXPECT_EQ(test::RunCli(Home() + "settings get RestoredFilesLocation").status, 1);
    EXPECT_EQ(test::RunCli(Home() + "settings set RestoredFilesLocation relative").status, 2);
    EXPECT_EQ(test::RunCli(Home() + "settings set RestoredFilesLocation /srv/found").status, 0);
    EXPECT_EQ(test::RunCli(Home() + "settings get RestoredFilesLocation").out, "/srv/found\n");
    // The log folder is checked when it is set: absolute, there (or made on request),
    // and no one else's.
    EXPECT_EQ(test::RunCli(Home() + "settings set LogLocation '" + dir.Path() + "'").status, 0);
    EXPECT_EQ(test::RunCli(Home() + "settings get LogLocation").out, dir.Path() + "\n");
    for (const std::string& bad :
         std::vector<std::string>{"x", "'~/logs'", "'" + dir / "missing" + "'", "/tmp"})
        EXPECT_EQ(test::RunCli(Home() + "settings set LogLocation " + bad).status, 2) << bad;
    EXPECT_EQ(test::RunCli(Home() + "settings get LogLocation").out, dir.Path() + "\n");
    EXPECT_EQ(test::RunCli(Home() + "settings set --create LogLocation '" + dir / "new/logs" + "'")
                  .status,
              0);
    struct stat st {};
    ASSERT_EQ(stat((dir / "new/logs").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(test::RunCli(Home() + "settings set NoSuchValue 1").status, 2);
    EXPECT_EQ(test::RunCli(Home() + "settings get NoSuchValue").status, 1);
    // Drive sets live in sub-keys.
    EXPECT_EQ(test::RunCli(Home() + "settings set 'cfs\\/home' 1").status, 0);
    auto list = test::RunCli(Home() + "settings list --json");
    ASSERT_EQ(list.status, 0);
    auto j = nlohmann::json::parse(list.out);
    bool sawDrive = false, sawDword = false;
    for (auto& v : j) {
        if (v["name"] == "cfs\\/home") sawDrive = true;
        if (v["name"] == "NumOverwrites") sawDword = v["type"] == "REG_DWORD" && v["value"] == 5;
    }
    EXPECT_TRUE(sawDrive);
    EXPECT_TRUE(sawDword);
}

// A limit on the address space of the program, far below the size of the log it shows.
// AddressSanitizer reserves terabytes of address space up front: no limit there.
#if defined(__SANITIZE_ADDRESS__)
constexpr const char* kMemoryLimit = "";
#else
constexpr const char* kMemoryLimit = "ulimit -v 131072; ";
#endif

TEST_F(CliFrame, ADamagedStoreStopsTheProgramAndIsKept) {
    // A real store with a setting the user chose.
    ASSERT_EQ(test::RunCli(Home() + "settings set NumOverwrites 6").status, 0);
    const std::string good = test::ReadFileBytes(dir / "registry.db");
    ASSERT_GT(good.size(), 4096u);
    std::string noise(good.size(), '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 7919 % 251);

    // Each case: how to lay out the config folder, and what the store's file must hold after.
    struct Case {
        const char* what;
        std::string content;  // "" = a folder in the store's place
    };
    for (const Case& c :
         {Case{"random bytes", noise}, Case{"truncated", good.substr(0, good.size() / 2)},
          Case{"a folder", ""}}) {
        test::TempDir config;
        const std::string db = config / "registry.db";
        if (c.content.empty())
            ASSERT_EQ(mkdir(db.c_str(), 0700), 0);
        else
            ASSERT_TRUE(std::ofstream(db, std::ios::binary) << c.content);
        for (const char* args : {"settings list", "settings set NumOverwrites 2", "log write x"}) {
            auto r = test::RunCli("--config-home " + config.Path() + " " + args);
            EXPECT_EQ(r.status, 1) << c.what << ": " << args;
            EXPECT_EQ(r.out, "") << c.what << ": " << args;
            EXPECT_NE(r.err.find("settings store " + db + " cannot be used: "), std::string::npos)
                << c.what << ": " << r.err;
        }
        if (c.content.empty())
            EXPECT_TRUE(std::filesystem::is_directory(db));
        else
            EXPECT_EQ(test::ReadFileBytes(db), c.content) << c.what;
    }

    // A config folder the user cannot write: the store could be read but never changed.
    test::TempDir config;
    ASSERT_EQ(chmod(config.Path().c_str(), 0755), 0);
    const std::string folder = config / "cfg";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_TRUE(std::ofstream(folder + "/registry.db", std::ios::binary) << good);
    std::string prefix, program;
    if (geteuid() == 0) {
        // Run as another user, from a copy of the program that user can reach.
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown((folder + "/registry.db").c_str(), 65534, 65534), 0);
        program = config / "tidewipe-cli";
        std::filesystem::copy_file(ProgramFolder() + "tidewipe-cli", program);
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    ASSERT_EQ(chmod(folder.c_str(), 0500), 0);
    auto r = test::RunCli("--config-home " + folder + " settings get NumOverwrites", "", prefix,
                          program);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("settings store " + folder + "/registry.db cannot be used: "),
              std::string::npos)
        << r.err;
    EXPECT_EQ(test::ReadFileBytes(folder + "/registry.db"), good);
    chmod(folder.c_str(), 0700);
}

TEST_F(CliFrame, LogCommandsNeverFollowLinksAndShowStreams) {
    const std::string logs = dir / "logs";
    ASSERT_EQ(test::RunCli(Home() + "settings set --create LogLocation '" + logs + "'").status, 0);
    auto today = test::RunCli(Home() + "log path");
    ASSERT_EQ(today.status, 0);
    today.out.pop_back();
    EXPECT_EQ(today.out.rfind(logs + "/", 0), 0u);
    // Someone who could write to the folder put a link where today's file will be.
    ASSERT_TRUE(std::ofstream(dir / "secret") << "root only\n");
    ASSERT_EQ(symlink((dir / "secret").c_str(), today.out.c_str()), 0);
    auto write = test::RunCli(Home() + "log write 'appended through the link'");
    EXPECT_EQ(write.status, 1);
    EXPECT_NE(write.err.find("symbolic link"), std::string::npos) << write.err;
    auto show = test::RunCli(Home() + "log show");
    EXPECT_EQ(show.status, 3);
    EXPECT_EQ(show.out.find("root only"), std::string::npos);
    EXPECT_EQ(test::ReadFileBytes(dir / "secret"), "root only\n");
    ASSERT_EQ(unlink(today.out.c_str()), 0);
    // ... or a file of their own, or a second name of someone else's file.
    ASSERT_EQ(link((dir / "secret").c_str(), today.out.c_str()), 0);
    EXPECT_EQ(test::RunCli(Home() + "log write 'into the linked file'").status, 1);
    EXPECT_EQ(test::RunCli(Home() + "log show").status, 3);
    ASSERT_EQ(unlink(today.out.c_str()), 0);
    if (geteuid() == 0) {
        ASSERT_TRUE(std::ofstream(today.out) << "planted\n");
        ASSERT_EQ(chown(today.out.c_str(), 65534, 65534), 0);
        EXPECT_EQ(test::RunCli(Home() + "log write 'into their file'").status, 1);
        EXPECT_EQ(test::RunCli(Home() + "log show").status, 3);
        ASSERT_EQ(unlink(today.out.c_str()), 0);
    }
    EXPECT_EQ(test::RunCli(Home() + "log write 'a real record'").status, 0);
    EXPECT_EQ(test::RunCli(Home() + "log write \"$(printf '\\t')\"").status,
              1);  // empty after filtering
    auto shown = test::RunCli(Home() + "log show");
    EXPECT_NE(shown.out.find(" -> a real record\n"), std::string::npos);
    EXPECT_EQ(shown.out.find('\r'), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(test::RunCli(Home() + "log list --json").out).size(), 1u);
    EXPECT_EQ(test::RunCli(Home() + "log show 1999-01-01").status, 1);

    // A day's log is printed as it is read, never held whole: a single line far larger
    // than the memory the program may use still comes out whole.
    const std::string header = "Tidewipe Log File created:  Monday January 01 09:00";
    const size_t longLine = 160u << 20;
    {
        std::ofstream out(logs + "/2001_01_01_Monday.lnt", std::ios::binary);
        out << header << "\r\n\r\n09:00:01 -> first\r\r\n";
        const std::string block(1 << 20, 'a');
        for (size_t done = 0; done < longLine; done += block.size()) out << block;
        out << "\r\r\n09:00:02 -> last\r\r\n";
    }
    auto big = test::RunCli(Home() + "log show 2001-01-01 2>&1 | wc -c", "", kMemoryLimit);
    EXPECT_EQ(big.out, std::to_string(header.size() + 2 + 18 + longLine + 1 + 17) + "\n");
    auto head = test::RunCli(Home() + "log show 2001-01-01 | head -c 76");
    EXPECT_EQ(head.out, header + "\n\n09:00:01 -> first\naaaaa");
}

}  // namespace
}  // namespace tw
