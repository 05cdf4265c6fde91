// SPDX-License-Identifier: GPL-3.0-or-later
// Recycle Bin auto-wiping by the running guard, on the home Trash of a temporary data
// home: what arrives is wiped, what was there stays, the setting is followed.
#include "tests/guard/autowipe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/guard/guard_harness.h"

using tw::shell::BusMessage;
using tw::shell::Message;
using tw::test::GuardWorld;

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

class AutoWipeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_BUS();
        ASSERT_TRUE(w_.Ok()) << "could not start a private dbus-daemon";
        docs_ = w_.World().Sub("docs");
        trash_ = w_.World().Sub("data") + "/Trash";
        mkdir(docs_.c_str(), 0755);
        w_.SetDword("EnableSecureDeletion", 1);
        w_.SetDword("NumOverwrites", 2);
        w_.SetDword("SaveToLogfile", 1);
        w_.SetDword("logAutoWiping", 1);
    }

    std::string Make(const std::string& name) {
        const std::string path = docs_ + "/" + name;
        EXPECT_TRUE(tw::test::WriteFileBytes(path, "content of " + name + "\n"));
        return path;
    }
    bool InTrash(const std::string& name) {
        return Exists(trash_ + "/files/" + name) || Exists(trash_ + "/info/" + name + ".trashinfo");
    }
    // Changes a setting the way the panel does: store, then broadcast, then a query
    // round trip so that the guard has acted on it.
    void Change(const std::string& name, uint32_t v, const tw::test::GuardProcess& g) {
        w_.SetDword(name, v);
        ASSERT_TRUE(w_.Bus().Broadcast(Message::SettingsChangedMessage, 0));
        ASSERT_TRUE(w_.Sync(g));
    }

    GuardWorld w_;
    std::string docs_, trash_;
};

TEST_F(AutoWipeTest, WipesEveryArrivalAndFollowsTheSetting) {
    ASSERT_TRUE(tw::test::TrashIt(Make("before.txt")));  // in the bin before the guard
    auto g = w_.StartGuard();
    ASSERT_TRUE(w_.WaitUp(*g)) << g->Stderr();

    size_t mark = w_.Mark();
    ASSERT_TRUE(tw::test::TrashIt(Make("secret.txt")));
    ASSERT_TRUE(w_.Find(GuardWorld::Is(Message::BinChangedMessage, g->Sender()), 10000, mark))
        << g->Stderr();
    EXPECT_FALSE(InTrash("secret.txt"));
    EXPECT_FALSE(Exists(docs_ + "/secret.txt"));  // wiped in the bin, not put back
    EXPECT_TRUE(InTrash("before.txt"));           // only arrivals are wiped
    EXPECT_NE(w_.LogText().find("Wiped file: secret.txt from the recycle bin"), std::string::npos)
        << w_.LogText();
    EXPECT_TRUE(w_.Find(GuardWorld::Is(Message::LogLineMessage, g->Sender()), 0, mark));

    // A folder is an item too.
    mkdir((docs_ + "/album").c_str(), 0755);
    Make("album/one.jpg");
    Make("album/two.jpg");
    mark = w_.Mark();
    ASSERT_TRUE(tw::test::TrashIt(docs_ + "/album"));
    ASSERT_TRUE(w_.Find(GuardWorld::Is(Message::BinChangedMessage, g->Sender()), 10000, mark));
    EXPECT_FALSE(InTrash("album"));

    // Switched off: what arrives now stays in the bin.
    Change("EnableSecureDeletion", 0, *g);
    mark = w_.Mark();
    ASSERT_TRUE(tw::test::TrashIt(Make("kept.txt")));
    EXPECT_FALSE(w_.Find(GuardWorld::Is(Message::BinChangedMessage, g->Sender()), 1000, mark));
    EXPECT_TRUE(InTrash("kept.txt"));

    // On again, with the auto-wiping log category off: wiped, not logged. kept.txt
    // arrived while it was off and stays.
    w_.SetDword("logAutoWiping", 0);
    Change("EnableSecureDeletion", 1, *g);
    mark = w_.Mark();
    ASSERT_TRUE(tw::test::TrashIt(Make("quiet.txt")));
    ASSERT_TRUE(w_.Find(GuardWorld::Is(Message::BinChangedMessage, g->Sender()), 10000, mark));
    EXPECT_FALSE(InTrash("quiet.txt"));
    EXPECT_TRUE(InTrash("kept.txt"));
    EXPECT_EQ(w_.LogText().find("quiet.txt"), std::string::npos) << w_.LogText();
}
