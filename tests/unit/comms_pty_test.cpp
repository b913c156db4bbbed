// The driver on a real pseudo-terminal, reached through TORVEX_COM1: line
// settings, exclusive access, one frame each way with a peer on the master
// side, a time-out that leaves early bytes queued, and close.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "COMMS.h"
#include "FLCOMMON.h"
#include "MSG.h"
#include "SERPORT.h"
#include "mem_port.h"

namespace {

class CommsPty : public ::testing::Test {
protected:
    int master = -1;
    std::string dir, link;

    void SetUp() override
    {
        Serport_Install(nullptr);
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        char tmpl[] = "/tmp/torvex-ptyXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        link = dir + "/com1";
        ASSERT_EQ(symlink(ptsname(master), link.c_str()), 0);
        setenv("TORVEX_COM1", link.c_str(), 1);
    }
    void TearDown() override
    {
        WORD s;
        Shutdown_Comms_Link(&s);
        unsetenv("TORVEX_COM1");
        unlink(link.c_str());
        rmdir(dir.c_str());
        if (master >= 0) close(master);
    }
    // Reads from the master until `count` bytes came or `ms` passed.
    Bytes Peer_Read(size_t count, int ms)
    {
        Bytes got;
        while (got.size() < count) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0) break;
            BYTE buf[4096];
            ssize_t n = read(master, buf, std::min(sizeof buf, count - got.size()));
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    void Peer_Write(const Bytes &b) { ASSERT_EQ(write(master, b.data(), b.size()), (ssize_t)b.size()); }
    static double Cpu_Seconds()
    {
        struct rusage ru;
        getrusage(RUSAGE_SELF, &ru);
        return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
               (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    }
    bool Locked_By_Someone()
    {
        int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return errno == EBUSY;  // refused by the exclusive flag
        bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
        close(fd);
        return locked;
    }
};

TEST_F(CommsPty, OpenExchangeTimeoutAndClose)
{
    WORD s = 0xFFFF;
    Init_Comms_Link(0, 48000, &s);
    ASSERT_EQ(s, E_OK);
    ASSERT_EQ(comOpen, 1);

    DWORD rate = 0;
    ASSERT_TRUE(Serport_Get_Baud(master, &rate));
    EXPECT_EQ(rate, 48000u);
    struct termios tio;
    ASSERT_EQ(tcgetattr(master, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | ICRNL), 0u);
    EXPECT_TRUE(Locked_By_Someone());

    // One frame to the peer, one back.
    std::atomic<bool> peer_ok{false};
    std::thread peer([&] {
        Bytes frame = Peer_Read(4 + 4 + 9, 2000);
        if (frame != Mem_Frame(0, {'p', 'i', 'n', 'g'})) return;
        Bytes reply = {MSG_ACK};
        Bytes answer = Mem_Frame(5, {'p', 'o', 'n', 'g', 0x0A, 0x0D, 0x11, 0x13, 0x00});
        reply.insert(reply.end(), answer.begin(), answer.end());
        if (write(master, reply.data(), reply.size()) != (ssize_t)reply.size()) return;
        peer_ok = Peer_Read(1, 2000) == Bytes{MSG_ACK};
    });
    msg_seq_num = 0;
    EXPECT_EQ(Tx_Message("ping", 4, 65535, &s), 17);
    EXPECT_EQ(s, E_OK);
    BYTE buf[16] = {};
    EXPECT_EQ(Rx_Message(buf, sizeof buf, 300, &s), 9);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(memcmp(buf, "pong\x0A\x0D\x11\x13\x00", 9), 0);  // binary bytes pass untouched
    peer.join();
    EXPECT_TRUE(peer_ok);

    // Early bytes stay queued through a time-out; the wait does not spin.
    Peer_Write({0x7E});
    BYTE two[2];
    double cpu0 = Cpu_Seconds();
    DWORD t0 = Comms_GetTime();
    EXPECT_EQ(Rx_Data(two, 2, 20, &s), 0);  // 400 ms
    EXPECT_EQ(s, E_TIME);
    EXPECT_GT(Comms_GetTime() - t0, 400u);
    EXPECT_EQ(Rx_Data(two, 1, 30, &s), 1);
    EXPECT_EQ(two[0], 0x7E);
    EXPECT_EQ(Rx_Data(two, 1, 30, &s), 0);  // 300 ms of silence, blocked in poll
    EXPECT_EQ(s, E_TIME);
    EXPECT_LT(Cpu_Seconds() - cpu0, 0.25);

    Shutdown_Comms_Link(&s);
    EXPECT_EQ(s, E_OK);
    EXPECT_EQ(comOpen, 0);
    EXPECT_FALSE(Locked_By_Someone());  // exclusive access given back
}

TEST_F(CommsPty, SettingsRestoredAndReopenWorks)
{
    struct termios before;
    ASSERT_EQ(tcgetattr(master, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    WORD s;
    Init_Comms_Link(0, 9600, &s);
    ASSERT_EQ(s, E_OK);
    Init_Comms_Link(0, 115200, &s);  // baud change re-opens the port
    ASSERT_EQ(s, E_OK);
    DWORD rate = 0;
    ASSERT_TRUE(Serport_Get_Baud(master, &rate));
    EXPECT_EQ(rate, 115200u);
    Shutdown_Comms_Link(&s);
    EXPECT_EQ(s, E_OK);
    struct termios after;
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

TEST_F(CommsPty, PortInUseFailsTheOpenWithAnExplanation)
{
    int other = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    testing::internal::CaptureStdout();
    WORD s = 0;
    Init_Comms_Link(0, 9600, &s);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(s, E_OPEN_COM);
    EXPECT_EQ(comOpen, 0);
    EXPECT_EQ(out, "COM1 is " + link + ": Device or resource busy (in use by another program)\n");
    close(other);
    Init_Comms_Link(0, 9600, &s);
    EXPECT_EQ(s, E_OK);
}

TEST_F(CommsPty, MissingDeviceSaysWhy)
{
    std::string gone = dir + "/nothing";
    setenv("TORVEX_COM1", gone.c_str(), 1);
    testing::internal::CaptureStdout();
    WORD s = 0;
    Init_Comms_Link(0, 9600, &s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "COM1 is " + gone + ": No such file or directory\n");
    EXPECT_EQ(s, E_OPEN_COM);
}

TEST_F(CommsPty, NotATerminalFailsReadingSettings)
{
    std::string plain = dir + "/plain";
    int fd = open(plain.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("TORVEX_COM1", plain.c_str(), 1);
    testing::internal::CaptureStdout();
    WORD s = 0;
    Init_Comms_Link(0, 9600, &s);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(s, E_GET_STATE);
    EXPECT_EQ(comOpen, 0);
    EXPECT_NE(out.find("Inappropriate ioctl for device"), std::string::npos) << out;
    unlink(plain.c_str());
}

}  // namespace
