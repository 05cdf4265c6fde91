// SPDX-License-Identifier: GPL-3.0-or-later
// tidewipe-cli trash against trash-cli on the home trash: what one trashes the other
// lists and restores to the same place, names with blanks, percent signs and non-ASCII
// characters included, into folders that are gone; plus the CLI's summaries, log lines,
// refusals, dry runs and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "platform/drives.h"
#include "recyclebin/store.h"
#include "trash_fixture.h"

namespace tw::recyclebin {
namespace {

using test::Quote;
using test::ReadFileBytes;
using test::Shell;
using test::WriteFileBytes;

const std::vector<std::string> kNames = {"plain.txt", "with space.txt", "100% sure %41.txt",
                                         "caf\xC3\xA9 \xC3\xBCn\xC3\xAF\xE2\x82\xAC.txt",
                                         "#hash&amp;+plus=eq?.txt"};

class InteropTest : public test::TrashFixture {
  protected:
    void SetUp() override {
        TrashFixture::SetUp();
        if (!test::HaveTrashCli())
            GTEST_SKIP() << "trash-cli (trash-put, trash-list) not installed";
    }

    // Limits tidewipe-cli to the private home trash.
    std::string OnlyHome() { return " --trash-dir " + Quote(HomeTrash()); }

    std::set<std::string> ListedByUs() {
        std::string out;
        EXPECT_EQ(Shell("{ " + Quote(test::CliPath()) + " trash list --json" + OnlyHome() +
                            " 2>/dev/null; }",
                        &out),
                  0);
        std::set<std::string> paths;
        auto j = nlohmann::json::parse(out, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << out;
        if (j.is_discarded()) return paths;
        for (const auto& e : j) {
            paths.insert(e["original_path"].get<std::string>());
            EXPECT_EQ(e["trash_folder"].get<std::string>(), HomeTrash());
            EXPECT_EQ(
                e["original_location"].get<std::string>() + "/" + e["name"].get<std::string>(),
                e["original_path"].get<std::string>());
        }
        return paths;
    }

    // trash-list prints "YYYY-MM-DD hh:mm:ss /original/path" per item. It lists every
    // mounted volume's trash too (other tests' scratch volumes among them), so only
    // paths below this test's folder count.
    std::set<std::string> ListedByTrashCli() {
        std::string out;
        EXPECT_EQ(Shell("trash-list", &out), 0) << out;
        std::set<std::string> paths;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (line.size() > 20 && line[4] == '-' && line[19] == ' ' &&
                line.compare(20, work.size() + 1, work + "/") == 0)
                paths.insert(line.substr(20));
        return paths;
    }

    std::set<std::string> MakeFiles() {
        std::set<std::string> made;
        for (const auto& n : kNames) {
            EXPECT_TRUE(WriteFileBytes(work + "/" + n, "content of " + n));
            made.insert(work + "/" + n);
        }
        const std::string dir = work + "/folder 50% \xC3\xA9t\xC3\xA9";
        mkdir(dir.c_str(), 0755);
        EXPECT_TRUE(WriteFileBytes(dir + "/inner file", "inner"));
        made.insert(dir);
        return made;
    }

    // The activity log of the fixture's settings store.
    std::string LogText() {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(tmp.Path() + "/config/logs"))
            all += ReadFileBytes(e.path());
        return all;
    }

