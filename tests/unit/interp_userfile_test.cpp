// Case-insensitive resolution of user file names, component by component.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "flashu.h"
#include "run_torvex.h"

namespace {

class UserFiles : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir(dir.file("Data").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.file("Data/Sub").c_str(), 0755), 0);
        dir.write("Data/Sub/app.hex", "hex");
        dir.write("b.TXT", "lower");
        dir.write("B.txt", "upper");
        ASSERT_EQ(mkdir(dir.file("prog").c_str(), 0755), 0);
    }
    std::string Resolve(const std::string &typed)
    {
        char out[TEXT_FIELD_SIZE * 2];
        if (!Resolve_User_Path(typed.c_str(), out, sizeof out)) return "<none>";
        return out;
    }
    Scratch_Dir dir;
};

TEST_F(UserFiles, ExactThenFoldedPerComponent)
{
    const std::string base = dir.path() + "/";
    EXPECT_EQ(Resolve(base + "Data/Sub/app.hex"), base + "Data/Sub/app.hex");
    EXPECT_EQ(Resolve(base + "DATA/SUB/APP.HEX"), base + "Data/Sub/app.hex");
    EXPECT_EQ(Resolve(base + "data//sub/./APP.hex"), base + "Data/Sub/./app.hex");
    EXPECT_EQ(Resolve(base + "B.TXT"), base + "B.txt");   // first in sorted order
    EXPECT_EQ(Resolve(base + "b.TXT"), base + "b.TXT");   // exact match wins
    EXPECT_EQ(Resolve(base + "DATA/NOPE/APP.HEX"), "<none>");
    EXPECT_EQ(Resolve(""), "<none>");
    char tiny[8];
    EXPECT_FALSE(Resolve_User_Path((base + "DATA").c_str(), tiny, sizeof tiny));
}

TEST_F(UserFiles, OpenReadsFilesNeverDirectoriesAndCreatesAsTyped)
{
    const std::string base = dir.path() + "/";
    FILE *f = Open_User_File((base + "DATA/SUB/APP.HEX").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[8] = {};
    EXPECT_EQ(fread(buf, 1, 3, f), 3u);
    EXPECT_STREQ(buf, "hex");
    fclose(f);
    EXPECT_EQ(Open_User_File((base + "PROG").c_str(), "r"), nullptr);
    EXPECT_FALSE(File_Found((base + "PROG").c_str()));
    EXPECT_TRUE(File_Found((base + "B.TXT").c_str()));
    EXPECT_FALSE(File_Found((base + "MISSING").c_str()));
    ASSERT_EQ(mkfifo(dir.file("pipe.flc").c_str(), 0644), 0);
    EXPECT_FALSE(File_Found((base + "PIPE.FLC").c_str()));   // would block or never end

    FILE *w = Open_User_File((base + "DATA/NEW.BIN").c_str(), "wb");
    ASSERT_NE(w, nullptr);
    fclose(w);
    EXPECT_TRUE(dir.exists("Data/NEW.BIN"));
    EXPECT_EQ(Open_User_File((base + "NODIR/NEW.BIN").c_str(), "wb"), nullptr);
}

}  // namespace
