// Program directory and boot program operations on the host tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FLDATA.h"
#include "flashu.h"
#include "flashu_seg.h"

namespace {

// Packed fields are read by value, never bound to a reference.
template <typename T>
T V(T v)
{
    return v;
}

DWORD Fixed_Clock() { return 1700000000; }

class Directory : public testing::Test {
protected:
    void SetUp() override
    {
        Reset_Flash_Table_Images();
        flash_time_source = Fixed_Clock;
        log_level = LOG_NORMAL;
        Set_Text(prog_name_str, "");
        Set_Text(group_name_str, "");
        Set_Text(version_str, "");
        oh_vector_base = 0;
        oh_vector_offset = 0;
    }
    void TearDown() override { flash_time_source = nullptr; }

    static void Set_Text(char (&field)[TEXT_FIELD_SIZE], const char *text)
    {
        snprintf(field, sizeof field, "%s", text);
    }

    // Enters a program the way the pipeline does after its download.
    WORD Add_Program(const char *name, WORD base = 0, DWORD offset = 0)
    {
        Set_Text(prog_name_str, name);
        oh_vector_base = base;
        oh_vector_offset = offset;
        oh_first_addr = 0x000C0000;
        oh_last_addr = 0x000C0FFF;
        oh_logical_len = 0x1000;
        oh_checksum = 0x12345;
        oh_date_time = 1600000000;
        WORD index = Find_Free_Dir_Entry();
        if (index != NO_DIR_INDEX) Add_Directory_Entry(index);
        return index;
    }

