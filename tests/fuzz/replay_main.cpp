// SPDX-License-Identifier: GPL-3.0-or-later
// Runs files through a fuzz target's entry point without libFuzzer, so that the
// committed corpus is exercised by every ordinary test run. Arguments are files or
// folders (every regular file directly inside is run). Exit 0 when every input ran;
// a fault in the target aborts the process as it would under the fuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool RunFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    size_t ran = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        struct stat st {};
        if (stat(argv[i], &st) != 0) {
            std::fprintf(stderr, "missing %s\n", argv[i]);
            ok = false;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            ok = RunFile(argv[i]) && ok;
            ++ran;
            continue;
        }
        std::vector<std::string> files;
        if (DIR* d = opendir(argv[i])) {
            while (dirent* e = readdir(d)) {
                std::string p = std::string(argv[i]) + "/" + e->d_name;
                if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(p);
            }
            closedir(d);
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            ok = RunFile(f) && ok;
            ++ran;
        }
    }
    std::printf("ran %zu inputs\n", ran);
    return ok && ran > 0 ? 0 : 1;
}
