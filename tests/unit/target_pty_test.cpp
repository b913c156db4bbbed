// The board's pseudo-terminal: the link path, and the host's line rate as
// seen from the board's side.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "vboard.h"

using namespace vboard;

namespace {

std::string Scratch_Link()
{
    char dir[] = "/tmp/vb_pty_XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return std::string(dir) + "/com1";
}

void Set_Host_Rate(int fd, speed_t code)
{
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
}

TEST(BoardPty, LinkLeadsToARawLineWhoseHostRateTheBoardSees)
{
    std::string link = Scratch_Link();
    char err[256] = "";
    int master = Pty_Open(link.c_str(), 9600, err, sizeof err);
    ASSERT_GE(master, 0) << err;
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Pty_Host_Baud(master), 9600u);

    int host = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    termios t;
    ASSERT_EQ(tcgetattr(host, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << "raw: no echo, no line editing";
    Set_Host_Rate(host, B38400);
    EXPECT_EQ(Pty_Host_Baud(master), 38400u);
    Set_Host_Rate(host, B115200);
    EXPECT_EQ(Pty_Host_Baud(master), 115200u);

    // Bytes pass unchanged both ways, control bytes included.
    const unsigned char out[] = {0x02, 0x0D, 0x0A, 0x03, 0x11, 0x13, 0xFF};
    ASSERT_EQ(write(host, out, sizeof out), ssize_t(sizeof out));
    usleep(20000);
    unsigned char in[16] = {};
    ASSERT_EQ(read(master, in, sizeof in), ssize_t(sizeof out));
    EXPECT_EQ(0, memcmp(in, out, sizeof out));
    close(host);

    Pty_Close(master, link.c_str());
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed";
    rmdir(link.substr(0, link.rfind('/')).c_str());
}

TEST(BoardPty, RefusesToReplaceARealFile)
{
    std::string link = Scratch_Link();
    FILE *f = fopen(link.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    char err[256] = "";
    EXPECT_LT(Pty_Open(link.c_str(), 9600, err, sizeof err), 0);
    EXPECT_NE(std::string(err).find("not a symbolic link"), std::string::npos) << err;
    remove(link.c_str());
    rmdir(link.substr(0, link.rfind('/')).c_str());
}

}  // namespace
