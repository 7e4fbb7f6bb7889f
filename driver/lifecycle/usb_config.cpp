// Hardware preparation: making the device a USB target. PASSIVE_LEVEL, no device lock.
//
// FIXME: the USB configuration and vendor check are not built yet; until they are, preparation
// succeeds without touching the device, and the port has no pipes.
#include "lifecycle.h"

NTSTATUS EvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    return STATUS_SUCCESS;
}
