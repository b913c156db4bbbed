// Rebuilding the tables for the flash part the monitor reports, and reading
// them when the monitor refuses a read: against a scripted monitor on the
// in-memory serial peer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FLDATA.h"
#include "HCMDFMT.h"
#include "MSG.h"
#include "flashu.h"
#include "mem_port.h"

namespace {

template <typename T>
T V(T v)
{
    return v;
}

class FlashId : public testing::Test {
protected:
    WORD manufacturer = 0, device = 0;
    WORD read_status = 0;

    void SetUp() override
    {
        Mem_Port_Install(0);
        WORD s;
        Init_Message_Link(0, 9600, &s);
        ASSERT_EQ(s, E_OK);
        Reset_Flash_Table_Images();
        log_level = LOG_NORMAL;
        target_prog_version = 0x0251;
        boot_tbl_addr = 0x03FFA000;
        board_id = 2;
        snprintf(system_name_str, sizeof system_name_str, "%s", "RIG");
        WORD *m = &manufacturer, *d = &device, *rs = &read_status;
        Mem_Port_Monitor([m, d, rs](const Bytes &req) {
            Bytes resp = req;
            if (req.size() >= sizeof(GET_FLASH_ID_CMD_STRUCT) && req[0] == GET_FLASH_ID_CMD) {
                GET_FLASH_ID_CMD_STRUCT r;
                memcpy(&r, req.data(), sizeof r);
                r.manufacture_code = *m;
                r.device_code = *d;
                resp.assign(reinterpret_cast<BYTE *>(&r), reinterpret_cast<BYTE *>(&r) + sizeof r);
            } else if (req[0] == READ_RAM_CMD) {
                resp[1] = BYTE(*rs);
                resp[2] = BYTE(*rs >> 8);
            }
            return resp;
        });
    }
    void TearDown() override
    {
        WORD s;
        Shutdown_Message_Link(&s);
        Mem_Port_Remove();
    }
    std::string Rebuild(WORD m, WORD d)
    {
        manufacturer = m;
        device = d;
        testing::internal::CaptureStdout();
        Init_Flash_Tables();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(FlashId, OnlyTheLowByteOfTheDeviceCodeCounts)
{
    EXPECT_EQ(Rebuild(0x0089, 0x1270),
              "4 MBit Boot Block Flash detected (x16)\nFlash tables initialized\n");
    EXPECT_EQ(board_id, 1);
    EXPECT_EQ(number_device_map_entries, 7);
    EXPECT_EQ(V(boot_tbl.board_id), 1);
    EXPECT_EQ(V(boot_tbl.user_data_address), 0x03FFA400u);
    EXPECT_EQ(system_tbl_addr, 0x03FFA400u);
    EXPECT_EQ(device_map_tbl_addr, 0x03FFA800u);
    EXPECT_EQ(dir_tbl_addr, 0x03FFB000u);
    EXPECT_EQ(V(system_tbl.device_tbl.phys_size), 1224u);
    EXPECT_EQ(V(system_tbl.directory_tbl.last_phys_addr), 0x03FFB2BBu);
    EXPECT_EQ(std::string(dir_tbl[0].program_name_str), "RIG");
    // Every table counts as changed until written.
    const BYTE *last = reinterpret_cast<const BYTE *>(&last_boot_tbl);
    for (size_t i = 0; i < sizeof last_boot_tbl; i++) EXPECT_EQ(last[i], 0xFF);
    EXPECT_TRUE(Flash_Tables_Changed());
}

TEST_F(FlashId, EveryKnownPartPicksItsBoard)
{
    struct Part {
        WORD m, d, board, entries;
        const char *line;
    };
    const Part parts[] = {
        {0x0089, 0x0070, 1, 7, "4 MBit Boot Block Flash detected (x16)\n"},
        {0x0089, 0x009C, 2, 11, "8 MBit Boot Block Flash detected (x16)\n"},
        {0x8989, 0x009C, 2, 11, "8 MBit Boot Block Flash detected (x8)\n"},
        {0x0101, 0x00DA, 3, 19, "8 MBit Boot Block Flash detected (x8)\n"},
        {0x0101, 0x22C4, 4, 35, "16 MBit Boot Block Flash detected (x8)\n"},
    };
    for (const Part &p : parts) {
        EXPECT_EQ(Rebuild(p.m, p.d), std::string(p.line) + "Flash tables initialized\n");
        EXPECT_EQ(board_id, p.board);
        EXPECT_EQ(number_device_map_entries, p.entries);
    }
}

TEST_F(FlashId, OldMonitorRecordsTheShortMapInTheSystemTable)
{
    target_prog_version = 0x0240;
    Rebuild(0x0101, 0x00C4);
    EXPECT_EQ(device_map_tbl_size, 680);
    EXPECT_EQ(V(system_tbl.device_tbl.phys_size), 680u);
    EXPECT_EQ(number_device_map_entries, 35);
}

TEST_F(FlashId, UnknownPartsLeaveEverythingAsItWas)
{
    boot_tbl.boot_flags = 7;
    system_tbl_addr = 0x1234;
    number_device_map_entries = 3;
    EXPECT_EQ(Rebuild(0x0089, 0x0055),
              "Invalid Flash Device detected\n"
              "Device Manufacturers Code = 0x0089, Device ID = 0x55\n"
              "\nOperation FAILED!  Invalid flash tables\n\n");
    EXPECT_EQ(Rebuild(0x1234, 0x0070),
              "Invalid Flash Device detected\n"
              "\nOperation FAILED!  Invalid flash tables\n\n");
    EXPECT_EQ(board_id, 2);
    EXPECT_EQ(V(boot_tbl.boot_flags), 7);
    EXPECT_EQ(system_tbl_addr, 0x1234u);
    EXPECT_EQ(number_device_map_entries, 3);
    EXPECT_EQ(V(last_dir_tbl[0].dir_flags), 0);  // not filled for a rebuild
}

TEST_F(FlashId, RefusedReadIsReportedOnceAndStopsTheRead)
{
    read_status = E_PARAM;
    WORD status = 0;
    testing::internal::CaptureStdout();
    Read_Flash_Tables(&status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nOperation FAILED!  Invalid message parameter\n\n");
    EXPECT_EQ(status, E_REPORTED);
}

}  // namespace
