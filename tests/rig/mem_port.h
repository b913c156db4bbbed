// In-memory serial peer behind the driver's platform table; waits advance a virtual clock.
#ifndef MEM_PORT_H
#define MEM_PORT_H

#include <gtest/gtest.h>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>
#include "CTCOMMON.h"
#include "MSG.h"

typedef std::vector<BYTE> Bytes;

struct MEM_PORT_STATE {
    DWORD now = 0;                                      // virtual milliseconds
    std::deque<BYTE> rx;                                // queued for the host to read
    Bytes tx;                                           // everything the host wrote
    std::vector<std::pair<DWORD, Bytes>> pending;       // deliveries at a virtual time
    std::function<void(const BYTE *, size_t)> on_write; // the peer's reaction
    bool hold_output = false, no_write_room = false; // output never drains; writes accept nothing
    DWORD out_queued = 0, hang_up_at = 0xFFFFFFFF;   // the line hangs up at this virtual time
    bool trickle = false;                            // queued output leaves a byte per look
    int fail_open_errno = 0;                         // open fails with this errno
    bool fail_get_state = false, fail_setup = false, fail_set_state = false;
    bool fail_purge = false, fail_close = false, is_open = false;
    std::string calls; // in order: open <path>, set <baud>, purge (of output), write, drain, close
    unsigned long waits = 0; // wait and sleep calls
};

MEM_PORT_STATE &Mem_Port();
// Resets the state and installs the in-memory table; Remove puts the POSIX table back.
void Mem_Port_Install(DWORD start_ms = 0);
void Mem_Port_Remove();
// Queues bytes for the host to read from at_ms on (now when not given).
void Mem_Port_Deliver(const Bytes &bytes, DWORD at_ms = Mem_Port().now);

// Independent frame encoder for expectations: header, data, trailer.
Bytes Mem_Frame(BYTE seq, const Bytes &data);
DWORD Mem_Sum(const Bytes &bytes);
// Hands each whole frame the host sends to the callback (bytes outside frames are skipped).
void Mem_Port_On_Frames(std::function<void(const Bytes &frame)> on_frame);
// A monitor: ACKs every frame and answers respond(request data) as a frame unless it is empty.
void Mem_Port_Monitor(std::function<Bytes(const Bytes &request)> respond);

// What f printed on standard output.
template <class F> std::string Stdout_Of(F f)
{
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

class Mem_Link_Test : public ::testing::Test { // the peer behind an open message link on COM1
protected:
    WORD link_status = 0xFFFF;
    void SetUp() override
    {
        Mem_Port_Install(0);
        Init_Message_Link(0, 9600, &link_status);
        ASSERT_EQ(link_status, E_OK);
    }
    void TearDown() override
    {
        Shutdown_Message_Link(&link_status);
        Mem_Port_Remove();
    }
};

#endif
