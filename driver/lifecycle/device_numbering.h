// The driver-wide device counter that numbers "\Device\zelvik_diagN".
#pragma once

#include <ntddk.h>

// Back to 0, as when the driver image is loaded. Called by DriverEntry only.
void ResetDeviceNumbering();

// Atomically takes the next device number (1 for the first device). Numbers are never given back,
// so a failed device add leaves a gap.
LONG TakeDeviceNumber();
