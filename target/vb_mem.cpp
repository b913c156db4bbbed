// The board's memory: RAM at the bottom of the address space, the flash
// device at the physical addresses of the board model's blocks, and the I/O
// ports (a port reads back what was last written to it).
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include <sys/stat.h>

#include "vboard.h"

namespace vboard {

namespace {

struct BOARD_MODEL {
    WORD manufacture_code;
    WORD device_code;
    const FLASH_BLOCK *blocks;
    WORD block_count;
};

// Physical flash blocks of each board, lowest address first; the blocks of
// one board are contiguous.
const FLASH_BLOCK board1_blocks[] = {
    {0x03F80000, 0x20000}, {0x03FA0000, 0x20000}, {0x03FC0000, 0x20000}, {0x03FE0000, 0x18000},
    {0x03FF8000, 0x02000}, {0x03FFA000, 0x02000}, {0x03FFC000, 0x04000},
};
const FLASH_BLOCK board2_blocks[] = {
    {0x03F00000, 0x20000}, {0x03F20000, 0x20000}, {0x03F40000, 0x20000}, {0x03F60000, 0x20000},
    {0x03F80000, 0x20000}, {0x03FA0000, 0x20000}, {0x03FC0000, 0x20000}, {0x03FE0000, 0x18000},
    {0x03FF8000, 0x02000}, {0x03FFA000, 0x02000}, {0x03FFC000, 0x04000},
};
// Boards 3 and 4: uniform 64 K blocks up to 0x03FF0000, then the boot-block
// tail 32 K, 8 K, 8 K, 16 K.
FLASH_BLOCK board3_blocks[19];
FLASH_BLOCK board4_blocks[35];

void Fill_Uniform(FLASH_BLOCK *blocks, DWORD first, WORD uniform_count)
{
    for (WORD n = 0; n < uniform_count; n++) blocks[n] = {first + n * 0x10000u, 0x10000};
    blocks[uniform_count + 0] = {0x03FF0000, 0x08000};
    blocks[uniform_count + 1] = {0x03FF8000, 0x02000};
    blocks[uniform_count + 2] = {0x03FFA000, 0x02000};
    blocks[uniform_count + 3] = {0x03FFC000, 0x04000};
}

BOARD_MODEL Model_Of(WORD board)
{
    Fill_Uniform(board3_blocks, 0x03F00000, 15);
    Fill_Uniform(board4_blocks, 0x03E00000, 31);
    switch (board) {
    case 1: return {0x0089, 0x0070, board1_blocks, WORD(std::size(board1_blocks))};
    case 2: return {0x0089, 0x009C, board2_blocks, WORD(std::size(board2_blocks))};
    case 3: return {0x0101, 0x00DA, board3_blocks, WORD(std::size(board3_blocks))};
    case 4: return {0x0101, 0x00C4, board4_blocks, WORD(std::size(board4_blocks))};
    default: return {0, 0, nullptr, 0};
    }
}

BOARD_MODEL model;
std::vector<BYTE> ram;
std::vector<BYTE> flash;
DWORD flash_first;
std::vector<DWORD> ports;
bool flash_dirty;
DWORD fault_addr;
BYTE fault_mask;

// [addr, addr+len) inside [first, first+size), without 32-bit overflow.
bool Range_Inside(DWORD addr, DWORD len, DWORD first, DWORD size)
{
    uint64_t a = addr, end = a + len;
    return a >= first && end <= uint64_t(first) + size;
}

// Pointer to len readable bytes at addr, or null.
const BYTE *Readable(DWORD addr, DWORD len)
{
    if (Mem_In_Ram(addr, len)) return ram.data() + (addr - RAM_FIRST);
    if (Mem_In_Flash(addr, len)) return flash.data() + (addr - flash_first);
    return nullptr;
}

} // namespace

bool Mem_Init(WORD board)
{
    model = Model_Of(board);
    if (!model.blocks) return false;
    const FLASH_BLOCK &last = model.blocks[model.block_count - 1];
    flash_first = model.blocks[0].addr;
    flash.assign(last.addr + last.size - flash_first, 0xFF);
    ram.assign(RAM_SIZE, 0);
    ports.assign(0x10000, 0);
    flash_dirty = false;
    return true;
}

const FLASH_BLOCK *Mem_Blocks(WORD *count)
{
    *count = model.block_count;
    return model.blocks;
}

void Mem_Flash_Codes(WORD *manufacture_code, WORD *device_code)
{
    *manufacture_code = model.manufacture_code;
    *device_code = model.device_code;
}

DWORD Mem_Flash_First()
{
    return flash_first;
}
DWORD Mem_Flash_Size()
{
    return DWORD(flash.size());
}
const BYTE *Mem_Flash_Bytes()
{
    return flash.data();
}

bool Mem_In_Ram(DWORD addr, DWORD len)
{
    return Range_Inside(addr, len, RAM_FIRST, RAM_SIZE);
}

bool Mem_In_Flash(DWORD addr, DWORD len)
{
    return !flash.empty() && Range_Inside(addr, len, flash_first, DWORD(flash.size()));
}

int Mem_Block_Of(DWORD addr, DWORD len)
{
    for (WORD n = 0; n < model.block_count; n++)
        if (Range_Inside(addr, len, model.blocks[n].addr, model.blocks[n].size)) return n;
    return -1;
}

WORD Mem_Read(DWORD addr, DWORD len, BYTE *out)
{
    const BYTE *src = Readable(addr, len);
    if (!src) return ST_BAD_PARAM;
    if (len) memcpy(out, src, len);
    return ST_OK;
}

WORD Mem_Write_Ram(DWORD addr, const BYTE *data, DWORD len)
{
    if (!Mem_In_Ram(addr, len)) return ST_BAD_WRITE;
    if (len) memcpy(ram.data() + addr, data, len);
    return ST_OK;
}

WORD Mem_Fill_Ram(DWORD addr, DWORD len, BYTE value)
{
    if (!Mem_In_Ram(addr, len)) return ST_BAD_WRITE;
    if (len) memset(ram.data() + addr, value, len);
    return ST_OK;
}

WORD Mem_Copy(DWORD dest, DWORD src, DWORD len)
{
    const BYTE *from = Readable(src, len);
    if (!from) return ST_BAD_PARAM;
    if (!Mem_In_Ram(dest, len)) return ST_BAD_WRITE;
    if (len) memmove(ram.data() + dest, from, len);
    return ST_OK;
}

WORD Mem_Compare(DWORD dest, DWORD src, DWORD len)
{
    const BYTE *a = Readable(dest, len);
    const BYTE *b = Readable(src, len);
    if (!a || !b) return ST_BAD_PARAM;
    return (len == 0 || memcmp(a, b, len) == 0) ? ST_OK : ST_COMPARE;
}

WORD Mem_Erase(DWORD block_addr, DWORD block_size)
{
    for (WORD n = 0; n < model.block_count; n++) {
        if (model.blocks[n].addr != block_addr || model.blocks[n].size != block_size) continue;
        memset(flash.data() + (block_addr - flash_first), 0xFF, block_size);
        flash_dirty = true;
        return ST_OK;
    }
    return ST_BAD_PARAM;
}

WORD Mem_Program(DWORD dest, DWORD src, DWORD len)
{
    if (len == 0) return ST_OK;
    if (Mem_In_Ram(dest, len)) return ST_FLASH_RAM;
    if (Mem_Block_Of(dest, len) < 0) return ST_BAD_PARAM;
    const BYTE *from = Readable(src, len);
    if (!from) return ST_BAD_PARAM;
    // A copy first: the source may lie in the flash range being programmed.
    std::vector<BYTE> data(from, from + len);
    BYTE *to = flash.data() + (dest - flash_first);
    // Programming only clears bits; every byte must be reachable from what
    // is there, else nothing at all is written.
    for (DWORD i = 0; i < len; i++)
        if ((to[i] & data[i]) != data[i]) return ST_UNERASED;
    for (DWORD i = 0; i < len; i++)
        to[i] = dest + i == fault_addr ? BYTE(data[i] | (to[i] & fault_mask)) : data[i];
    flash_dirty = true;
    return ST_OK;
}

void Mem_Set_Flash_Fault(DWORD addr, BYTE mask)
{
    fault_addr = addr;
    fault_mask = mask;
}

// The bits a port access of size bytes moves; any other size moves all 32.
static DWORD Port_Width_Mask(WORD size)
{
    if (size == 1) return 0xFF;
    if (size == 2) return 0xFFFF;
    return 0xFFFFFFFF;
}

void Mem_Port_Write(WORD port, WORD size, DWORD value)
{
    ports[port] = value & Port_Width_Mask(size);
}

DWORD Mem_Port_Read(WORD port, WORD size)
{
    return ports[port] & Port_Width_Mask(size);
}

bool Mem_Load_Image(const char *path, char *err, size_t err_size)
{
    struct stat st;
    if (stat(path, &st) != 0) return true; // no image yet: erased flash
    if (uint64_t(st.st_size) != flash.size()) {
        snprintf(err, err_size, "image %s holds %lld bytes; this board's flash is %zu bytes", path,
                 (long long)st.st_size, flash.size());
        return false;
    }
    FILE *f = fopen(path, "rb");
    if (!f) {
        snprintf(err, err_size, "cannot open image %s", path);
        return false;
    }
    size_t got = fread(flash.data(), 1, flash.size(), f);
    fclose(f);
    if (got != flash.size()) {
        snprintf(err, err_size, "cannot read image %s", path);
        return false;
    }
    return true;
}

bool Mem_Save_Image(const char *path)
{
    // Written beside and renamed, so an interrupted save never leaves a
    // half image behind.
    char tmp[PATH_SIZE + 8];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE *f = fopen(tmp, "wb");
    if (!f) return false;
    bool ok = fwrite(flash.data(), 1, flash.size(), f) == flash.size();
    ok = (fclose(f) == 0) && ok;
    if (!ok || rename(tmp, path) != 0) {
        remove(tmp);
        return false;
    }
    return true;
}

bool Mem_Take_Dirty()
{
    bool was = flash_dirty;
    flash_dirty = false;
    return was;
}

} // namespace vboard
