// Every file of tests/fuzz/corpus/<target>/ through its fuzz entry in the ordinary build.
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include "fuzz.h"

TEST(FuzzCorpus, EveryCorpusFileKeepsTheRulesOfItsTarget)
{
    for (auto [target, entry] : {std::make_pair("hex", Fuzz_Hex), std::make_pair("link", Fuzz_Link),
                                 std::make_pair("line", Fuzz_Line)}) {
        std::set<std::filesystem::path> files;
        for (const auto &e : std::filesystem::directory_iterator(
                 TORVEX_SOURCE_DIR "/tests/fuzz/corpus/" + std::string(target)))
            files.insert(e.path());
        EXPECT_GE(files.size(), 3u) << target;
        for (const auto &f : files) {
            std::string bytes =
                (std::ostringstream() << std::ifstream(f, std::ios::binary).rdbuf()).str();
            fprintf(stderr, "%s/%s\n", target, f.filename().c_str());
            entry(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        }
    }
}
