// Sharing modes for files opened through the run-time library.
#pragma once

#define _SH_DENYRW 0x10  // deny read and write to others
#define _SH_DENYWR 0x20  // deny write
#define _SH_DENYRD 0x30  // deny read
#define _SH_DENYNO 0x40  // deny none: others may read and write meanwhile
