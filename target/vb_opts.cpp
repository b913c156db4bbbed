// Command line of torvex-target.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vboard.h"

namespace vboard {

namespace {

bool Copy_Path(char *dst, const char *src)
{
    size_t n = strlen(src);
    if (n == 0 || n >= PATH_SIZE) return false;
    memcpy(dst, src, n + 1);
    return true;
}

// Whole-string unsigned number in the given base (0: C prefixes allowed).
bool Parse_Number(const char *s, int base, unsigned long long max, unsigned long long *out)
{
    if (!*s || *s == '-' || *s == '+') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(s, &end, base);
    if (errno || *end || v > max) return false;
    *out = v;
    return true;
}

bool Parse_Rate(const char *s, double *out)
{
    errno = 0;
    char *end = nullptr;
    double v = strtod(s, &end);
    if (errno || end == s || *end || !(v >= 0.0 && v <= 1.0)) return false;
    *out = v;
    return true;
}

// HEXADDR[:HEXMASK], the mask one byte, FF when left out.
bool Parse_Flash_Fault(const char *val, BOARD_CONFIG *cfg)
{
    char addr[20];
    const char *colon = strchr(val, ':');
    size_t n = colon ? size_t(colon - val) : strlen(val);
    unsigned long long a = 0, mask = 0xFF;
    if (n >= sizeof addr) return false;
    memcpy(addr, val, n);
    addr[n] = 0;
    if (!Parse_Number(addr, 16, 0xFFFFFFFFu, &a) ||
        (colon && !Parse_Number(colon + 1, 16, 0xFF, &mask)))
        return false;
    cfg->flash_fault_addr = DWORD(a);
    cfg->flash_fault_mask = BYTE(mask);
    return mask != 0;
}

// Applies one option that takes a value; false when the value is bad.
bool Apply_Value(const char *name, const char *val, BOARD_CONFIG *cfg)
{
    unsigned long long n = 0;
    if (!strcmp(name, "--link")) return Copy_Path(cfg->link_path, val);
    if (!strcmp(name, "--image")) return Copy_Path(cfg->image_path, val);
    if (!strcmp(name, "--trace")) return Copy_Path(cfg->trace_path, val);
    if (!strcmp(name, "--console")) return Copy_Path(cfg->console_path, val);
    if (!strcmp(name, "--corrupt-rate")) return Parse_Rate(val, &cfg->link.corrupt_rate);
    if (!strcmp(name, "--drop-rate")) return Parse_Rate(val, &cfg->link.drop_rate);
    if (!strcmp(name, "--out-corrupt-rate")) return Parse_Rate(val, &cfg->link.out_corrupt_rate);
    if (!strcmp(name, "--out-drop-rate")) return Parse_Rate(val, &cfg->link.out_drop_rate);
    if (!strcmp(name, "--fail")) {
        const char *colon = strchr(val, ':');
        size_t len = colon ? size_t(colon - val) : strlen(val);
        if (len == 0 || len >= sizeof cfg->link.fail_name) return false;
        snprintf(cfg->link.fail_name, sizeof cfg->link.fail_name, "%.*s", int(len), val);
        cfg->link.fail_nth = 1;
        return !colon || (Parse_Number(colon + 1, 10, 0xFFFFFFFFu, &n) && n > 0 &&
                          (cfg->link.fail_nth = DWORD(n)) > 0);
    }
    if (!strcmp(name, "--board")) {
        if (!Parse_Number(val, 10, 4, &n) || n < 1) return false;
        cfg->board = WORD(n);
    } else if (!strcmp(name, "--monitor-version")) {
        if (!Parse_Number(val, 16, 0xFFFF, &n)) return false;
        cfg->link.mon.version = WORD(n);
    } else if (!strcmp(name, "--prog-id")) {
        if (!Parse_Number(val, 0, 0xFFFF, &n)) return false;
        cfg->link.mon.prog_id = WORD(n);
    } else if (!strcmp(name, "--boot-addr")) {
        if (!Parse_Number(val, 16, 0xFFFFFFFFu, &n)) return false;
        cfg->link.mon.boot_addr = DWORD(n);
    } else if (!strcmp(name, "--baud")) {
        if (!Parse_Number(val, 10, 4000000, &n) || n < 50) return false;
        cfg->link.reset_baud = DWORD(n);
    } else if (!strcmp(name, "--nak-first")) {
        if (!Parse_Number(val, 10, 0xFFFFFFFFu, &n)) return false;
        cfg->link.nak_first = DWORD(n);
    } else if (!strcmp(name, "--flash-fault")) {
        return Parse_Flash_Fault(val, cfg);
    } else if (!strcmp(name, "--hang-up-on")) {
        for (n = 1; n < 0x100 && strcmp(Command_Name(BYTE(n)), val); n++) {}
        if (n == 0x100) return false;
        cfg->link.hang_up_cmd = BYTE(n);
    } else if (!strcmp(name, "--seed")) {
        if (!Parse_Number(val, 10, 0xFFFFFFFFu, &n)) return false;
        cfg->link.seed = DWORD(n);
    } else {
        return false;
    }
    return true;
}

bool Takes_Value(const char *name)
{
    static const char *const names[] = {"--link",          "--image",       "--trace",
                                        "--console",       "--board",       "--monitor-version",
                                        "--prog-id",       "--boot-addr",   "--baud",
                                        "--corrupt-rate",  "--drop-rate",   "--out-corrupt-rate",
                                        "--out-drop-rate", "--nak-first",   "--fail",
                                        "--seed",          "--flash-fault", "--hang-up-on"};
    for (const char *n : names)
        if (!strcmp(n, name)) return true;
    return false;
}

} // namespace

void Default_Config(BOARD_CONFIG *cfg)
{
    memset(cfg, 0, sizeof *cfg);
    cfg->board = 3;
    cfg->link.mon.version = 0x0251;
    cfg->link.mon.prog_id = 1;
    cfg->link.mon.boot_addr = 0x03FFA000;
    cfg->link.reset_baud = 9600;
    cfg->link.seed = 1;
}

const char *Usage_Text()
{
    return "usage: torvex-target --link PATH [options]\n"
           "       torvex-target -h | --help | -V | --version\n"
           "  --link PATH            make PATH a symbolic link to the board's serial line\n"
           "  --console PATH         the board's console UART as a second line at PATH\n"
           "  --board N              board model 1..4 (default 3)\n"
           "  --image FILE           keep the flash in FILE across runs\n"
           "  --monitor-version HEX  monitor version reported by init (default 0251)\n"
           "  --prog-id N            monitor program id (default 1)\n"
           "  --boot-addr HEX        boot table address (default 03FFA000)\n"
           "  --baud N               line rate after reset (default 9600)\n"
           "  --pace                 take the wire time of every byte at the current rate\n"
           "  --trace FILE           one JSON line per link event\n"
           "  --corrupt-rate P       corrupt each received byte with probability P\n"
           "  --drop-rate P          lose each received byte with probability P\n"
           "  --out-corrupt-rate P   corrupt each sent byte with probability P\n"
           "  --out-drop-rate P      lose each sent byte with probability P\n"
           "  --nak-first N          answer the first N intact frames with NAK\n"
           "  --fail NAME[:N]        answer the Nth (default first) request NAME (read_ram,\n"
           "                         shutdown ...) with status 0x000B, undone\n"
           "  --silent               never send anything\n"
           "  --hang-up-on CMD       hang up the line after ACKing the first CMD request\n"
           "                         (a trace name: erase_flash, write_ram, ...)\n"
           "  --seed N               seed of the fault injection (default 1)\n"
           "  --flash-fault HEX[:M]  program commands leave the bits of mask M (hex, default\n"
           "                         FF) of the byte at address HEX unprogrammed, yet succeed\n";
}

bool Parse_Args(int argc, char **argv, BOARD_CONFIG *cfg, ARGS_ASK *ask, char *err, size_t err_size)
{
    Default_Config(cfg);
    *ask = ASK_RUN;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (!strcmp(a, "--help") || !strcmp(a, "-h")) *ask = ASK_HELP;
        if (!strcmp(a, "--version") || !strcmp(a, "-V")) *ask = ASK_VERSION;
        if (*ask != ASK_RUN) return true;
        if (!strcmp(a, "--pace")) {
            cfg->link.pace = true;
        } else if (!strcmp(a, "--silent")) {
            cfg->link.silent = true;
        } else if (Takes_Value(a)) {
            if (i + 1 >= argc) {
                snprintf(err, err_size, "%s needs a value", a);
                return false;
            }
            if (!Apply_Value(a, argv[i + 1], cfg)) {
                snprintf(err, err_size, "bad value for %s: %s", a, argv[i + 1]);
                return false;
            }
            i++;
        } else {
            snprintf(err, err_size, "unknown option: %s", a);
            return false;
        }
    }
    if (!cfg->link_path[0]) {
        snprintf(err, err_size, "--link PATH is required");
        return false;
    }
    return true;
}

} // namespace vboard
