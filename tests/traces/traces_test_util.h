// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the trace-wiping tests on real volumes: running tidewipe-cli with a
// private settings folder, reading image files, and the search run on an image.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/common/scratch_volume.h"
#include "volume/search.h"

namespace tw::volume::testing {

// Runs tidewipe-cli with `args`, stdin from /dev/null (no terminal: nothing is
// confirmed without --yes), settings in `configHome`. Output is stdout and stderr.
inline int RunCliTool(const std::string& configHome, const std::vector<std::string>& args,
                      std::string* output) {
    std::vector<std::string> argv{"sh", "-c", "exec \"$0\" \"$@\" </dev/null", TW_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env{"env", "TIDEWIPE_CONFIG_HOME=" + configHome,
                                 "TIDEWIPE_POWEROFF_COMMAND=true"};
    env.insert(env.end(), argv.begin(), argv.end());
    return test::RunTool(env, output);
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A name as UTF-16LE bytes, the way NTFS and FAT long names store it.
inline std::string Utf16(const std::string& ascii) {
    std::string s;
    for (char c : ascii) {
        s += c;
        s += '\0';
    }
    return s;
}

// The search on an image file; `volumeOut` receives the NTFS volume when given.
inline std::vector<RecoverableFile> SearchImage(const std::string& image,
                                                SearchReport* report = nullptr) {
    CRawDriveRef drive;
    SearchContext ctx;
    ctx.driveText = "/";
    ctx.drive = &drive;
    SearchReport rep = SearchDrive(ctx, image, image);
    if (report) *report = rep;
    return std::move(ctx.found);
}

inline const RecoverableFile* FindByName(const std::vector<RecoverableFile>& found,
                                         const std::string& name) {
    for (const auto& f : found)
        if (f.name == name) return &f;
    return nullptr;
}

// "fsck.fat -n" / "ntfsfix -n" output without lines that name the program's version.
inline std::string WithoutFirstLine(const std::string& s) {
    auto nl = s.find('\n');
    return nl == std::string::npos ? std::string() : s.substr(nl + 1);
}

}  // namespace tw::volume::testing
