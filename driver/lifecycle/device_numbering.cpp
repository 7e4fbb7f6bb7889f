// Device adds for several devices may run at once; the counter is the only state they share, so it
// changes only by interlocked operations.
#include "device_numbering.h"

namespace {
LONG DeviceCounter = 0;  // interlocked only
}

void ResetDeviceNumbering()
{
    (void)InterlockedExchange(&DeviceCounter, 0);
}

LONG TakeDeviceNumber()
{
    return InterlockedIncrement(&DeviceCounter);
}
