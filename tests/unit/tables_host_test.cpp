// The host copies of the flash tables written and read back, an old monitor's cut map completed.
#include <gtest/gtest.h>
#include <tuple>
#include "FLDATA.h"
#include "flashu.h"
#include "mem_port.h"
#include "vboard.h"

namespace {
typedef Mem_Link_Test Tables;

// Tables never read are not written; written ones read back. Below monitor 2.50 board 4's map
// keeps 20 entries; the host completes it only when those are its built-in ones (entry 0 too).
TEST_F(Tables, TablesRoundTripAndACutMapIsCompletedOnlyFromItsOwnEntries)
{
    Reset_Flash_Table_Images();
    log_level = LOG_NORMAL;
    board_id = 1;
    Init_Device_Map_Table();
    target_prog_version = 0x0250;
    EXPECT_EQ(Device_Map_Size_For_Monitor(), sizeof(DEVICE_MAP_TBL));
    ASSERT_TRUE(vboard::Mem_Init(4));
    boot_tbl_addr = 0x03FFA000;
    Mem_Port_Monitor([](const Bytes &req) { // the virtual board's monitor, version 2.40
        static const vboard::MONITOR_ID mon = {1, 0x0240, 0x03FFA000};
        BYTE resp[vboard::MAX_RECORD];
        vboard::CMD_OUTCOME outcome = {};
        WORD n = vboard::Execute_Request(req.data(), WORD(req.size()), &mon, resp, &outcome);
        return Bytes(resp, resp + n);
    });
    target_prog_version = 0x024F;
    WORD status = 0;
    EXPECT_EQ(Stdout_Of([&] {
                  Read_Flash_Tables(&status);
                  Write_Flash_Tables(&status);
              }),
              "Flash tables were never read from this target - tables not written\n");
    Stdout_Of(Init_Flash_Tables);
    Set_System_Name_Entry("BENCH");
    const WORD whole = number_device_map_entries;
    ASSERT_GT(whole, 20);
    for (WORD changed_block : {0, 1}) {
        device_map_tbl[0].flash_id ^= changed_block;
        std::string out = Stdout_Of([&] {
            Write_Flash_Tables(&status);
            Read_Flash_Tables(&status);
        });
        EXPECT_EQ(std::make_tuple(status, std::string(system_name_str)),
                  std::make_tuple(WORD(E_OK), std::string("BENCH")))
            << out;
        EXPECT_EQ(number_device_map_entries, changed_block ? 20 : whole);
    }
}
} // namespace
