// Built-in flash device maps of the four board models. Each board's flash is
// a run of uniform blocks whose top one is split into four boot blocks; the
// rows are made from that shape. On every board the protected-mode window of
// a block starts at its physical address, and the real-mode window maps the
// top of the first megabyte onto the top of flash.
#include "FLDATA.h"

namespace {

constexpr DWORD NONE = NO_USER_ADDR;

// The real-mode window ends below the two top boot blocks, which stay hidden.
constexpr DWORD FLASH_TOP = 0x04000000;
constexpr DWORD REAL_MODE_TOP = 0x00100000;
constexpr DWORD REAL_WINDOW_END = 0x000FA000;

// The top block splits into the rest, 8 K, 8 K and 16 K.
constexpr WORD BOOT_BLOCKS = 4;
constexpr DWORD BOOT_TAIL_SIZES[BOOT_BLOCKS - 1] = {0x2000, 0x2000, 0x4000};
constexpr DWORD BOOT_TAIL_TOTAL = 0x8000;

struct Map_Shape {
    WORD flash_id;
    DWORD device_addr;
    DWORD first_block;
    WORD uniform_count; // whole blocks below the split top block
    DWORD block_size;
    DWORD real_window; // lowest real-mode address of the window
    // When top_count is not 0 the board's top block carries the numbering of
    // another part's block (top_number of top_count) and the other rows do
    // not count it.
    WORD top_number;
    WORD top_count;
};

constexpr Map_Shape kestrel0_shape{0x70, 0x03F80000, 0x03F80000, 3, 0x20000, 0x80000, 0, 0};
constexpr Map_Shape kestrel_shape{0x9C, 0x03F00000, 0x03F00000, 7, 0x20000, 0x80000, 0, 0};
// The 8 Mbit part: its top block is numbered as the 16 Mbit part's last block.
constexpr Map_Shape pellar_shape{0xDA, 0x03E00000, 0x03F00000, 15, 0x10000, 0xC0000, 34, 35};
constexpr Map_Shape pellar2_shape{0xC4, 0x03E00000, 0x03E00000, 31, 0x10000, 0xC0000, 0, 0};

constexpr DWORD Real_Addr(const Map_Shape &shape, DWORD block_addr)
{
    if (block_addr < FLASH_TOP - REAL_MODE_TOP) return NONE;
    DWORD real = block_addr - (FLASH_TOP - REAL_MODE_TOP);
    return real >= shape.real_window && real < REAL_WINDOW_END ? real : NONE;
}

// The block sizes lowest address first: the uniform blocks, then the top
// block split into its boot blocks.
constexpr DWORD Block_Size(const Map_Shape &shape, WORD n)
{
    if (n < shape.uniform_count) return shape.block_size;
    if (n == shape.uniform_count) return shape.block_size - BOOT_TAIL_TOTAL;
    return BOOT_TAIL_SIZES[n - shape.uniform_count - 1];
}

// The rows of one board followed by the empty row that ends a map.
template <const Map_Shape &shape> struct Board_Map {
    static_assert(shape.first_block + (shape.uniform_count + 1u) * shape.block_size == FLASH_TOP,
                  "a board's blocks end at the top of flash");
    static constexpr WORD block_count = shape.uniform_count + BOOT_BLOCKS;
    DEVICE_MAP_STRUCT rows[block_count + 1];
    constexpr Board_Map() : rows{}
    {
        const bool top_apart = shape.top_count != 0;
        const WORD counted = top_apart ? block_count - 1 : block_count;
        DWORD addr = shape.first_block;
        for (WORD n = 0; n < block_count; n++) {
            DEVICE_MAP_STRUCT &row = rows[n];
            row.flash_id = shape.flash_id;
            row.user_real_addr = Real_Addr(shape, addr);
            row.user_prot_addr = addr;
            row.block_addr = addr;
            row.block_size = Block_Size(shape, n);
            row.relative_block = n;
            row.number_blocks = counted;
            row.device_addr = shape.device_addr;
            addr += row.block_size;
        }
        if (top_apart) {
            rows[block_count - 1].relative_block = shape.top_number;
            rows[block_count - 1].number_blocks = shape.top_count;
        }
    }
};

constexpr Board_Map<kestrel0_shape> kestrel0_map{};
constexpr Board_Map<kestrel_shape> kestrel_map{};
constexpr Board_Map<pellar_shape> pellar_map{};
constexpr Board_Map<pellar2_shape> pellar2_map{};

} // namespace

const DEVICE_MAP_STRUCT *Builtin_Device_Map(WORD board, WORD *row_count_ptr)
{
    struct Board_Rows {
        const DEVICE_MAP_STRUCT *rows;
        WORD count;
    };
    static const Board_Rows maps[] = {
        {kestrel0_map.rows, kestrel0_map.block_count + 1},
        {kestrel_map.rows, kestrel_map.block_count + 1},
        {pellar_map.rows, pellar_map.block_count + 1},
        {pellar2_map.rows, pellar2_map.block_count + 1},
    };
    if (board < 1 || board > 4) {
        *row_count_ptr = 0;
        return nullptr;
    }
    *row_count_ptr = maps[board - 1].count;
    return maps[board - 1].rows;
}
