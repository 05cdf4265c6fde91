// SPDX-License-Identifier: GPL-3.0-or-later
// Slack on a private temporary folder (no privileges), one tree for every case: the
// `slacks`, `slack` and `deep-clean` commands of tidewipe-cli run as a user would (the
// list, plans, refusals, stamps, receipts and log lines), and what only the scanner
// itself shows (status, stop, a start that cannot be walked, files without slack).
// Showing slack bytes reads a device: the volume tests do that on scratch volumes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <nlohmann/json.hpp>

#include "tests/common/cli_fixture.h"
#include "tests/common/recording_sink.h"
#include "volume/recoverable.h"
#include "wipe/slack_scan.h"

namespace tw::wipe {
namespace {

// a.txt (5 bytes), sub/b.txt (5000) and a hidden file.
struct SlackCli : test::CliFixture<> {
    std::string tree;
    uint32_t cluster = 0;

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SetUpCli(true));
        tree = dir_.Path() + "/tree";
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
        struct statvfs sv {};
        ASSERT_EQ(statvfs(tree.c_str(), &sv), 0);
        cluster = static_cast<uint32_t>(sv.f_frsize ? sv.f_frsize : sv.f_bsize);
        ASSERT_GT(cluster, 1u);
        ASSERT_TRUE(test::WriteFileBytes(tree + "/a.txt", "alpha"));
        ASSERT_TRUE(test::WriteFileBytes(tree + "/sub/b.txt", std::string(5000, 'b')));
        ASSERT_TRUE(test::WriteFileBytes(tree + "/.hidden", "h"));
    }
    // Runs the program (stdin from /dev/null: no terminal to confirm on); stdout and
    // stderr into *out.
    int Run(std::vector<std::string> args, std::string* out) {
        out->clear();
        return Cli(std::move(args), out);
    }
    std::pair<time_t, long> Mtime(const std::string& p) {
        struct stat st {};
        EXPECT_EQ(stat(p.c_str(), &st), 0);
        return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    }
    void SetMtime(const std::string& p, timespec when) {
        const timespec t[2] = {{0, UTIME_OMIT}, when};
        ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), t, 0), 0);
    }
    ino_t Ino(const std::string& p) {
        struct stat st {};
        EXPECT_EQ(lstat(p.c_str(), &st), 0);
        return st.st_ino;
    }
    // The JSON form, without stderr.
    nlohmann::json Json(const std::string& folder) {
        const auto r =
            test::RunCli("--config-home '" + config_ + "' slacks --json '" + folder + "'");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        return nlohmann::json::parse(r.out, nullptr, false);
    }
};

// The same tree with what has no slack or is left out by the walk: a file of whole
// clusters, an empty one, a link, a protected name, a read-only file, and a second name
// of a listed file (its slack is the same place on the disk).
struct SlacksCli : SlackCli {
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SlackCli::SetUp());
        ASSERT_TRUE(test::WriteFileBytes(tree + "/whole", std::string(cluster, 'w')));
        ASSERT_TRUE(test::WriteFileBytes(tree + "/empty", ""));
        ASSERT_EQ(symlink((tree + "/a.txt").c_str(), (tree + "/link").c_str()), 0);
        ASSERT_TRUE(test::WriteFileBytes(tree + "/setup.exe", "e"));
        ASSERT_TRUE(test::WriteFileBytes(tree + "/readonly.txt", "r"));
        ASSERT_EQ(chmod((tree + "/readonly.txt").c_str(), 0444), 0);
        ASSERT_EQ(link((tree + "/sub/b.txt").c_str(), (tree + "/zz-second-name").c_str()), 0);
    }
};

// ---------------------------------------------------------------- slacks

