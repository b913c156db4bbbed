// Helpers for the flash-table transcripts against the virtual board: the
// tables a rebuild lays down, a board image holding given tables, and the
// pieces of the expected console output.
#ifndef TABLES_E2E_H
#define TABLES_E2E_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FLCOMMON.h"
#include "FLDATA.h"
#include "board_rig.h"
#include "cli_common.h"

namespace tables_e2e {

const DWORD BOOT_ADDR = 0x03FFA000;  // where the board's monitor keeps the boot table
const DWORD FLASH_END = 0x04000000;

struct TABLE_SET {
    BOOT_ADDRESS_STRUCT boot;
    SYSTEM_TBL sys;
    DEVICE_MAP_TBL map;
    FLASH_DIR_TBL dir;
    WORD map_size;
};

// The four tables as a rebuild for a board lays them out behind BOOT_ADDR.
inline TABLE_SET Fresh_Tables(WORD board, WORD map_size = 1224, const char *system = "TARGET")
{
    TABLE_SET t;
    memset(&t, 0, sizeof t);
    t.map_size = map_size;
    t.boot.boot_init = 0xA1B2C3D4;
    t.boot.user_data_address = BOOT_ADDR + 0x400;
    t.boot.board_id = board;
    t.boot.baud_rate = 9600;
    t.boot.tbl_version = 1;
    t.sys.tbl_valid = 0xA1B2C3D4;
    t.sys.device_tbl.mem_valid = 0xA1B2C3D4;
    t.sys.device_tbl.first_phys_addr = BOOT_ADDR + 0x800;
    t.sys.device_tbl.phys_size = map_size;
    t.sys.directory_tbl.mem_valid = 0xA1B2C3D4;
    t.sys.directory_tbl.first_phys_addr = BOOT_ADDR + 0x1000;
    t.sys.directory_tbl.last_phys_addr = BOOT_ADDR + 0x1000 + 699;
    t.sys.directory_tbl.phys_size = 700;
    t.sys.directory_tbl.logical_len = 700;
    WORD rows = 0;
    const DEVICE_MAP_STRUCT *builtin = Builtin_Device_Map(board, &rows);
    memcpy(t.map, builtin, rows * sizeof(DEVICE_MAP_STRUCT));
    snprintf(t.dir[0].program_name_str, sizeof t.dir[0].program_name_str, "%s", system);
    return t;
}

inline uint32_t Flash_Size(int board) { return FLASH_END - Board_Flash_First(board); }

inline void Put_Bytes(std::vector<uint8_t> &image, int board, DWORD addr, const void *data,
                      size_t len)
{
    memcpy(image.data() + (addr - Board_Flash_First(board)), data, len);
}

// An erased board with the tables in place.
inline std::vector<uint8_t> Image_With(int board, const TABLE_SET &t)
{
    std::vector<uint8_t> image(Flash_Size(board), 0xFF);
    Put_Bytes(image, board, BOOT_ADDR, &t.boot, sizeof t.boot);
    Put_Bytes(image, board, BOOT_ADDR + 0x400, &t.sys, sizeof t.sys);
    Put_Bytes(image, board, BOOT_ADDR + 0x800, t.map, t.map_size);
    Put_Bytes(image, board, BOOT_ADDR + 0x1000, t.dir, sizeof t.dir);
    return image;
}

inline std::vector<uint8_t> Bytes(const void *data, size_t len)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    return std::vector<uint8_t>(p, p + len);
}

inline RIG_RESULT Session(const std::string &stdin_text, const std::vector<std::string> &board_args = {},
                          const std::vector<uint8_t> &image = {})
{
    RIG_SETUP s;
    s.stdin_text = stdin_text;
    s.board_args = board_args;
    s.initial_image = image;
    return Run_Session(s);
}

// The requests of one command the board received, in order.
inline std::vector<TRACE_EVENT> Requests(const RIG_RESULT &r, const std::string &name)
{
    std::vector<TRACE_EVENT> out;
    for (const TRACE_EVENT &e : Events(r.trace, "rx_frame"))
        if (e.Str("name") == name) out.push_back(e);
    return out;
}

inline std::string Init_Lines(const char *baud_name = "9600")
{
    return std::string("Port set to COM1\nVT Port set to COM1\n") +
           "Establish link to target system on COM1 at " + baud_name + " baud ...\n";
}

const std::string ON_LINE = "Target system on-line (id = 1, version = 2.51)\n";
const std::string NOT_ON_LINE = "Target system not on-line!\n";

// What the transcript of a session is made of: the start, then one prompt and
// segment per typed line.
inline std::string Transcript(const std::vector<std::string> &segments, bool ends_with_exit = true)
{
    std::string s = Cli_Start();
    for (const std::string &seg : segments) s += PROMPT + Seg(seg);
    if (!ends_with_exit) s += END_OF_INPUT;
    return s;
}

inline std::string Rules(const std::vector<int> &runs, const std::vector<int> &gaps)
{
    std::string s;
    for (size_t i = 0; i < runs.size(); i++) s += std::string(gaps[i], ' ') + Rule_Run(runs[i]);
    return s + "\n";
}

inline std::string Map_Head(const std::string &board, const std::string &system = "TARGET")
{
    return "Flash device map of " + board + " board (" + system + " system):\n\n" +
           "              Real Mode  Prot Mode    Block  Blk  Tot  Program           Prog \n"
           "Device        Address    Address       Size  Num  Blk  Date/Time         Count\n" +
           Rules({12, 8, 8, 7, 3, 3, 14, 7}, {0, 2, 3, 3, 2, 2, 2, 2});
}

// One row of the map report; real and prot are eight characters each.
inline std::string Map_Row(const char *device, const char *real, const char *prot, unsigned kb,
                           unsigned rel, unsigned tot, const std::string &date = "-",
                           unsigned long count = 0)
{
    char row[160];
    snprintf(row, sizeof row, "%-12s  %s   %s   %6uK  %3u  %3u  %-14s  %7lu\n", device, real,
             prot, kb, rel, tot, date.c_str(), count);
    return row;
}

inline std::string Dir_Head(const std::string &board, const std::string &system = "TARGET")
{
    return "Flash directory of " + board + " board (" + system + " system):\n\n" +
           "                             File/Program    Strt/End  Log/Phy              \n"
           "Name      Group       Ver    Date/Time       Address      Size  Flg  Checksum\n" +
           Rules({8, 10, 5, 14, 8, 7, 3, 8}, {0, 2, 2, 2, 2, 2, 2, 2});
}

}  // namespace tables_e2e

#endif
