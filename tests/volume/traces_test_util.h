// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the trace-wiping tests on real volumes: reading image files, and the
// search run on an image.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"
#include "volume/search.h"

namespace tw::volume::testing {

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// `size` bytes of numbered copies of `line`: text that is easy to find in an image and
// never one repeated byte.
inline std::string Repeat(const std::string& line, size_t size) {
    std::string s;
    for (size_t i = 0; s.size() < size; ++i) s += line + " " + std::to_string(i) + "\n";
    s.resize(size);
    return s;
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
