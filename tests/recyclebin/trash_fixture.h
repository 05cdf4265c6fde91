// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the Trash tests: a private home (HOME, XDG_DATA_HOME and the settings
// folder point into a temporary folder), a recording progress sink, and helpers that
// lay out trash directories by hand.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/operation.h"
#include "recyclebin/store.h"
#include "recyclebin/trashinfo.h"
#include "recyclebin/tree_ops.h"
#include "tests/common/recording_sink.h"
#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"

namespace tw::test {

// Single-quotes `s` for a shell command line.
inline std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a shell command line; gives the exit status and stdout+stderr in `out`.
inline int Shell(const std::string& cmd, std::string* out = nullptr) {
    std::string full = cmd + " 2>&1";
    FILE* p = popen(full.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int st = pclose(p);
    if (out) *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

class TrashFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.Ok());
        home = tmp.Path() + "/home";
        dataHome = home + "/.local/share";
        work = tmp.Path() + "/work";
        mkdir(home.c_str(), 0700);
        mkdir(work.c_str(), 0700);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
        setenv("TIDEWIPE_CONFIG_HOME", (tmp.Path() + "/config").c_str(), 1);
        PrivateLogFolder(tmp.Path() + "/config");
        setenv("XDG_RUNTIME_DIR", tmp.Path().c_str(), 1);
        // trash-cli prints non-ASCII names only under a UTF-8 locale.
        setenv("LC_ALL", "C.UTF-8", 1);
        setenv("PYTHONIOENCODING", "utf-8", 1);
        op.SetSink(&sink);
        op.UseStopFlag(abortFlag);
    }

    std::string HomeTrash() const { return dataHome + "/Trash"; }

    // A store of the home trash alone, its enumeration lock in the test's folder.
    std::unique_ptr<recyclebin::CRecycleBinStore> HomeStore(const std::string& lock = "") {
        auto s = std::make_unique<recyclebin::CRecycleBinStore>(lock.empty() ? tmp.Path() + "/lock"
                                                                             : lock);
        s->SetBinFolders({recyclebin::BinFolder{HomeTrash(), dataHome, true}});
        return s;
    }

    // tidewipe-cli with `args` and no terminal; the exit status, stdout+stderr in `out`.
    int Cli(const std::string& args, std::string* out = nullptr) {
        return Shell("</dev/null " + Quote(CliPath()) + " " + args, out);
    }

    // A hand-made item: info/<name>.trashinfo with `infoText` and files/<name> holding
    // `content` (a folder when `content` is null).
    void MakeItem(const std::string& trashDir, const std::string& name, const std::string& infoText,
                  const char* content = "data") {
        for (const std::string& d : {trashDir + "/info", trashDir + "/files"})
            ASSERT_TRUE(recyclebin::MakeFolders(d).ok()) << d;
        ASSERT_TRUE(WriteFileBytes(trashDir + "/info/" + name + ".trashinfo", infoText));
        const std::string data = trashDir + "/files/" + name;
        if (content)
            ASSERT_TRUE(WriteFileBytes(data, content));
        else
            ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    }

    bool Exists(const std::string& p) const {
        struct stat st {};
        return lstat(p.c_str(), &st) == 0;
    }

    TempDir tmp{"trash"};
    std::string home, dataHome, work;
    RecordingSink sink;
    std::atomic<int> abortFlag{0};
    tw::test::TestOperation op;
};

inline bool HaveTrashCli() {
    return Shell("command -v trash-put && command -v trash-list && command -v trash-restore") == 0;
}

}  // namespace tw::test
