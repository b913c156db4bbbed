// Millisecond delay on the serial driver's clock; sleeps rather than spins.
#include "MYTIME.h"

#include "COMMS.h"
#include "SERPORT.h"

void delay(DWORD delaytime)
{
    DWORD start = Comms_GetTime();
    for (;;) {
        DWORD elapsed = Comms_GetTime() - start;
        if (elapsed >= delaytime) return;
        Serport_Ops()->sleep_ms(delaytime - elapsed);
    }
}
