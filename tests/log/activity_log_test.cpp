// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/activity_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/common/scratch_volume.h"

namespace tw::log {
namespace {

// All times here are UTC so the expected bytes do not depend on the machine's zone.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        writer.SetFolder(dir.Path());
        writer.SetClock([this] { return now; });
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
    }
    test::TempDir dir;
    CActivityLogFile writer;
    time_t now = 1173105007;  // Monday 2007-03-05 14:30:07 UTC
};

// Byte-exact, and a new day starts a new file with its header.
TEST_F(LogTest, FileIsByteExactAndEachDayHasItsOwn) {
    EXPECT_EQ(writer.GetTodaysFileName(), dir / "2007_03_05_Monday.lnt");
    ASSERT_TRUE(writer.WriteLine("Wiped file: a.txt from the recycle bin"));
    now += 65;
    ASSERT_TRUE(writer.WriteLine("second"));
    now = 1173139199;  // 23:59:59
    ASSERT_TRUE(writer.WriteLine("before midnight"));
    EXPECT_EQ(test::ReadFileBytes(dir / "2007_03_05_Monday.lnt"),
              "Tidewipe Log File created:  Monday March 05 14:30\r\n\r\n"
              "14:30:07 -> Wiped file: a.txt from the recycle bin\r\r\n"
              "14:31:12 -> second\r\r\n23:59:59 -> before midnight\r\r\n");
    now += 2;
    ASSERT_TRUE(writer.WriteLine("after midnight"));
    EXPECT_EQ(test::ReadFileBytes(dir / "2007_03_06_Tuesday.lnt"),
              "Tidewipe Log File created:  Tuesday March 06 00:00\r\n\r\n"
              "00:00:01 -> after midnight\r\r\n");
}

TEST_F(LogTest, MessagesKeepOnlyPrintableAscii) {
    ASSERT_TRUE(
        writer.WriteLine("a\tb\nc\x80\xff"
                         "d~"));
    EXPECT_NE(test::ReadFileBytes(writer.GetTodaysFileName()).find(" -> abcd~\r\r\n"),
              std::string::npos);
    // A message that filters to nothing writes nothing, not even the file.
    CActivityLogFile other;
    other.SetFolder(dir / "sub");
    EXPECT_FALSE(other.WriteLine("\r\n\t\x81"));
    EXPECT_FALSE(std::filesystem::exists(dir / "sub"));
    EXPECT_EQ(CActivityLogFile::Filter(std::string("x\0y", 3)), "xy");
}

TEST_F(LogTest, ReadNewLastLineGivesEachRecordOnceAndStaysInsideTinyFiles) {
    CActivityLogFile reader;
    reader.SetFolder(dir.Path());
    reader.SetClock([this] { return now; });
    // Creates the file with its header; the scan finds no earlier line feed and stops
    // at the start of the file.
    EXPECT_EQ(reader.ReadNewLastLine(), "Tidewipe Log File created:  Monday March 05 14:30");
    std::ofstream(dir / "2007_03_05_Monday.lnt", std::ios::trunc) << "ab";
    EXPECT_EQ(reader.ReadNewLastLine(), "ab");

    int notified = 0;
    writer.SetNotifier([&] { ++notified; });
    ASSERT_TRUE(writer.WriteLine("one"));
    ASSERT_TRUE(writer.WriteLine("two"));
    EXPECT_EQ(notified, 2);
    // The text keeps one CR of the record's end, turned into a line feed.
    EXPECT_EQ(reader.ReadNewLastLine(), "14:30:07 -> two\n");
    EXPECT_EQ(reader.ReadNewLastLine(), "");
    ASSERT_TRUE(writer.WriteLine("x"));  // a one-character message
    EXPECT_EQ(reader.ReadNewLastLine(), "14:30:07 -> x\n");
}

TEST_F(LogTest, AMissingFolderFailsQuietly) {
    writer.SetFolder(dir / "no/such/folder");
    EXPECT_FALSE(writer.WriteLine("lost"));
    EXPECT_EQ(writer.ReadNewLastLine(), "");
    EXPECT_FALSE(LogToFile("x", nullptr));
    EXPECT_TRUE(LogToFile("x", &writer));  // true whatever the write gave
}

// Several programs append to the day's file at once: no line may be lost or torn.
TEST_F(LogTest, ConcurrentWritersInSeveralProcessesLoseNoLine) {
    constexpr int kProcs = 6, kLines = 100;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            CActivityLogFile w;
            w.SetFolder(dir.Path());
            w.SetClock([this] { return now; });
            int bad = 0;
            for (int i = 0; i < kLines; ++i)
                if (!w.WriteLine("writer " + std::to_string(p) + " line " + std::to_string(i)))
                    ++bad;
            _exit(bad);
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) {
        int status = 0;
        waitpid(k, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string all = test::ReadFileBytes(writer.GetTodaysFileName());
    EXPECT_EQ(all.rfind("Tidewipe Log File", 0), 0u);
    EXPECT_EQ(all.find("Tidewipe Log File", 1), std::string::npos);  // one header only
    std::istringstream in(all);
    std::string line;
    int records = 0;
    while (std::getline(in, line))
        if (line.find(" -> writer ") != std::string::npos) {
            ++records;
            EXPECT_EQ(line.substr(line.size() - 2), "\r\r");
        }
    EXPECT_EQ(records, kProcs * kLines);
}

}  // namespace
}  // namespace tw::log