    std::string Run(void (*op)(WORD *), WORD *status_ptr, const char *name)
    {
        Set_Text(prog_name_str, name);
        *status_ptr = 0;
        testing::internal::CaptureStdout();
        op(status_ptr);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Directory, NewEntryRecordsTheDownload)
{
    Set_Text(group_name_str, "0123456789");
    Set_Text(version_str, "1.2.3");
    ASSERT_EQ(Add_Program("ABCDEFGH", 0xF000, 0xFFF0), 2);
    const FLASH_DIR_ENTRY_STRUCT &e = dir_tbl[2];
    EXPECT_EQ(V(e.dir_flags), DIR_IN_USE);
    EXPECT_EQ(std::string(V(e.program_name_str)), "ABCDEFGH");
    EXPECT_EQ(V(e.program_name_str[8]), '\0');
    EXPECT_EQ(std::string(V(e.group_name_str)), "0123456789");
    EXPECT_EQ(std::string(V(e.version_str)), "1.2.3");
    EXPECT_EQ(V(e.file_date_time), 1600000000u);
    EXPECT_EQ(V(e.program_mem.mem_valid), 0u);
    EXPECT_EQ(V(e.program_mem.first_phys_addr), 0x000C0000u);
    EXPECT_EQ(V(e.program_mem.last_phys_addr), 0x000C0FFFu);
    EXPECT_EQ(V(e.program_mem.phys_size), 0x1000u);
    EXPECT_EQ(V(e.program_mem.logical_len), 0x1000u);
    EXPECT_EQ(V(e.program_mem.checksum), 0x12345u);
    EXPECT_EQ(V(e.program_mem.reprogram_count), 1u);
    EXPECT_EQ(V(e.program_mem.reprogram_date_time), 1700000000u);
    EXPECT_EQ(V(e.program_mem.start_vector_base), 0xF000);
    EXPECT_EQ(V(e.program_mem.start_vector_offset), 0xFFF0u);
    EXPECT_EQ(V(e.pad), 0);
}

TEST_F(Directory, NamesMatchWithoutRegardToCaseAndOnlyInProgramEntries)
{
    Add_Program("APP");
    EXPECT_EQ(Find_Alloc_Dir_Entry("app"), 2);
    EXPECT_EQ(Find_Alloc_Dir_Entry("APP"), 2);
    EXPECT_EQ(Find_Alloc_Dir_Entry("AP"), NO_DIR_INDEX);
    EXPECT_EQ(Find_Alloc_Dir_Entry("APPX"), NO_DIR_INDEX);
    // The system name in entry 0 is never a program.
    Set_System_Name_Entry("SYS");
    EXPECT_EQ(Find_Alloc_Dir_Entry("SYS"), NO_DIR_INDEX);
}

TEST_F(Directory, FullDirectoryFreesTheLowestEntryOnDelete)
{
    const char *names[] = {"P2", "P3", "P4", "P5", "P6", "P7", "P8", "P9"};
    for (WORD i = 0; i < 8; i++) EXPECT_EQ(Add_Program(names[i]), i + 2);
    EXPECT_EQ(Find_Free_Dir_Entry(), NO_DIR_INDEX);

    WORD status;
    EXPECT_EQ(Run(Delete_Dir_Entry, &status, "P7"), "Program P7 deleted\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(V(dir_tbl[7].dir_flags), DIR_DELETED);
    EXPECT_EQ(Run(Delete_Dir_Entry, &status, "p4"), "Program p4 deleted\n");
    EXPECT_EQ(Find_Alloc_Dir_Entry("P4"), NO_DIR_INDEX);
    // The deleted entry keeps its contents but is free again.
    EXPECT_EQ(std::string(V(dir_tbl[4].program_name_str)), "P4");
    EXPECT_EQ(Add_Program("NEW"), 4);
    EXPECT_EQ(Find_Alloc_Dir_Entry("NEW"), 4);
    EXPECT_EQ(Find_Free_Dir_Entry(), 7);
}

TEST_F(Directory, DeleteAndSetbootRefusals)
{
    WORD status;
    EXPECT_EQ(Run(Delete_Dir_Entry, &status, ""), "Program name not set!\n");
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(Run(Delete_Dir_Entry, &status, "GHOST"), "Program GHOST not found in directory!\n");
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(Run(Set_Flash_Boot, &status, ""), "Program name not set!\n");
    EXPECT_EQ(Run(Set_Flash_Boot, &status, "GHOST"), "Program GHOST not found in directory!\n");
    EXPECT_EQ(status, E_REPORTED);
}

TEST_F(Directory, DeletingTheBootProgramClearsTheBootTableSilently)
{
    Add_Program("APP", 0xF000, 0x100);
    WORD status;
    Run(Set_Flash_Boot, &status, "APP");
    ASSERT_EQ(V(boot_tbl.boot_flags), 1);
    EXPECT_EQ(Run(Delete_Dir_Entry, &status, "APP"), "Program APP deleted\n");
    EXPECT_EQ(V(boot_tbl.boot_flags), 0);
    EXPECT_EQ(V(boot_tbl.boot_base), 0);
    EXPECT_EQ(V(boot_tbl.boot_offset), 0u);
    EXPECT_EQ(V(dir_tbl[2].dir_flags), DIR_DELETED);
}

struct Vector_Case {
    WORD base;
    DWORD offset;
    WORD boot_base;
    DWORD boot_offset;
    bool warned;
};

TEST_F(Directory, SetbootFoldsLargeOffsetsIntoTheSegment)
{
    const Vector_Case cases[] = {
        {0x0000, 0x000F8000, 0xE801, 0xFFF0, true},
        {0x1000, 0x00012345, 0x1235, 0xFFF5, true},
        {0xF000, 0x0000FFF0, 0xF000, 0xFFF0, false},
        {0xF000, 0x0000FFF1, 0xF000, 0xFFF1, true},
        {0x2000, 0x00010000, 0x2001, 0xFFF0, true},
        {0x1234, 0x00000000, 0x1234, 0x0000, false},
    };
    Add_Program("APP");
    for (const Vector_Case &c : cases) {
        dir_tbl[2].program_mem.start_vector_base = c.base;
        dir_tbl[2].program_mem.start_vector_offset = c.offset;
        WORD status;
        std::string out = Run(Set_Flash_Boot, &status, "APP");
        EXPECT_EQ(status, 0);
        EXPECT_EQ(V(boot_tbl.boot_flags), 1);
        EXPECT_EQ(V(boot_tbl.boot_base), V(c.boot_base));
        EXPECT_EQ(V(boot_tbl.boot_offset), V(c.boot_offset));
        // Both forms name the same linear address.
        EXPECT_EQ((DWORD(V(boot_tbl.boot_base)) * 16 + V(boot_tbl.boot_offset)) & 0xFFFFF,
                  (DWORD(c.base) * 16 + c.offset) & 0xFFFFF);
        char expect[200];
        snprintf(expect, sizeof expect, "Boot program set to APP (start vector = %04X:%04lX)\n",
                 c.boot_base, static_cast<unsigned long>(c.boot_offset));
        if (c.warned) {
            char warn[200];
            snprintf(warn, sizeof warn,
                     "WARNING!  Boot program start vector adjusted from linear address "
                     "%04X:%08lX\n          to real-mode address %04X:%04lX\n",
                     c.base, static_cast<unsigned long>(c.offset), c.boot_base,
                     static_cast<unsigned long>(c.boot_offset));
            EXPECT_EQ(out, std::string(warn) + expect);
        } else {
            EXPECT_EQ(out, expect);
        }
    }
}

TEST_F(Directory, SetbootMovesTheMarkEvenWithoutAVector)
{
    Add_Program("ONE", 0xF000, 0x10);
    Add_Program("TWO");
    WORD status;
    Run(Set_Flash_Boot, &status, "ONE");
    EXPECT_EQ(V(dir_tbl[2].dir_flags), DIR_IN_USE | DIR_BOOT);
    EXPECT_EQ(Run(Set_Flash_Boot, &status, "TWO"), "No start vector available for program TWO\n");
    EXPECT_EQ(status, E_REPORTED);
    EXPECT_EQ(V(dir_tbl[2].dir_flags), DIR_IN_USE);
    EXPECT_EQ(V(dir_tbl[3].dir_flags), DIR_IN_USE | DIR_BOOT);
    // The boot table still starts ONE until a vector is set and setboot repeated.
    EXPECT_EQ(V(boot_tbl.boot_base), 0xF000);
    EXPECT_EQ(V(boot_tbl.boot_offset), 0x10u);

    oh_vector_base = 0xE000;
    oh_vector_offset = 0x20;
    Set_Text(prog_name_str, "two");
    testing::internal::CaptureStdout();
    Set_Program_Vector_Entry(&status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Program two start vector set to E000:0020\n");
    Run(Set_Flash_Boot, &status, "TWO");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(V(boot_tbl.boot_base), 0xE000);
}

TEST_F(Directory, NobootClearsMarkAndVector)
{
    Add_Program("ONE", 0xF000, 0x10);
    WORD status;
    Run(Set_Flash_Boot, &status, "ONE");
    testing::internal::CaptureStdout();
    Clear_Flash_Boot();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Boot program set to NONE\n");
    EXPECT_EQ(V(dir_tbl[2].dir_flags), DIR_IN_USE);
    EXPECT_EQ(V(boot_tbl.boot_flags), 0);
    EXPECT_EQ(V(boot_tbl.boot_base), 0);
    EXPECT_EQ(V(boot_tbl.boot_offset), 0u);
}

TEST_F(Directory, VectorOfAnUnknownProgramIsRefused)
{
    WORD status = 0;
    Set_Text(prog_name_str, "NONE");
    testing::internal::CaptureStdout();
    Set_Program_Vector_Entry(&status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Program NONE not found in directory!\n");
    EXPECT_EQ(status, E_REPORTED);
}

TEST_F(Directory, NineCharacterSystemNameSpillsItsTerminatorIntoTheGroupField)
{
    Set_System_Name_Entry("ABCDEFGHI");
    EXPECT_EQ(memcmp(dir_tbl[0].program_name_str, "ABCDEFGHI", 9), 0);
    EXPECT_EQ(V(dir_tbl[0].group_name_str[0]), '\0');
    EXPECT_EQ(std::string(V(dir_tbl[0].program_name_str)), "ABCDEFGHI");
    Set_System_Name_Entry("AB");
    EXPECT_EQ(std::string(V(dir_tbl[0].program_name_str)), "AB");
    EXPECT_EQ(V(dir_tbl[0].program_name_str[8]), '\0');
}

}  // namespace