// Every file whose size is not whole clusters is listed once, with its slack, times and
// attributes; the table and the JSON list the same scan.
TEST_F(SlacksCli, ListsEveryFileWithSlackOnceAndNothingTheWalkLeavesOut) {
    ASSERT_NO_FATAL_FAILURE(SetMtime(tree + "/a.txt", {1500000000, 0}));
    std::string out;
    ASSERT_EQ(Run({"slacks", tree}, &out), 0) << out;
    EXPECT_NE(out.find("Slack at end of file"), std::string::npos) << out;
    EXPECT_NE(out.find(tree + "/sub/b.txt"), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(cluster - 5)), std::string::npos) << out;
    EXPECT_NE(out.find("Completed search for recoverable slacks (Found 2 slacks)"),
              std::string::npos)
        << out;

    const auto j = Json(tree);
    ASSERT_FALSE(j.is_discarded());
    // The log has the beginning, on the drive searched, and then the result.
    const std::string logText = LogText();
    const size_t begin = logText.find("Beginning search for recoverable slacks on " +
                                      j["drive"].get<std::string>() + "\r");
    const size_t end = logText.find("Completed search for recoverable slacks (Found 2 slacks)");
    ASSERT_NE(begin, std::string::npos) << logText;
    ASSERT_NE(end, std::string::npos) << logText;
    EXPECT_LT(begin, end);
    EXPECT_EQ(j["count"], 2);
    EXPECT_EQ(j["aborted"], false);
    EXPECT_EQ(j["result"], "Completed search for recoverable slacks (Found 2 slacks)");
    std::map<std::string, std::pair<uint64_t, uint64_t>> items;
    for (const auto& s : j["slacks"]) {
        EXPECT_TRUE(items.emplace(s["path"], std::make_pair(s["size"], s["slack"])).second)
            << "listed twice: " << s["path"];
        EXPECT_EQ(s["attributes"], "------n------");
        EXPECT_EQ(s["cluster_size"], cluster);
        EXPECT_TRUE(s["last_cluster"].is_null() || s["last_cluster"].is_number());
        if (s["path"] == tree + "/a.txt") {
            EXPECT_EQ(s["modified"], "2017-07-14T02:40:00Z");
        }
    }
    const uint64_t bSlack = (5000 + cluster - 1) / cluster * cluster - 5000;
    const std::map<std::string, std::pair<uint64_t, uint64_t>> expected = {
        {tree + "/a.txt", {5, cluster - 5}}, {tree + "/sub/b.txt", {5000, bSlack}}};
    EXPECT_EQ(items, expected);
}
// A crafted name can neither split the table nor reach the terminal as an escape
// sequence, and a name that is not UTF-8 keeps the JSON valid with its exact bytes beside.
TEST_F(SlacksCli, HostileNamesAreEscapedAndKeepTheJsonValid) {
    const std::string evil = "evil\n\033[31mred\xff.txt";
    ASSERT_TRUE(test::WriteFileBytes(tree + "/" + evil, "x"));
    std::string out;
    ASSERT_EQ(Run({"slacks", tree}, &out), 0) << out;
    EXPECT_EQ(out.find('\033'), std::string::npos) << out;
    EXPECT_EQ(out.find('\xff'), std::string::npos) << out;
    EXPECT_NE(out.find(tree + "/evil\\n\\033[31mred\\377.txt"), std::string::npos) << out;

    const auto j = Json(tree);
    bool seen = false;
    for (const auto& s : j["slacks"]) {
        if (!s.contains("path_bytes")) continue;
        seen = true;
        EXPECT_EQ(s["path"], tree + "/evil\n\033[31mred\\xff.txt");
        std::string raw;
        const std::string hex = s["path_bytes"];
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            raw.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        EXPECT_EQ(raw, tree + "/" + evil);
    }
    EXPECT_TRUE(seen) << out;
}

TEST_F(SlacksCli, UsageErrorsHelpAndAFolderWithoutSlack) {
    std::string out;
    const std::string empty = dir_.Path() + "/nothing";
    ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
    ASSERT_EQ(Run({"slacks", empty}, &out), 0) << out;
    EXPECT_NE(out.find("No items to display"), std::string::npos) << out;
    EXPECT_NE(out.find("Completed search for recoverable slacks (Did not find any slacks)"),
              std::string::npos)
        << out;
    EXPECT_EQ(Run({"slacks"}, &out), 2) << out;
    EXPECT_EQ(Run({"slacks", dir_.Path() + "/missing"}, &out), 2) << out;
    EXPECT_EQ(Run({"slacks", tree + "/a.txt"}, &out), 2) << "a file is not a folder: " << out;
    EXPECT_EQ(Run({"slacks", "--hex", tree}, &out), 2) << "--hex needs --show: " << out;
    EXPECT_EQ(Run({"slacks", "--show", tree + "/missing"}, &out), 2) << out;
    EXPECT_EQ(Run({"slacks", "--show", tree + "/link"}, &out), 2) << out;
    EXPECT_NE(out.find("not a regular file"), std::string::npos) << out;
    ASSERT_EQ(Run({"slacks", "--help"}, &out), 0) << out;
    EXPECT_NE(out.find("--show"), std::string::npos) << out;
    EXPECT_NE(out.find("--hex"), std::string::npos) << out;
    EXPECT_NE(out.find("--json"), std::string::npos) << out;
}

