// Driver entry and unload. The framework's loader calls DriverEntry at PASSIVE_LEVEL once per load of
// the driver image.
#include "lifecycle.h"
#include "device_numbering.h"

namespace {

// The driver keeps no log; these are its tracing hooks.
void TraceInitialize(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
}

void TraceCleanup(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    TraceInitialize(DriverObject, RegistryPath);
    ResetDeviceNumbering();

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDriverDeviceAdd);
    config.EvtDriverUnload = EvtDriverUnload;
    config.DriverInitFlags = 0;
    config.DriverPoolTag = 0;

    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        TraceCleanup(DriverObject);
    }
    return status;
}

void EvtDriverUnload(WDFDRIVER Driver)
{
    TraceCleanup(WdfDriverWdmGetDriverObject(Driver));
}
