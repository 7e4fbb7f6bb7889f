// Write path: writes are parked in WriteQueue and sent one at a time on the bulk-out pipe by the write
// DPC. Callbacks here run under the device lock at DISPATCH_LEVEL.
//
// FIXME: the write path is not built yet; until it is, a write is refused with
// STATUS_NOT_IMPLEMENTED and the DPC has nothing to do.
#include "datapath.h"

void EvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(Length);
    WdfRequestComplete(Request, STATUS_NOT_IMPLEMENTED);
}

void EvtWriteDpc(WDFDPC Dpc)
{
    UNREFERENCED_PARAMETER(Dpc);
}
