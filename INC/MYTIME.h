// Millisecond delay on the serial driver's clock.
#ifndef MYTIME_H
#define MYTIME_H

#include "CTCOMMON.h"

// Returns after at least delaytime milliseconds; 0 returns at once.
void delay(DWORD delaytime);

#endif