// ---------------------------------------------------------------- slack and deep-clean

// The dry run prints the plan and changes nothing. A file the real run would refuse
// (locked by another program) is listed as refused by the dry run, which then exits as
// the real run does; a name with a control character is printed escaped, so it cannot
// split a plan line.
TEST_F(SlackCli, DryRunPrintsThePlanShowsRefusalsAndExitsAsTheRealRunWould) {
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

    ASSERT_TRUE(test::WriteFileBytes(tree + "/evil\nname.txt", "e"));
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
    EXPECT_EQ(test::ReadFileBytes(tree + "/a.txt"), "alpha");
    EXPECT_NE(LogText().find("Could not wipe slack in file: " + tree + "/a.txt File Size: 5 (b) " +
                             "Cluster size: " + std::to_string(cluster) +
                             " Number Of Clusters: 1 Total slack wiped: " +
                             std::to_string(cluster - 5) + " (b)"),
              std::string::npos)
        << LogText();

    // Bad arguments and unsafe targets.
    EXPECT_EQ(Run({"slack", "--passes", "0", tree}, &out), 2) << out;
    EXPECT_EQ(Run({"slack", "--yes", "/proc"}, &out), 3) << out;
    EXPECT_EQ(Run({"deep-clean", "--yes", tree + "/a.txt"}, &out), 3) << out;
    EXPECT_NE(out.find("not a folder"), std::string::npos) << out;
}

