// Every file of the fuzz corpus (tests/fuzz/corpus/<target>/) through its
// fuzz entry in the ordinary build: a change that breaks a rule the fuzzers
// check, or brings back a crash they found, fails here without clang.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz.h"

namespace fs = std::filesystem;

static void Replay(const char *target, int (*entry)(const uint8_t *, size_t))
{
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(fs::path(TORVEX_SOURCE_DIR) / "tests/fuzz/corpus" / target))
        files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 3u) << target;
    for (const fs::path &f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fprintf(stderr, "%s\n", f.filename().c_str());  // names the file behind an abort
        entry(bytes.data(), bytes.size());
    }
}

TEST(FuzzCorpus, Hex) { Replay("hex", Fuzz_Hex); }
TEST(FuzzCorpus, Link) { Replay("link", Fuzz_Link); }
TEST(FuzzCorpus, Line) { Replay("line", Fuzz_Line); }
