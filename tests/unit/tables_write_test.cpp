// Table writes and block programming that must stop before anything is sent:
// the pending changes stay in host memory and the failure is said once.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FLDATA.h"
#include "flashu.h"

namespace {

// Packed fields are read by value, never bound to a reference.
template <typename T>
T V(T v)
{
    return v;
}

DWORD Fixed_Clock() { return 1700000000; }

class TableWrite : public testing::Test {
protected:
    void SetUp() override
    {
        Reset_Flash_Table_Images();
        flash_time_source = Fixed_Clock;
        log_level = LOG_NORMAL;
        target_prog_version = 0x0251;
        board_id = 2;
        Init_Device_Map_Table();
        // Tables as the utility lays them out in the 8 K block at 0x03FFA000.
        boot_tbl_addr = 0x03FFA000;
        system_tbl_addr = boot_tbl_addr + 0x400;
        device_map_tbl_addr = boot_tbl_addr + 0x800;
        dir_tbl_addr = boot_tbl_addr + 0x1000;
        Take_As_Read();
    }
    void TearDown() override { flash_time_source = nullptr; }

    static void Take_As_Read()
    {
        last_boot_tbl = boot_tbl;
        last_system_tbl = system_tbl;
        memcpy(last_device_map_tbl, device_map_tbl, sizeof device_map_tbl);
        memcpy(last_dir_tbl, dir_tbl, sizeof dir_tbl);
    }

    std::string Write(WORD *status_ptr)
    {
        *status_ptr = 0;
        testing::internal::CaptureStdout();
        Write_Flash_Tables(status_ptr);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(TableWrite, UnchangedTablesSendNothing)
{
    log_level = LOG_VERBOSE;
    WORD status;
    EXPECT_EQ(Write(&status), "Process flash tables ...\nFlash tables not changed\n");
    EXPECT_EQ(status, 0);
}

TEST_F(TableWrite, NoBlockHoldingTheSystemTableStopsTheShutdown)
{
    dir_tbl[2].dir_flags = DIR_IN_USE;
    system_tbl_addr = 0x00001000;  // no window of board 2 covers it
    WORD status;
    EXPECT_EQ(Write(&status), "Internal Error - Bad program map lookup (0x00001000)\n");
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_TRUE(Flash_Tables_Changed());
    for (WORD i = 0; i < number_device_map_entries; i++)
        EXPECT_EQ(V(device_map_tbl[i].reprogram_count), 0u);
}

TEST_F(TableWrite, TablesOutsideTheirBlockAreNotWritten)
{
    // The directory read from a board lies in the next block up.
    dir_tbl_addr = 0x03FFBF00;
    dir_tbl[3].dir_flags = DIR_IN_USE;
    WORD status;
    EXPECT_EQ(Write(&status),
              "Flash table at 0x03FFBF00 (700 bytes) lies outside its flash block at 0x03FFA000"
              " - tables not written\n");
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(V(device_map_tbl[9].reprogram_count), 0u);
    EXPECT_TRUE(Flash_Tables_Changed());
}

TEST_F(TableWrite, UnsupportedFlashTypeFailsWithoutStamp)
{
    device_map_tbl[3].flash_id = 0x42;
    WORD status = 0;
    testing::internal::CaptureStdout();
    Program_Flash_Block(3, &status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Flash device not supported!\n");
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(V(device_map_tbl[3].reprogram_count), 0u);
    EXPECT_EQ(V(device_map_tbl[3].reprogram_date_time), 0u);
}

}  // namespace
