// Numbers typed in command words and read from hex files.
#include "CTCOMMON.h"

int Hex_Digit_Value(int c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

static int Digit_Value(int c, unsigned radix)
{
    int d = Hex_Digit_Value(c);
    return d >= 0 && unsigned(d) < radix ? d : -1;
}

bool Scan_Number(const char *s, unsigned radix, unsigned long long *value, const char **end)
{
    if (radix == 16 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && Hex_Digit_Value(s[2]) >= 0)
        s += 2;
    if (Digit_Value(*s, radix) < 0) return false;
    unsigned long long v = 0;
    for (; Digit_Value(*s, radix) >= 0; s++) {
        v = v * radix + unsigned(Digit_Value(*s, radix));
        if (v > NUMBER_TOO_LARGE) v = NUMBER_TOO_LARGE;
    }
    *value = v;
    if (end) *end = s;
    return true;
}
