// SPDX-License-Identifier: GPL-3.0-or-later
// The `slack` and `deep-clean` commands of tidewipe-cli, run as a user would: the plan
// of --dry-run changes nothing, a refusal changes nothing, a real run cleans and keys
// the stamp by the folder it walked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/common/cli_fixture.h"

namespace {

struct SlackCli : tw::test::CliFixture<> {
    std::string tree;

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SetUpCli(false));
        tree = dir_.Path() + "/tree";
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/a.txt", "alpha"));
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/sub/b.txt", std::string(5000, 'b')));
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/.hidden", "h"));
    }
    // Runs the program (stdin from /dev/null: no terminal to confirm on).
    int Run(std::vector<std::string> args, std::string* out) {
        out->clear();
        return Cli(std::move(args), out);
    }
    ino_t Ino(const std::string& p) {
        struct stat st {};
        EXPECT_EQ(lstat(p.c_str(), &st), 0);
        return st.st_ino;
    }
};

TEST_F(SlackCli, DryRunPrintsThePlanAndChangesNothing) {
    const ino_t a = Ino(tree + "/a.txt");
    std::string out;
    ASSERT_EQ(Run({"slack", "--dry-run", "--passes", "3", tree}, &out), 0) << out;
    EXPECT_NE(out.find("file   " + tree + "/a.txt  (5 bytes, slack 4091 bytes)"), std::string::npos)
        << out;
    EXPECT_NE(out.find("skip   " + tree + "/.hidden  (hidden)"), std::string::npos);
    EXPECT_NE(out.find("2 files, 2 with slack: 7283 bytes of slack, written 4 times (29132 bytes); "
                       "1 entries skipped"),
              std::string::npos)
        << out;
    ASSERT_EQ(Run({"deep-clean", "--dry-run", tree}, &out), 0) << out;
    EXPECT_NE(out.find("2 files to clean (5005 bytes)"), std::string::npos) << out;
    // Without a terminal or --yes nothing is cleaned.
    EXPECT_EQ(Run({"deep-clean", tree}, &out), 3) << out;
    EXPECT_NE(out.find("add --yes"), std::string::npos);
    EXPECT_EQ(Ino(tree + "/a.txt"), a);
}

// A file the real run would refuse (locked by another program) is listed as refused by
// the dry run, which then exits as the real run does; a name with a control character
// is printed escaped, so it cannot split a plan line.
TEST_F(SlackCli, DryRunShowsRefusalsAndExitsAsTheRealRunWould) {
    ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/evil\nname.txt", "e"));
    const int holder = open((tree + "/a.txt").c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    for (const char* cmd : {"slack", "deep-clean"}) {
        SCOPED_TRACE(cmd);
        std::string plan, real;
        EXPECT_EQ(Run({cmd, "--dry-run", tree}, &plan), 1) << plan;
        EXPECT_NE(plan.find("refuse " + tree + "/a.txt  (locked by another program)"),
                  std::string::npos)
            << plan;
        EXPECT_NE(plan.find(tree + "/evil\\nname.txt"), std::string::npos) << plan;
        EXPECT_EQ(plan.find("evil\nname"), std::string::npos) << "a raw newline in a name";
        EXPECT_EQ(Run({cmd, "--yes", tree}, &real), 1) << real;
    }
    close(holder);
    EXPECT_EQ(tw::test::ReadFileBytes(tree + "/a.txt"), "alpha");

    // Bad arguments and unsafe targets.
    std::string out;
    EXPECT_EQ(Run({"slack", "--passes", "0", tree}, &out), 2) << out;
    EXPECT_EQ(Run({"slack", "--yes", "/proc"}, &out), 3) << out;
    EXPECT_EQ(Run({"deep-clean", "--yes", tree + "/a.txt"}, &out), 3) << out;
    EXPECT_NE(out.find("not a folder"), std::string::npos) << out;
}

TEST_F(SlackCli, DeepCleanCleansOnceAndThenFindsNothingNewToClean) {
    const ino_t a = Ino(tree + "/a.txt");
    std::string out;
    ASSERT_EQ(Run({"deep-clean", "--yes", "--passes", "1", tree}, &out), 0) << out;
    EXPECT_NE(out.find("Deep cleaned 2 files (5005 bytes, 1 overwrite)"), std::string::npos) << out;
    EXPECT_NE(Ino(tree + "/a.txt"), a);
    EXPECT_EQ(tw::test::ReadFileBytes(tree + "/a.txt"), "alpha");
    ASSERT_EQ(Run({"deep-clean", "--dry-run", tree}, &out), 0) << out;
    EXPECT_NE(out.find("0 files to clean (0 bytes); 2 not modified since the last deep clean"),
              std::string::npos)
        << out;
    // The stamp is keyed by the folder that was walked.
    ASSERT_EQ(Run({"settings", "list"}, &out), 0);
    EXPECT_NE(out.find("dc" + tree + "\\lastDeepCleanLo"), std::string::npos) << out;
    ASSERT_EQ(Run({"slack", "--yes", tree}, &out), 0) << out;
    EXPECT_NE(out.find("Wiped slack in 2 files (7283 bytes of slack"), std::string::npos) << out;
    EXPECT_EQ(tw::test::ReadFileBytes(tree + "/sub/b.txt"), std::string(5000, 'b'));
}

}  // namespace
