// SPDX-License-Identifier: GPL-3.0-or-later
// Runs files through a fuzz target's entry point without libFuzzer, so that the
// committed corpus is exercised by every ordinary test run. Arguments are files or
// folders (every regular file directly inside is run). Exit 0 when every input ran;
// a fault in the target aborts the process as it would under the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto& e : fs::directory_iterator(argv[i], ec))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (fs::exists(argv[i], ec)) {
            files.push_back(argv[i]);
        } else {
            std::fprintf(stderr, "missing %s\n", argv[i]);
            ok = false;
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", f.c_str());
            ok = false;
            continue;
        }
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("ran %zu inputs\n", files.size());
    return ok && !files.empty() ? 0 : 1;
}
