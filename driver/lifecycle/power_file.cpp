// Power, file and clean-up events. All run at PASSIVE_LEVEL without the device lock (file objects
// have no synchronisation scope; PnP and power callbacks never hold it).
//
// FIXME: opening and closing the port and the power transitions are not built yet; until they are,
// an open is refused with STATUS_NOT_IMPLEMENTED and the power callbacks have nothing to do.
#include "lifecycle.h"

void EvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(FileObject);
    WdfRequestComplete(Request, STATUS_NOT_IMPLEMENTED);
}

void EvtFileClose(WDFFILEOBJECT FileObject)
{
    UNREFERENCED_PARAMETER(FileObject);
}

NTSTATUS EvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(PreviousState);
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(TargetState);
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    return STATUS_SUCCESS;
}

void EvtDeviceNoAction(WDFDEVICE Device)
{
    UNREFERENCED_PARAMETER(Device);
}

// Undoes what device add changed outside the device: the serial-port count and the SERIALCOMM value.
// Runs when the framework deletes the device, also after a failed add (the context is then zero up to
// the step that failed, so only what was really done is undone).
void EvtDeviceCleanup(WDFOBJECT Object)
{
    PZELVIK_DEVICE_CONTEXT context = GetDeviceContext(Object);
    if (context->SerialCountAdded) {
        IoGetConfigurationInformation()->SerialCount--;
    }
    WithdrawComPort(context);
}
