// SPDX-License-Identifier: GPL-3.0-or-later
// A temporary folder for one test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tw::test {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tw-test-XXXXXX").string();
        char* p = mkdtemp(tmpl.data());
        path_ = p ? p : "";
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& leaf) const { return path_ + "/" + leaf; }

private:
    std::string path_;
};

}  // namespace tw::test