    void ExpectRestored() {
        for (const auto& n : kNames)
            EXPECT_EQ(ReadFileBytes(work + "/" + n), "content of " + n) << n;
        EXPECT_EQ(ReadFileBytes(work + "/folder 50% \xC3\xA9t\xC3\xA9/inner file"), "inner");
    }
};

TEST_F(InteropTest, WhatTrashPutTrashesWeListAndRestoreToTheSamePlace) {
    auto made = MakeFiles();
    // A file whose folders are gone by the time it is restored: they are made again.
    const std::string nested = work + "/deep/er/nested.txt";
    ASSERT_TRUE(MakeFolders(work + "/deep/er").ok());
    ASSERT_TRUE(WriteFileBytes(nested, "nested"));
    made.insert(nested);
    std::string cmd = "trash-put";
    for (const auto& p : made) cmd += " " + Quote(p);
    std::string out;
    ASSERT_EQ(Shell(cmd, &out), 0) << out;
    for (const auto& p : made) ASSERT_FALSE(Exists(p)) << p;
    ASSERT_TRUE(RemoveTree(work + "/deep"));

    EXPECT_EQ(ListedByUs(), made);
    EXPECT_EQ(ListedByTrashCli(), made);

    ASSERT_EQ(Cli("trash restore --all --yes" + OnlyHome(), &out), 0) << out;
    EXPECT_NE(out.find("Restored 6 files in 1 folder from the recycle bin."), std::string::npos)
        << out;
    EXPECT_NE(out.find("7 objects have been restored to their original locations."),
              std::string::npos)
        << out;
    ExpectRestored();
    EXPECT_EQ(ReadFileBytes(nested), "nested");
    EXPECT_TRUE(ListedByTrashCli().empty());
    // Each object and the summary are logged.
    const std::string log = LogText();
    for (const std::string& line :
         {std::string("Restored file: nested.txt from the recycle bin"),
          std::string("Restored folder: folder 50% "), std::string("Restored 6 files in 1 folder")})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST_F(InteropTest, WhatWeTrashTrashListListsAndTrashRestoreRestores) {
    auto made = MakeFiles();
    chmod((work + "/plain.txt").c_str(), 0640);
    std::string args = "trash put";
    for (const auto& p : made) args += " " + Quote(p);
    std::string out;
    ASSERT_EQ(Cli(args, &out), 0) << out;
    for (const auto& p : made) ASSERT_FALSE(Exists(p)) << p;

    EXPECT_EQ(ListedByTrashCli(), made);
    // The trash is private and so are its index files; the data keeps its own mode.
    for (const auto& [path, mode] : {std::pair{HomeTrash(), 0700u},
                                     {HomeTrash() + "/info/plain.txt.trashinfo", 0600u},
                                     {HomeTrash() + "/files/plain.txt", 0640u}}) {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, mode) << path;
    }

    // trash-restore offers what was trashed from the current folder; take the first
    // each time until nothing is left.
    for (size_t i = 0; i < made.size(); ++i) {
        ASSERT_EQ(Shell("cd " + Quote(work) + " && printf '0\\n' | trash-restore", &out), 0) << out;
    }
    ExpectRestored();
    EXPECT_TRUE(ListedByUs().empty());
}

TEST_F(InteropTest, RestoreRefusesTakenNamesAndGoesOnWithTheNextObject) {
    std::string cmd = "trash-put";
    for (const char* n : {"a.txt", "b.txt", "c.txt"}) {
        ASSERT_TRUE(WriteFileBytes(work + "/" + n, std::string("old ") + n));
        cmd += " " + Quote(work + "/" + n);
    }
    ASSERT_EQ(Shell(cmd), 0);
    ASSERT_TRUE(WriteFileBytes(work + "/a.txt", "newer"));             // a file took the name
    ASSERT_EQ(symlink("/nonexistent", (work + "/c.txt").c_str()), 0);  // even a dangling link
    std::string out;
    EXPECT_EQ(Cli("trash restore a.txt --yes" + OnlyHome(), &out), 1);
    EXPECT_NE(out.find("No files were restored"), std::string::npos) << out;
    EXPECT_EQ(Cli("trash restore --all --yes" + OnlyHome(), &out), 1);
    for (const char* n : {"a.txt", "c.txt"})
        EXPECT_NE(out.find(std::string("Cannot restore the object ") + n +
                           " because it already exists. Please rename it and try again."),
                  std::string::npos)
            << out;
    EXPECT_NE(out.find("Object has been restored to its original location."), std::string::npos)
        << out;
    EXPECT_EQ(ReadFileBytes(work + "/a.txt"), "newer");
    EXPECT_EQ(ReadFileBytes(work + "/b.txt"), "old b.txt");
    // The refused objects stay in the bin, data and index entry.
    EXPECT_EQ(ListedByUs(), (std::set<std::string>{work + "/a.txt", work + "/c.txt"}));
    EXPECT_EQ(ListedByTrashCli(), (std::set<std::string>{work + "/a.txt", work + "/c.txt"}));
}

TEST_F(InteropTest, WipeRemovesItemsTrashCliPutThere) {
    ASSERT_TRUE(WriteFileBytes(work + "/w1", std::string(10000, 'w')));
    ASSERT_TRUE(WriteFileBytes(work + "/outside", "kept"));
    // A folder with folders inside, a read-only one among them, a read-only file and a
    // link out of the bin, whose target must survive.
    ASSERT_TRUE(MakeFolders(work + "/wd/sub/deeper").ok());
    ASSERT_TRUE(WriteFileBytes(work + "/wd/in1", std::string(5000, '1')));
    ASSERT_TRUE(WriteFileBytes(work + "/wd/sub/in2", "2"));
    ASSERT_TRUE(WriteFileBytes(work + "/wd/sub/deeper/in3", ""));
    ASSERT_EQ(symlink((work + "/outside").c_str(), (work + "/wd/sub/link").c_str()), 0);
    chmod((work + "/wd/sub/in2").c_str(), 0400);
    chmod((work + "/wd/sub").c_str(), 0555);
    ASSERT_EQ(Shell("trash-put " + Quote(work + "/w1") + " " + Quote(work + "/wd")), 0);
    // A newer file at an original path is not what is wiped.
    ASSERT_TRUE(WriteFileBytes(work + "/w1", "a newer w1"));
    std::string out;
    ASSERT_EQ(Cli("trash wipe --all --yes --passes 2" + OnlyHome(), &out), 0) << out;
    EXPECT_NE(out.find("Wiped 4 files in 3 folders from the recycle bin."), std::string::npos)
        << out;
    EXPECT_EQ(ReadFileBytes(work + "/outside"), "kept");
    EXPECT_NE(out.find("2 objects have been wiped."), std::string::npos) << out;
    EXPECT_TRUE(ListedByTrashCli().empty());
    EXPECT_TRUE(std::filesystem::is_empty(HomeTrash() + "/files"));
    EXPECT_EQ(ReadFileBytes(work + "/w1"), "a newer w1");
}

TEST_F(InteropTest, CliRefusalsDryRunsAndExitCodes) {
    for (const char* n : {"x", "y"}) {
        mkdir((work + "/" + n).c_str(), 0755);
        ASSERT_TRUE(WriteFileBytes(work + "/" + n + "/same.txt", n));
        ASSERT_EQ(Shell("trash-put " + Quote(work + "/" + n + "/same.txt")), 0);
    }
    std::string out;
    // No terminal and no --yes: refused, nothing changes.
    EXPECT_EQ(Cli("trash wipe --all" + OnlyHome(), &out), 3) << out;
    EXPECT_EQ(Cli("trash empty" + OnlyHome(), &out), 3) << out;
    EXPECT_EQ(ListedByUs().size(), 2u);
    // Dry runs print the plan and change nothing.
    EXPECT_EQ(Cli("trash wipe --all --dry-run" + OnlyHome(), &out), 0);
    EXPECT_NE(out.find("2 objects"), std::string::npos) << out;
    EXPECT_EQ(Cli("trash restore --all --dry-run" + OnlyHome(), &out), 0);
    EXPECT_NE(out.find("-> " + work + "/x/same.txt"), std::string::npos) << out;
    EXPECT_EQ(Cli("trash empty --dry-run" + OnlyHome(), &out), 0);
    EXPECT_EQ(ListedByUs().size(), 2u);
    // A name that fits two items is refused; the original path picks one.
    EXPECT_EQ(Cli("trash wipe same.txt --yes" + OnlyHome(), &out), 2) << out;
    EXPECT_EQ(ListedByUs().size(), 2u);
    // A trash folder that is not there is a usage error, not an empty bin.
    EXPECT_EQ(Cli("trash list --trash-dir " + Quote(work + "/no-such-trash"), &out), 2) << out;
    // --trash-dir takes one folder: the NAME after it is the item. Restoring destroys
    // nothing, so it needs no --yes.
    EXPECT_EQ(Cli("trash restore" + OnlyHome() + " " + Quote(work + "/y/same.txt"), &out), 0)
        << out;
    EXPECT_EQ(ReadFileBytes(work + "/y/same.txt"), "y");
    // Dry runs show the refusals of the real run and exit as it would.
    ASSERT_TRUE(WriteFileBytes(work + "/x/same.txt", "taken"));
    EXPECT_EQ(Cli("trash restore --all --dry-run" + OnlyHome(), &out), 1) << out;
    EXPECT_NE(out.find("(refused: "), std::string::npos) << out;
    ASSERT_EQ(unlink((work + "/x/same.txt").c_str()), 0);
    std::string left;  // the data of the item still in the bin
    ASSERT_EQ(Shell("ls " + Quote(HomeTrash() + "/files"), &left), 0);
    left = HomeTrash() + "/files/" + left.substr(0, left.find('\n'));
    ASSERT_EQ(link(left.c_str(), (work + "/linked").c_str()), 0);
    EXPECT_EQ(Cli("trash wipe --all --dry-run" + OnlyHome(), &out), 1) << out;
    EXPECT_NE(out.find("(refused: not wiped: "), std::string::npos) << out;
    ASSERT_EQ(unlink((work + "/linked").c_str()), 0);
    // Unknown names, NAME with --all, neither, passes out of range.
    EXPECT_EQ(Cli("trash wipe nothing-like-it --yes" + OnlyHome(), &out), 1);
    EXPECT_EQ(Cli("trash wipe same.txt --all --yes" + OnlyHome(), &out), 2);
    EXPECT_EQ(Cli("trash restore --yes" + OnlyHome(), &out), 2);
    EXPECT_EQ(Cli("trash wipe --all --yes --passes 9" + OnlyHome(), &out), 2);
    EXPECT_EQ(ListedByUs(), std::set<std::string>{work + "/x/same.txt"});
    // put: a missing file fails with 1, the others are still trashed.
    ASSERT_TRUE(WriteFileBytes(work + "/p", "p"));
    EXPECT_EQ(Cli("trash put " + Quote(work + "/missing") + " " + Quote(work + "/p"), &out), 1);
    EXPECT_FALSE(Exists(work + "/p"));
    // empty with --yes: everything goes, with the status text and its log line: a folder
    // with a read-only folder inside, data without an index entry, the size cache.
    ASSERT_TRUE(MakeFolders(work + "/ro/sub").ok());
    ASSERT_TRUE(WriteFileBytes(work + "/ro/sub/in", "in"));
    chmod((work + "/ro/sub").c_str(), 0555);
    ASSERT_EQ(Shell("trash-put " + Quote(work + "/ro")), 0);
    ASSERT_TRUE(WriteFileBytes(HomeTrash() + "/files/stray", "s"));
    ASSERT_TRUE(WriteFileBytes(HomeTrash() + "/directorysizes", "x"));
    EXPECT_EQ(Cli("trash empty --yes" + OnlyHome(), &out), 0) << out;
    EXPECT_NE(out.find("The recycle bin has been emptied, but not wiped."), std::string::npos);
    EXPECT_NE(LogText().find("The recycle bin has been emptied, but not wiped."),
              std::string::npos);
    EXPECT_TRUE(ListedByTrashCli().empty());
    for (const char* sub : {"/files", "/info"})
        EXPECT_TRUE(std::filesystem::is_empty(HomeTrash() + sub)) << sub;
    EXPECT_FALSE(Exists(HomeTrash() + "/directorysizes"));
}

TEST_F(InteropTest, DamagedAndMissingIndexFilesAndHostileNames) {
    ASSERT_TRUE(WriteFileBytes(work + "/good", "g"));
    ASSERT_EQ(Shell("trash-put " + Quote(work + "/good")), 0);
    MakeItem(HomeTrash(), "bad", "[Trash Info]\nPath=/x/%G0\n");
    MakeItem(HomeTrash(), "worse", "not an index file at all");
    ASSERT_TRUE(WriteFileBytes(HomeTrash() + "/files/stray", "no index at all"));
    // A name that is not UTF-8 and carries an escape sequence.
    const std::string odd = work + "/caf\xFF\x1B[31m";
    MakeItem(HomeTrash(), "odd", "[Trash Info]\nPath=" + PercentEncodePath(odd) + "\n");
    std::string out;
    EXPECT_EQ(Cli("trash list" + OnlyHome(), &out), 0) << out;
    EXPECT_NE(out.find("2 unreadable index file(s)"), std::string::npos) << out;
    EXPECT_NE(out.find("3 data entry(ies)"), std::string::npos) << out;
    EXPECT_NE(out.find("caf\\377\\033[31m\t"), std::string::npos) << out;
    EXPECT_EQ(out.find('\033'), std::string::npos);
    EXPECT_EQ(ListedByUs(), (std::set<std::string>{work + "/good", work + "/caf\\xff\x1b[31m"}));
    ASSERT_EQ(Cli("trash list --json" + OnlyHome() + " 2>/dev/null", &out), 0);
    EXPECT_NE(out.find("\"name_bytes\": \"636166ff1b5b33316d\""), std::string::npos) << out;
    // Restoring everything restores what can be restored and leaves the rest alone.
    EXPECT_EQ(Cli("trash restore --all" + OnlyHome(), &out), 0) << out;
    EXPECT_EQ(ReadFileBytes(work + "/good"), "g");
    EXPECT_TRUE(Exists(odd));
    EXPECT_TRUE(Exists(HomeTrash() + "/files/bad"));
    // Wiping the whole bin leaves no data behind, indexed or not.
    EXPECT_EQ(Cli("trash wipe --all --dry-run" + OnlyHome(), &out), 0) << out;
    EXPECT_NE(out.find("wipe " + HomeTrash() + "/files/stray (no readable index file"),
              std::string::npos)
        << out;
    EXPECT_EQ(Cli("trash wipe --all --yes" + OnlyHome(), &out), 0) << out;
    EXPECT_NE(out.find("3 objects have been wiped."), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::is_empty(HomeTrash() + "/files"));
    EXPECT_FALSE(Exists(HomeTrash() + "/info/bad.trashinfo"));
}

}  // namespace
}  // namespace tw::recyclebin
