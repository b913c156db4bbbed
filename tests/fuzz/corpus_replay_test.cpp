// Every file of the fuzz corpus (tests/fuzz/corpus/<target>/, its name to stderr) through its fuzz
// entry in the ordinary build: a change that breaks a rule the targets check, or a crash they
// found, fails here.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "fuzz.h"

static void Replay(const char *target, int (*entry)(const uint8_t *, size_t))
{
    std::set<std::filesystem::path> files;
    for (const auto &e : std::filesystem::directory_iterator(
             TORVEX_SOURCE_DIR "/tests/fuzz/corpus/" + std::string(target)))
        files.insert(e.path());
    ASSERT_GE(files.size(), 3u) << target;
    for (const auto &f : files) {
        std::string bytes =
            (std::ostringstream() << std::ifstream(f, std::ios::binary).rdbuf()).str();
        fprintf(stderr, "%s\n", f.filename().c_str());
        entry(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
}

TEST(FuzzCorpus, HexFilesAgreeWithTheIndependentDecoder)
{
    Replay("hex", Fuzz_Hex);
}
TEST(FuzzCorpus, HostSendsOnlyWellFormedFramesToAHostilePeer)
{
    Replay("link", Fuzz_Link);
}
TEST(FuzzCorpus, TypedLinesKeepEveryTextSettingTerminated)
{
    Replay("line", Fuzz_Line);
}
