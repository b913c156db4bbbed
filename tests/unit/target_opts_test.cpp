// torvex-target's command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vboard.h"

using namespace vboard;

namespace {

struct Parsed {
    bool ok;
    bool help;
    BOARD_CONFIG cfg;
    std::string err;
};

Parsed Parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "torvex-target");
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    Parsed p{};
    char err[128] = "";
    p.ok = Parse_Args(int(argv.size()), argv.data(), &p.cfg, &p.help, err, sizeof err);
    p.err = err;
    return p;
}

TEST(BoardOptions, DefaultsPlayBoard3WithACurrentMonitorAt9600)
{
    Parsed p = Parse({"--link", "/tmp/x"});
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_STREQ(p.cfg.link_path, "/tmp/x");
    EXPECT_EQ(p.cfg.board, 3);
    EXPECT_EQ(p.cfg.version, 0x0251);
    EXPECT_EQ(p.cfg.prog_id, 1);
    EXPECT_EQ(p.cfg.boot_addr, 0x03FFA000u);
    EXPECT_EQ(p.cfg.reset_baud, 9600u);
    EXPECT_FALSE(p.cfg.pace);
    EXPECT_FALSE(p.cfg.silent);
    EXPECT_EQ(p.cfg.image_path[0], '\0');
}

TEST(BoardOptions, EveryOptionIsTaken)
{
    Parsed p = Parse({"--link", "l", "--board", "4", "--image", "i.img", "--trace", "t.jsonl",
                      "--version", "0240", "--prog-id", "12", "--boot-addr", "0x03FFC000",
                      "--baud", "38400", "--pace", "--corrupt-rate", "0.25", "--drop-rate", "1",
                      "--out-corrupt-rate", "0", "--nak-first", "3", "--silent", "--seed", "99"});
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.cfg.board, 4);
    EXPECT_STREQ(p.cfg.image_path, "i.img");
    EXPECT_STREQ(p.cfg.trace_path, "t.jsonl");
    EXPECT_EQ(p.cfg.version, 0x0240) << "the version is hexadecimal";
    EXPECT_EQ(p.cfg.prog_id, 12);
    EXPECT_EQ(p.cfg.boot_addr, 0x03FFC000u);
    EXPECT_EQ(p.cfg.reset_baud, 38400u);
    EXPECT_TRUE(p.cfg.pace);
    EXPECT_DOUBLE_EQ(p.cfg.corrupt_rate, 0.25);
    EXPECT_DOUBLE_EQ(p.cfg.drop_rate, 1.0);
    EXPECT_EQ(p.cfg.nak_first, 3u);
    EXPECT_TRUE(p.cfg.silent);
    EXPECT_EQ(p.cfg.seed, 99u);
}

TEST(BoardOptions, BadCommandLinesAreRefusedWithTheReason)
{
    struct {
        std::vector<std::string> words;
        const char *reason;
    } bad[] = {
        {{}, "--link"},
        {{"--link"}, "needs a value"},
        {{"--link", "l", "--board", "0"}, "--board"},
        {{"--link", "l", "--board", "5"}, "--board"},
        {{"--link", "l", "--board", "3x"}, "--board"},
        {{"--link", "l", "--version", "10000"}, "--version"},
        {{"--link", "l", "--boot-addr", "-1"}, "--boot-addr"},
        {{"--link", "l", "--baud", "0"}, "--baud"},
        {{"--link", "l", "--drop-rate", "1.5"}, "--drop-rate"},
        {{"--link", "l", "--corrupt-rate", "nan"}, "--corrupt-rate"},
        {{"--link", "l", "--seed", "4294967296"}, "--seed"},
        {{"--link", "l", "--fast"}, "unknown option"},
        {{"--link", std::string(600, 'x')}, "--link"},
    };
    for (auto &b : bad) {
        Parsed p = Parse(b.words);
        EXPECT_FALSE(p.ok) << b.reason;
        EXPECT_NE(p.err.find(b.reason), std::string::npos) << p.err;
    }
    Parsed h = Parse({"--help"});
    EXPECT_TRUE(h.ok && h.help);
}

}  // namespace
