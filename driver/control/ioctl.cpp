// Serial control-code dispatch. Runs under the device lock at DISPATCH_LEVEL (device-wide
// synchronisation scope), so handlers never wait.
//
// FIXME: the control-code table is not built yet; until it is, every code is refused with
// STATUS_NOT_IMPLEMENTED.
#include "control.h"

void EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                        ULONG IoControlCode)
{
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    UNREFERENCED_PARAMETER(IoControlCode);
    WdfRequestComplete(Request, STATUS_NOT_IMPLEMENTED);
}