TEST_F(SlackCli, DeepCleanCleansOnceAndThenFindsNothingNewToClean) {
    // A file with a second name outside the tree (cleaning it would part the names) and a
    // link to a file outside: both left alone.
    const std::string outside = dir_.Path() + "/outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    ASSERT_TRUE(test::WriteFileBytes(tree + "/linked", std::string(cluster, 'l')));
    ASSERT_EQ(link((tree + "/linked").c_str(), (outside + "/second-name").c_str()), 0);
    ASSERT_TRUE(test::WriteFileBytes(outside + "/target", "target"));
    ASSERT_EQ(symlink((outside + "/target").c_str(), (tree + "/link").c_str()), 0);
    const ino_t a = Ino(tree + "/a.txt"), linked = Ino(tree + "/linked"),
                target = Ino(outside + "/target");
    std::string out;
    const std::string receipt = dir_.Path() + "/receipt.json";
    const auto readReceipt = [&receipt] {
        return nlohmann::json::parse(test::ReadFileBytes(receipt), nullptr, false);
    };
    ASSERT_EQ(
        Run({"deep-clean", "--yes", "--passes", "1", "--verify", "--report", receipt, tree}, &out),
        0)
        << out;
    EXPECT_NE(out.find("Deep cleaned 2 files (5005 bytes, 1 overwrite)"), std::string::npos) << out;
    // The receipt: each original overwritten once over its whole clusters, read back.
    nlohmann::json r = readReceipt();
    EXPECT_EQ(r["command"], "deep-clean");
    EXPECT_EQ(r["target"]["path"], tree);
    EXPECT_EQ(r["items"].size(), 2u);
    EXPECT_EQ(r["bytesOverwritten"], cluster * 1 + ((5000 + cluster - 1) / cluster) * cluster);
    EXPECT_EQ(r["verification"]["result"], "passed");
    EXPECT_NE(Ino(tree + "/a.txt"), a);
    EXPECT_EQ(Ino(tree + "/linked"), linked);
    EXPECT_EQ(Ino(outside + "/target"), target);
    EXPECT_EQ(test::ReadFileBytes(outside + "/target"), "target");
    EXPECT_EQ(test::ReadFileBytes(tree + "/a.txt"), "alpha");
    ASSERT_EQ(Run({"deep-clean", "--dry-run", tree}, &out), 0) << out;
    EXPECT_NE(out.find("0 files to clean (0 bytes); 2 not modified since the last deep clean"),
              std::string::npos)
        << out;
    // A file edited since is cleaned again, the others are not, unless --reclean.
    const ino_t cleanedA = Ino(tree + "/a.txt");
    ASSERT_TRUE(test::WriteFileBytes(tree + "/sub/b.txt", std::string(5000, 'b')));
    ASSERT_EQ(Run({"deep-clean", "--yes", "--passes", "1", tree}, &out), 0) << out;
    EXPECT_NE(out.find("Deep cleaned 1 files (5000 bytes, 1 overwrite), 0 could not be cleaned "
                       "(0 bytes), 1 cleaned since the last deep clean"),
              std::string::npos)
        << out;
    EXPECT_EQ(Ino(tree + "/a.txt"), cleanedA);
    ASSERT_EQ(Run({"deep-clean", "--yes", "--passes", "1", "--reclean", tree}, &out), 0) << out;
    EXPECT_NE(out.find("Deep cleaned 2 files (5005 bytes"), std::string::npos) << out;
    EXPECT_NE(Ino(tree + "/a.txt"), cleanedA);
    // The stamp is keyed by the folder that was walked.
    ASSERT_EQ(Run({"settings", "list"}, &out), 0);
    EXPECT_NE(out.find("dc" + tree + "\\lastDeepCleanLo"), std::string::npos) << out;
    // The slack wipe gives that stamp to a file not modified since (so the next deep
    // clean passes it by); a newer one keeps its time, and so does any file when the
    // slack of another folder, with no stamp of its own, is wiped.
    const auto stamp = Mtime(tree + "/a.txt");
    ASSERT_NO_FATAL_FAILURE(SetMtime(tree + "/sub/b.txt", {1500000000, 0}));
    ASSERT_EQ(Run({"slack", "--yes", tree + "/sub"}, &out), 0) << out;
    EXPECT_EQ(Mtime(tree + "/sub/b.txt"), std::make_pair(time_t{1500000000}, 0L));
    ASSERT_NO_FATAL_FAILURE(SetMtime(tree + "/a.txt", {4000000000, 7}));
    // The slack wipe: files of whole clusters and empty ones have none, are left as they
    // are (times included) and are logged as such.
    ASSERT_TRUE(test::WriteFileBytes(tree + "/empty", ""));
    ASSERT_NO_FATAL_FAILURE(SetMtime(tree + "/linked", {1234567890, 987654321}));
    ASSERT_EQ(Run({"slack", "--yes", "--verify", "--report", receipt, tree}, &out), 0) << out;
    EXPECT_NE(out.find("Wiped slack in 2 files (7283 bytes of slack, 3 overwrites), 2 without "
                       "slack, 0 could not be wiped"),
              std::string::npos)
        << out;
    // The receipt names the two files with slack (the others had nothing to erase), each
    // slack written four times (three passes and the extra zero pass), all read back.
    r = readReceipt();
    EXPECT_EQ(r["command"], "slack");
    EXPECT_EQ(r["target"]["path"], tree);
    EXPECT_EQ(r["bytesOverwritten"], 7283u * 4);
    ASSERT_EQ(r["items"].size(), 2u);
    for (const auto& item : r["items"]) {
        EXPECT_EQ(item["erased"], true);
        if (item["path"] == tree + "/a.txt") {
            EXPECT_EQ(item["bytes"], (cluster - 5) * 4);
        }
    }
    EXPECT_EQ(r["method"]["passes"], 4);
    EXPECT_EQ(r["verification"]["result"], "passed");
    EXPECT_EQ(test::ReadFileBytes(tree + "/sub/b.txt"), std::string(5000, 'b'));
    EXPECT_EQ(Mtime(tree + "/sub/b.txt"), stamp);
    EXPECT_EQ(Mtime(tree + "/a.txt"), std::make_pair(time_t{4000000000}, 7L));
    struct stat st {};
    ASSERT_EQ(stat((tree + "/linked").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    EXPECT_EQ(st.st_size, cluster);
    EXPECT_NE(LogText().find("No slack to wipe in file: " + tree +
                             "/linked File Size: " + std::to_string(cluster) +
                             " (b) Cluster size: " + std::to_string(cluster) +
                             " Number Of Clusters: 1\r"),
              std::string::npos)
        << LogText();
}

// ---------------------------------------------------------------- the scanner

// The status counts the finds (the command line shows no status without a terminal); a
// stop ends the walk with what was found; a start that cannot be walked fails (the command
// line refuses those before scanning).
TEST_F(SlacksCli, StatusStopAndAStartThatCannotBeWalked) {
    test::RecordingSink sink;
    std::atomic<int> abort{0};
    test::TestOperation op;
    op.SetSink(&sink);
    CSlackScanner scanner;
    SlackScanReport rep = scanner.Scan(op, tree, "/mnt/scratch");
    ASSERT_EQ(rep.end, SlackScanEnd::Completed);
    ASSERT_GE(scanner.found().size(), 2u);
    for (const char* status : {"Searching for recoverable slacks (Found: 1 slack)",
                               "Searching for recoverable slacks (Found: 2 slacks)"})
        EXPECT_NE(std::find(sink.statuses.begin(), sink.statuses.end(), status),
                  sink.statuses.end())
            << status;
    EXPECT_EQ(sink.statuses.back(), rep.message);

    op.UseStopFlag(abort);
    scanner.onFound = [&](const SlackItem&) { abort = 1; };
    rep = scanner.Scan(op, tree, "scratch");
    EXPECT_EQ(rep.end, SlackScanEnd::Aborted);
    EXPECT_EQ(scanner.found().size(), 1u);
    EXPECT_EQ(rep.message, "Aborted search for recoverable slacks (Found 1 slack)");
    // Raised before the start: nothing is examined, and the list of an earlier scan
    // is not kept.
    scanner.onFound = nullptr;
    rep = scanner.Scan(op, tree, "scratch");
    EXPECT_EQ(rep.end, SlackScanEnd::Aborted);
    EXPECT_TRUE(scanner.found().empty());
    EXPECT_EQ(rep.message, "Aborted search for recoverable slacks (Did not find any slacks)");

    for (const std::string& start :
         {std::string("/proc/self"), tree + "/a.txt", tree + "/missing"}) {
        rep = scanner.Scan(tw::IdleOperation(), start, "scratch");
        EXPECT_EQ(rep.end, SlackScanEnd::Failed) << start;
    }
    EXPECT_NE(rep.message.find(tree + "/missing"), std::string::npos) << rep.message;
}

TEST_F(SlacksCli, SlackBytesOfFilesThatHaveNoneAreRefusedWithoutReading) {
    int reads = 0;
    const SectorReader reader = [&](uint64_t, void*, uint32_t) {
        ++reads;
        return false;
    };
    for (const char* name : {"whole", "empty", "link", "sub", "missing"}) {  // links: not followed
        const auto r = ReadFileSlack(tree + "/" + name, reader);
        ASSERT_FALSE(r.ok()) << name;
        if (name == std::string("whole")) {
            EXPECT_NE(tw::ErrorText(r.error()).find("has no slack"), std::string::npos);
        }
    }
    EXPECT_EQ(reads, 0);
}

// The size text switches at 1024 bytes; the attribute letters of live files.
TEST(SlackTexts, SizeTextAndAttributeBitsOfLiveFiles) {
    EXPECT_EQ(DetailSizeText(0), "0 (b)");
    EXPECT_EQ(DetailSizeText(1023), "1023 (b)");
    EXPECT_EQ(DetailSizeText(1024), " 1 Kb (1024 bytes)");
    EXPECT_EQ(DetailSizeText(3u << 20), "3.00 Mb (3145728 bytes)");
    using volume::AttributeText;
    EXPECT_EQ(AttributeText(LiveAttributeBits("a.txt", true, false, false, false)),
              "------n------");
    EXPECT_EQ(AttributeText(LiveAttributeBits(".a", true, false, false, false)), "----h--------");
    EXPECT_EQ(AttributeText(LiveAttributeBits("a", false, false, false, false)), "---------r---");
    EXPECT_EQ(AttributeText(LiveAttributeBits("a", true, true, false, false)), "----------s--");
    EXPECT_EQ(AttributeText(LiveAttributeBits(".a", false, false, true, true)), "-c-eh----r---");
}

}  // namespace
}  // namespace tw::wipe
