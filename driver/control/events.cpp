// Serial events and wait-on-mask completion. The event DPC runs under the device lock (automatic
// serialisation).
//
// FIXME: event accumulation and wait-on-mask are not built yet; the event DPC has nothing to do.
#include "control.h"

void EvtEventDpc(WDFDPC Dpc)
{
    UNREFERENCED_PARAMETER(Dpc);
}
