// Fixed-format reports of the tables, the device map, the directory and the
// link counters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FLDATA.h"
#include "MSG.h"
#include "flashu.h"

namespace {

std::string Rule(int n)
{
    std::string s;
    for (int i = 0; i < n; i++) s += "\u2500";
    return s;
}

std::string Blanks(int n) { return std::string(n, ' '); }

template <typename F>
std::string Capture(F report)
{
    testing::internal::CaptureStdout();
    report();
    return testing::internal::GetCapturedStdout();
}

class Displays : public testing::Test {
protected:
    void SetUp() override
    {
        Reset_Flash_Table_Images();
        number_device_map_entries = 0;
        tbl_tab = 18;
        board_id = 1;
        snprintf(system_name_str, sizeof system_name_str, "%s", "BENCH");
    }
};

const std::string map_head =
    "Flash device map of KESTREL0 board (BENCH system):\n"
    "\n"
    "              Real Mode  Prot Mode    Block  Blk  Tot  Program           Prog \n"
    "Device        Address    Address       Size  Num  Blk  Date/Time         Count\n" +
    Rule(12) + Blanks(2) + Rule(8) + Blanks(3) + Rule(8) + Blanks(3) + Rule(7) + Blanks(2) +
    Rule(3) + Blanks(2) + Rule(3) + Blanks(2) + Rule(14) + Blanks(2) + Rule(7) + "\n";

TEST_F(Displays, DeviceMapListsEntriesFromTheTopDown)
{
    target_prog_version = 0x0251;
    Init_Device_Map_Table();
    number_device_map_entries = 3;
    device_map_tbl[0].reprogram_count = 12345678;
    std::string expect = map_head +
        "28F400CV-T    000C0000   03FC0000      128K    2    7  -                     0\n"
        "28F400CV-T    000A0000   03FA0000      128K    1    7  -                     0\n"
        "28F400CV-T    00080000   03F80000      128K    0    7  -               12345678\n";
    EXPECT_EQ(Capture(Display_Device_Map), expect);
}

TEST_F(Displays, DeviceMapShowsDashesSizesAndDates)
{
    board_id = 7;
    number_device_map_entries = 1;
    DEVICE_MAP_STRUCT &e = device_map_tbl[0];
    e.flash_id = 0xC4;
    e.user_real_addr = NO_USER_ADDR;
    e.user_prot_addr = 0x03FFA000;
    e.block_size = 0x10000;
    e.relative_block = 33;
    e.number_blocks = 35;
    e.reprogram_date_time = 1700000000;
    e.reprogram_count = 2;
    std::string date = Date_Time_Str_Ptr(1700000000);
    char row[200];
    snprintf(row, sizeof row, "%-12s         -   03FFA000       64K   33   35  %-14s        2\n",
             "29LV160T", date.c_str());
    std::string out = Capture(Display_Device_Map);
    EXPECT_EQ(out.rfind("Flash device map of UNKNOWN LUT #7 board (BENCH system):\n\n", 0), 0u);
    EXPECT_EQ(out.substr(out.size() - strlen(row)), row);
}

TEST_F(Displays, EmptyMapPrintsOnlyTheHeadings)
{
    EXPECT_EQ(Capture(Display_Device_Map), map_head);
}

TEST_F(Displays, DirectoryListsProgramsInUseWithBootFlag)
{
    FLASH_DIR_ENTRY_STRUCT &e = dir_tbl[5];
    e.dir_flags = DIR_IN_USE | DIR_BOOT;
    memcpy(e.program_name_str, "APP", 3);
    memcpy(e.group_name_str, "TOOLS", 5);
    memcpy(e.version_str, "1.02", 4);
    e.program_mem.first_phys_addr = 0x000C0000;
    e.program_mem.last_phys_addr = 0x000C1FFF;
    e.program_mem.logical_len = 5000;
    e.program_mem.phys_size = 0x2000;
    e.program_mem.checksum = 0xABCDEF;
    dir_tbl[6] = e;
    dir_tbl[6].dir_flags = DIR_IN_USE;
    memcpy(dir_tbl[6].program_name_str, "ABCDEFGH", 8);
    dir_tbl[7] = e;
    dir_tbl[7].dir_flags = DIR_DELETED;
    dir_tbl[1] = e;  // entries 0 and 1 are never listed

    std::string expect =
        "Flash directory of KESTREL0 board (BENCH system):\n"
        "\n"
        "                             File/Program    Strt/End  Log/Phy              \n"
        "Name      Group       Ver    Date/Time       Address      Size  Flg  Checksum\n" +
        Rule(8) + Blanks(2) + Rule(10) + Blanks(2) + Rule(5) + Blanks(2) + Rule(14) + Blanks(2) +
        Rule(8) + Blanks(2) + Rule(7) + Blanks(2) + Rule(3) + Blanks(2) + Rule(8) + "\n" +
        "APP       TOOLS       1.02   -               000C0000     5000  B1-  00ABCDEF\n"
        "                             -               000C1FFF     8192\n"
        "\n"
        "ABCDEFGH  TOOLS       1.02   -               000C0000     5000  ---  00ABCDEF\n"
        "                             -               000C1FFF     8192\n"
        "\n";
    EXPECT_EQ(Capture(Display_Directory), expect);
}

TEST_F(Displays, SystemTableReport)
{
    boot_tbl_addr = 0x03FFC000;
    boot_tbl.boot_init = TBL_VALID_MARK;
    boot_tbl.boot_flags = 1;
    boot_tbl.boot_base = 0xE801;
    boot_tbl.boot_offset = 0xFFF0;
    boot_tbl.user_data_address = 0x03FFC400;
    boot_tbl.board_id = 2;
    boot_tbl.baud_rate = 9600;
    boot_tbl.tbl_version = 1;
    system_tbl.tbl_valid = TBL_VALID_MARK;
    system_tbl.device_tbl = {TBL_VALID_MARK, 0x03FFC800, 0, 1224, 0, 0, 0, 0, 0, 0};
    system_tbl.directory_tbl = {TBL_VALID_MARK, 0x03FFD000, 0x03FFD2BB, 700, 700, 0, 0, 0, 0, 0};
    const char *expect =
        "System Tables:\n"
        "\n"
        "Boot Valid         = 0xA1B2C3D4\n"
        "Boot Addr          = 0x03FFC000\n"
        "Boot Size          = 0x0000001A (26)\n"
        "Boot Flags         = 0x01\n"
        "Boot Vector        = 0xE801:0x0000FFF0\n"
        "Boot Board Id      = 2\n"
        "Boot Baud          = 9600\n"
        "Boot Tbl Ver       = 1\n"
        "\n"
        "System Valid       = 0xA1B2C3D4\n"
        "System Addr        = 0x03FFC400\n"
        "System Size        = 0x00000076 (118)\n"
        "\n"
        "Device Valid       = 0xA1B2C3D4\n"
        "Device Addr        = 0x03FFC800\n"
        "Device Size        = 0x000004C8 (1224)\n"
        "\n"
        "Directory Valid    = 0xA1B2C3D4\n"
        "Directory Addr     = 0x03FFD000\n"
        "Directory Size     = 0x000002BC (700)\n";
    EXPECT_EQ(Capture(Display_System_Table), expect);
}

TEST_F(Displays, StatusRowsRightAlignEightDigits)
{
    COMMS_STATUS_STRUCT saved = comms_status;
    memset(&comms_status, 0, sizeof comms_status);
    comms_status.send_msg_count = 42;
    comms_status.send_rx_bad_status = 123456789;
    const char *expect =
        "Comms Status:\n"
        "\n"
        "Send Msg           =       42\n"
        "Send Retry         =        0\n"
        "Send Rx Flush      =        0\n"
        "Send Rx Ack        =        0\n"
        "Send Rx Nak        =        0\n"
        "Send Rx Spur       =        0\n"
        "Send No TO         =        0\n"
        "Send Rx TO         =        0\n"
        "Send Total TO      =        0\n"
        "Send Bad Stat      = 123456789\n";
    EXPECT_EQ(Capture(Display_Status), expect);
    comms_status = saved;
}

}  // namespace
