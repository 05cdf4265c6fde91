// SPDX-License-Identifier: GPL-3.0-or-later
// slacks DIR [--json]: the files below DIR whose slack still lies on the disk.
// slacks --show PATH [--hex] [--json]: the slack bytes of one file, read from the volume.
// Both only read.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "cli/cli.h"
#include "platform/drives.h"
#include "platform/fileio.h"
#include "platform/filetime.h"
#include "platform/format.h"
#include "volume/item_clusters.h"
#include "volume/raw_drive.h"
#include "volume/recoverable.h"
#include "wipe/slack_scan.h"
#include "wipe/walker.h"

namespace tw::cli {
namespace {

struct SlacksOptions {
    std::string dir;
    std::string show;
    bool hex = false;
    bool json = false;
};

std::string Canonical(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return {};
    std::string s = real;
    std::free(real);
    return s;
}

nlohmann::json ItemJson(const wipe::SlackItem& s) {
    nlohmann::json j = {{"size", s.sizeBytes},
                        {"slack", s.slackBytes},
                        {"cluster_size", s.clusterSize},
                        {"last_cluster", nullptr},
                        {"created", IsoUtc(s.created)},
                        {"modified", IsoUtc(s.modified)},
                        {"attributes", volume::AttributeText(s.attributeBits)},
                        {"compressed", s.compressed}};
    if (s.lastClusterKnown) j["last_cluster"] = s.lastCluster;
    JsonName(j, "path", s.path);
    return j;
}

void PrintTable(const std::vector<wipe::SlackItem>& items) {
    size_t width = std::string("Slack at end of file").size();
    for (const auto& s : items) width = std::max(width, Printable(s.path).size());
    auto row = [&](const std::string& a, const std::string& b, const std::string& c,
                   const std::string& d) {
        const std::string name = Printable(a);
        std::string line = name + std::string(width - std::min(width, name.size()), ' ');
        line += "  " + std::string(12 - std::min<size_t>(12, b.size()), ' ') + b;
        line += "  " + std::string(6 - std::min<size_t>(6, c.size()), ' ') + c;
        line += "  " + d;
        std::cout << line << "\n";
    };
    row("Slack at end of file", "Size", "Slack", "Last cluster");
    for (const auto& s : items)
        row(s.path, std::to_string(s.sizeBytes), std::to_string(s.slackBytes), s.LastClusterText());
}

void RunList(Env& env, const SlacksOptions& o) {
    const std::string folder = Canonical(o.dir);
    struct stat st {};
    if (folder.empty() || lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        PrintError(o.dir + ": no such folder");
        return env.Fail(kUsage);
    }
    if (wipe::IsPseudoFileSystemPath(folder)) {
        PrintError(folder + ": system pseudo file systems are never searched");
        return env.Fail(kRefused);
    }
    const auto mount = MountOf(folder);
    const std::string driveName = mount ? mount->mountPoint : folder;

    CommandOperation progress(env.Log());
    Operation& op = progress.Op();
    wipe::CCountingWalk counting;
    counting.Start(op, folder, 0, {});
    wipe::CSlackScanner scanner;
    const wipe::SlackScanReport rep = scanner.Scan(op, folder, driveName, &counting);
    counting.Join();
    progress.Finish();

    if (rep.end == wipe::SlackScanEnd::Failed) {
        PrintError(rep.message);
        return env.Fail(kFailed);
    }
    if (o.json) {
        nlohmann::json items = nlohmann::json::array();
        for (const auto& s : scanner.found()) items.push_back(ItemJson(s));
        nlohmann::json j = {{"result", rep.message},
                            {"aborted", rep.end == wipe::SlackScanEnd::Aborted},
                            {"count", scanner.found().size()},
                            {"slacks", items}};
        JsonName(j, "folder", folder);
        JsonName(j, "drive", driveName);
        PrintJson(j);
    } else {
        if (scanner.found().empty())
            std::cout << "No items to display\n";
        else
            PrintTable(scanner.found());
        Out(rep.message);
    }
    if (rep.end == wipe::SlackScanEnd::Aborted) env.Fail(kFailed);
}

// 16 bytes a line: offset in the cluster, hex, the filtered text.
void PrintHex(std::span<const uint8_t> bytes, size_t firstOffset) {
    for (size_t i = 0; i < bytes.size(); i += 16) {
        const size_t n = std::min<size_t>(16, bytes.size() - i);
        std::string line = StrPrintf("%08zx  ", firstOffset + i);
        for (size_t k = 0; k < 16; ++k) {
            line += k < n ? StrPrintf("%02x ", bytes[i + k]) : "   ";
            if (k == 7) line += ' ';
        }
        line += " |" + volume::FilteredText(bytes.subspan(i, n)) + "|";
        std::cout << line << "\n";
    }
}

void RunShow(Env& env, const SlacksOptions& o) {
    std::string path = o.show;
    if (!o.dir.empty() && !path.empty() && path[0] != '/') path = platform::JoinPath(o.dir, path);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        PrintError(path + ": no such file");
        return env.Fail(kUsage);
    }
    if (!S_ISREG(st.st_mode)) {
        PrintError(path + ": not a regular file (links are not followed)");
        return env.Fail(kUsage);
    }
    const auto source = wipe::SlackViewSource(path);
    if (!source) {
        PrintError(ErrorText(source.error()));
        return env.Fail(kRefused);
    }
    volume::CRawDriveRef drive;
    if (access(source.value().c_str(), R_OK) != 0 || !drive.Open(source.value(), false)) {
        PrintError(wipe::SlackViewDeniedText());
        if (drive.Failure()) Note(ErrorText(*drive.Failure()));
        return env.Fail(kRefused);
    }
    const auto bytes =
        wipe::ReadFileSlack(path, [&drive](uint64_t sector, void* buffer, uint32_t count) {
            return drive.Read(sector, buffer, count);
        });
    drive.Close();
    if (!bytes) {
        PrintError(ErrorText(bytes.error()));
        return env.Fail(kFailed);
    }
    const wipe::FileSlackBytes& b = bytes.value();
    const auto slack = b.Slack();
    if (o.json) {
        std::string hex;
        for (uint8_t c : slack) hex += StrPrintf("%02x", c);
        nlohmann::json j = {{"size", b.sizeBytes},           {"slack", slack.size()},
                            {"cluster_size", b.clusterSize}, {"last_cluster", b.lastCluster},
                            {"slack_offset", b.slackOffset}, {"slack_hex", hex}};
        JsonName(j, "path", b.path);
        PrintJson(j);
        return;
    }
    std::cout << "File Path: " << Printable(b.path) << "\n"
              << "File Size: " << wipe::DetailSizeText(b.sizeBytes) << "\n"
              << "Slack Size: " << wipe::DetailSizeText(slack.size()) << "\n"
              << "Last cluster: " << b.lastCluster << " (bytes " << b.slackOffset << " to "
              << b.clusterSize - 1 << " of the cluster are slack)\n";
    if (o.hex)
        PrintHex(slack, b.slackOffset);
    else
        std::cout << volume::FilteredText(slack) << "\n";
}

void RegisterSlacks(CLI::App& app, Env& env) {
    static SlacksOptions o;
    auto* cmd =
        app.add_subcommand("slacks",
                           "List the files below DIR whose slack still lies on the disk, or show "
                           "one file's slack bytes (--show); only reads");
    cmd->add_option("DIR", o.dir, "Folder to walk (a mount point walks the whole drive)");
    cmd->add_flag("--json", o.json, "Print the result as JSON");
    auto* show = cmd->add_option(
        "--show", o.show,
        "Print the slack bytes of this file, read from the volume (needs read access to the "
        "device or image; a relative PATH is taken below DIR)");
    cmd->add_flag("--hex", o.hex, "With --show: a hex dump instead of filtered text")->needs(show);
    cmd->callback([&env] {
        if (!o.show.empty()) return RunShow(env, o);
        if (o.dir.empty()) {
            PrintError("slacks: DIR is required (or --show PATH)");
            return env.Fail(kUsage);
        }
        RunList(env, o);
    });
}

CommandRegistrar reg(RegisterSlacks);

}  // namespace
}  // namespace tw::cli
