// Built-in flash device maps of the four board models. On every board the
// protected-mode window of a block starts at its physical address, and the
// real-mode window maps the top of the first megabyte onto the top of flash.
#include <iterator>

#include "FLDATA.h"

namespace {

constexpr DWORD NONE = NO_USER_ADDR;

constexpr DEVICE_MAP_STRUCT Row(WORD flash_id, DWORD real_addr, DWORD block_addr, DWORD size,
                                WORD rel_block, WORD num_blocks, DWORD dev_addr)
{
    return DEVICE_MAP_STRUCT{flash_id,  real_addr,  block_addr, block_addr, size,
                             rel_block, num_blocks, dev_addr,   0,          0};
}

constexpr DEVICE_MAP_STRUCT END_ROW{0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// Rows 0..n-1 of the uniform 64 K sectors below the real-mode window.
template <size_t N>
constexpr void Fill_Uniform(DEVICE_MAP_STRUCT (&tbl)[N], WORD flash_id, DWORD first_block,
                            WORD count, WORD num_blocks, DWORD dev_addr)
{
    for (WORD n = 0; n < count; n++)
        tbl[n] = Row(flash_id, NONE, first_block + n * 0x10000UL, 0x10000, n, num_blocks, dev_addr);
}

struct Pellar_Map {
    DEVICE_MAP_STRUCT rows[20];
    constexpr Pellar_Map() : rows{}
    {
        Fill_Uniform(rows, 0xDA, 0x03F00000, 12, 18, 0x03E00000);
        rows[12] = Row(0xDA, 0x000C0000, 0x03FC0000, 0x10000, 12, 18, 0x03E00000);
        rows[13] = Row(0xDA, 0x000D0000, 0x03FD0000, 0x10000, 13, 18, 0x03E00000);
        rows[14] = Row(0xDA, 0x000E0000, 0x03FE0000, 0x10000, 14, 18, 0x03E00000);
        rows[15] = Row(0xDA, 0x000F0000, 0x03FF0000, 0x08000, 15, 18, 0x03E00000);
        rows[16] = Row(0xDA, 0x000F8000, 0x03FF8000, 0x02000, 16, 18, 0x03E00000);
        rows[17] = Row(0xDA, NONE, 0x03FFA000, 0x02000, 17, 18, 0x03E00000);
        // The board's top block carries the numbering of the 16 Mbit part's last block.
        rows[18] = Row(0xDA, NONE, 0x03FFC000, 0x04000, 34, 35, 0x03E00000);
        rows[19] = END_ROW;
    }
};

struct Pellar2_Map {
    DEVICE_MAP_STRUCT rows[36];
    constexpr Pellar2_Map() : rows{}
    {
        Fill_Uniform(rows, 0xC4, 0x03E00000, 28, 35, 0x03E00000);
        rows[28] = Row(0xC4, 0x000C0000, 0x03FC0000, 0x10000, 28, 35, 0x03E00000);
        rows[29] = Row(0xC4, 0x000D0000, 0x03FD0000, 0x10000, 29, 35, 0x03E00000);
        rows[30] = Row(0xC4, 0x000E0000, 0x03FE0000, 0x10000, 30, 35, 0x03E00000);
        rows[31] = Row(0xC4, 0x000F0000, 0x03FF0000, 0x08000, 31, 35, 0x03E00000);
        rows[32] = Row(0xC4, 0x000F8000, 0x03FF8000, 0x02000, 32, 35, 0x03E00000);
        rows[33] = Row(0xC4, NONE, 0x03FFA000, 0x02000, 33, 35, 0x03E00000);
        rows[34] = Row(0xC4, NONE, 0x03FFC000, 0x04000, 34, 35, 0x03E00000);
        rows[35] = END_ROW;
    }
};

constexpr DEVICE_MAP_STRUCT kestrel0_map[8] = {
    Row(0x70, 0x00080000, 0x03F80000, 0x20000, 0, 7, 0x03F80000),
    Row(0x70, 0x000A0000, 0x03FA0000, 0x20000, 1, 7, 0x03F80000),
    Row(0x70, 0x000C0000, 0x03FC0000, 0x20000, 2, 7, 0x03F80000),
    Row(0x70, 0x000E0000, 0x03FE0000, 0x18000, 3, 7, 0x03F80000),
    Row(0x70, 0x000F8000, 0x03FF8000, 0x02000, 4, 7, 0x03F80000),
    Row(0x70, NONE, 0x03FFA000, 0x02000, 5, 7, 0x03F80000),
    Row(0x70, NONE, 0x03FFC000, 0x04000, 6, 7, 0x03F80000),
    END_ROW,
};

constexpr DEVICE_MAP_STRUCT kestrel_map[12] = {
    Row(0x9C, NONE, 0x03F00000, 0x20000, 0, 11, 0x03F00000),
    Row(0x9C, NONE, 0x03F20000, 0x20000, 1, 11, 0x03F00000),
    Row(0x9C, NONE, 0x03F40000, 0x20000, 2, 11, 0x03F00000),
    Row(0x9C, NONE, 0x03F60000, 0x20000, 3, 11, 0x03F00000),
    Row(0x9C, 0x00080000, 0x03F80000, 0x20000, 4, 11, 0x03F00000),
    Row(0x9C, 0x000A0000, 0x03FA0000, 0x20000, 5, 11, 0x03F00000),
    Row(0x9C, 0x000C0000, 0x03FC0000, 0x20000, 6, 11, 0x03F00000),
    Row(0x9C, 0x000E0000, 0x03FE0000, 0x18000, 7, 11, 0x03F00000),
    Row(0x9C, 0x000F8000, 0x03FF8000, 0x02000, 8, 11, 0x03F00000),
    Row(0x9C, NONE, 0x03FFA000, 0x02000, 9, 11, 0x03F00000),
    Row(0x9C, NONE, 0x03FFC000, 0x04000, 10, 11, 0x03F00000),
    END_ROW,
};

constexpr Pellar_Map pellar_map{};
constexpr Pellar2_Map pellar2_map{};

} // namespace

const DEVICE_MAP_STRUCT *Builtin_Device_Map(WORD board, WORD *row_count_ptr)
{
    struct Board_Map {
        const DEVICE_MAP_STRUCT *rows;
        WORD count;
    };
    static const Board_Map maps[] = {
        {kestrel0_map, std::size(kestrel0_map)},
        {kestrel_map, std::size(kestrel_map)},
        {pellar_map.rows, std::size(pellar_map.rows)},
        {pellar2_map.rows, std::size(pellar2_map.rows)},
    };
    if (board < 1 || board > 4) {
        *row_count_ptr = 0;
        return nullptr;
    }
    *row_count_ptr = maps[board - 1].count;
    return maps[board - 1].rows;
}
