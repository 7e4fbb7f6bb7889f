// Read servicing: reads are parked in ReadQueue and served one at a time from the receive FIFO by the
// read DPC; the port timer checks their deadlines. All callbacks here run under the device lock at
// DISPATCH_LEVEL.
//
// FIXME: read servicing (forwarding, the read DPC, the time-out rules, read cancellation) is not
// built yet; until it is, a read is refused with STATUS_NOT_IMPLEMENTED and the DPC and the timer
// have nothing to do.
#include "datapath.h"

void EvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(Length);
    WdfRequestComplete(Request, STATUS_NOT_IMPLEMENTED);
}

void EvtReadDpc(WDFDPC Dpc)
{
    UNREFERENCED_PARAMETER(Dpc);
}

void EvtPortTimer(WDFTIMER Timer)
{
    UNREFERENCED_PARAMETER(Timer);
}
