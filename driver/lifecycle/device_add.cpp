// Device add: names and creates the framework device that looks like a serial port, fills its
// context, creates its DPCs, timer, request pool, queues and FIFO, and publishes the COM port.
//
// Runs at PASSIVE_LEVEL before the device's queues deliver anything. Every object created here has the
// device as parent and goes with it; if a step after WdfDeviceCreate fails, the framework deletes the
// device and its clean-up callback undoes what was published.
#include "lifecycle.h"
#include "device_numbering.h"
#include "../datapath/datapath.h"
#include "../control/control.h"

namespace {

constexpr USHORT DEVICE_NAME_BYTES = 256;
constexpr LONG PORT_TIMER_PERIOD_MS = 100;

[[nodiscard]] NTSTATUS FormatDeviceName(PUNICODE_STRING Name, LONG Number)
{
    return RtlUnicodeStringPrintf(Name, u"%ws%d", u"\\Device\\zelvik_diag", Number);
}

void SetPnpPowerCallbacks(PWDFDEVICE_INIT DeviceInit)
{
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceD0Entry = EvtDeviceD0Entry;
    callbacks.EvtDeviceD0Exit = EvtDeviceD0Exit;
    callbacks.EvtDevicePrepareHardware = EvtDevicePrepareHardware;
    callbacks.EvtDeviceReleaseHardware = EvtDeviceReleaseHardware;
    callbacks.EvtDeviceSelfManagedIoFlush = EvtDeviceNoAction;
    callbacks.EvtDeviceSurpriseRemoval = EvtDeviceNoAction;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);
}

void SetRequestAttributes(PWDFDEVICE_INIT DeviceInit)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, ZELVIK_REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &attributes);
}

// File create and close are not serialised with the queue callbacks: they wait (control transfers,
// stopping reception and the timer) and take the device lock themselves where they need it.
void SetFileObjectConfig(PWDFDEVICE_INIT DeviceInit)
{
    WDF_FILEOBJECT_CONFIG config;
    WDF_FILEOBJECT_CONFIG_INIT(&config, EvtDeviceFileCreate, EvtFileClose, WDF_NO_EVENT_CALLBACK);
    config.AutoForwardCleanupClose = WdfUseDefault;
    config.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &config, &attributes);
}

void SetPnpCapabilities(WDFDEVICE Device)
{
    WDF_DEVICE_PNP_CAPABILITIES capabilities;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&capabilities);
    capabilities.Removable = WdfTrue;
    capabilities.SurpriseRemovalOK = WdfTrue;
    WdfDeviceSetPnpCapabilities(Device, &capabilities);
}

void InitChildAttributes(PWDF_OBJECT_ATTRIBUTES Attributes, WDFDEVICE Device)
{
    WDF_OBJECT_ATTRIBUTES_INIT(Attributes);
    Attributes->ParentObject = Device;
}

[[nodiscard]] NTSTATUS CreateDpc(WDFDEVICE Device, PFN_WDF_DPC Callback, WDFDPC* Dpc)
{
    WDF_DPC_CONFIG config;
    WDF_DPC_CONFIG_INIT(&config, Callback);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES attributes;
    InitChildAttributes(&attributes, Device);
    return WdfDpcCreate(&config, &attributes, Dpc);
}

// ReadQueue and WriteQueue hold the requests the DPCs serve; the driver may own one of each when
// the framework stops the queues, hence the stop/resume/cancel callbacks.
[[nodiscard]] NTSTATUS CreateManualQueue(WDFDEVICE Device, BOOLEAN WithCallbacks, WDFQUEUE* Queue)
{
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    config.PowerManaged = WdfUseDefault;
    config.AllowZeroLengthRequests = FALSE;
    if (WithCallbacks) {
        config.EvtIoStop = EvtIoStop;
        config.EvtIoResume = EvtIoResume;
        config.EvtIoCanceledOnQueue = EvtIoCanceledOnQueue;
    }
    return WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, Queue);
}

// Zero-length reads and writes are completed by the framework and never reach the driver.
[[nodiscard]] NTSTATUS CreateDefaultQueue(WDFDEVICE Device)
{
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.PowerManaged = WdfUseDefault;
    config.AllowZeroLengthRequests = FALSE;
    config.Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    config.EvtIoRead = EvtIoRead;
    config.EvtIoWrite = EvtIoWrite;
    config.EvtIoDeviceControl = EvtIoDeviceControl;
    config.EvtIoStop = EvtIoStop;
    config.EvtIoResume = EvtIoResume;
    config.EvtIoCanceledOnQueue = EvtIoCanceledOnQueue;
    return WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
}

[[nodiscard]] NTSTATUS CreateQueues(PZELVIK_DEVICE_CONTEXT Context)
{
    NTSTATUS status = CreateManualQueue(Context->Device, TRUE, &Context->ReadQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateManualQueue(Context->Device, TRUE, &Context->WriteQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateManualQueue(Context->Device, FALSE, &Context->WaitMaskQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CreateDefaultQueue(Context->Device);
}

[[nodiscard]] NTSTATUS CreateRxFifo(PZELVIK_DEVICE_CONTEXT Context)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    InitChildAttributes(&attributes, Context->Device);
    PVOID storage = NULL;
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPool, ZELVIK_POOL_TAG, Context->RxFifoLength,
                                      &Context->RxFifoMemory, &storage);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FifoInit(&Context->RxFifo, (PUCHAR)storage, Context->RxFifoLength);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS EvtDriverDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    UNREFERENCED_PARAMETER(Driver);

    // 1. The number is taken even if the add fails later, so a failed add leaves a gap.
    WCHAR nameBuffer[DEVICE_NAME_BYTES / sizeof(WCHAR)];
    UNICODE_STRING deviceName;
    deviceName.Buffer = nameBuffer;
    deviceName.Length = 0;
    deviceName.MaximumLength = DEVICE_NAME_BYTES;
    NTSTATUS status = FormatDeviceName(&deviceName, TakeDeviceNumber());
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // 2.-7. Device initialisation: name, type, callbacks, request contexts, file objects, one open
    //       handle at a time, buffered I/O.
    status = WdfDeviceInitAssignName(DeviceInit, &deviceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_SERIAL_PORT);
    SetPnpPowerCallbacks(DeviceInit);
    SetRequestAttributes(DeviceInit);
    SetFileObjectConfig(DeviceInit);
    WdfDeviceInitSetExclusive(DeviceInit, TRUE);
    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoBuffered);

    // 8. One lock for the whole device serialises its queue, DPC and timer callbacks.
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, ZELVIK_DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = EvtDeviceCleanup;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device = NULL;
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // 9. From here on a failure makes the framework delete the device.
    SetPnpCapabilities(device);

    // 10.-11.
    PZELVIK_DEVICE_CONTEXT context = GetDeviceContext(device);
    status = InitDeviceContext(context);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PublishComPort(context);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    // 12. Raised last, so a failed add never changes the system's serial-port count.
    IoGetConfigurationInformation()->SerialCount++;
    context->SerialCountAdded = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS InitDeviceContext(PZELVIK_DEVICE_CONTEXT Context)
{
    RtlZeroMemory(Context, sizeof(*Context));
    Context->Device = (WDFDEVICE)WdfObjectContextGetObject(Context);

    ReadDeviceConfiguration(Context);
    Context->RxFifoLength = Context->RxFifoSizeBytes;
    KeInitializeEvent(&Context->BulkInIdleEvent, NotificationEvent, TRUE);

    NTSTATUS status = CreateDpcs(Context);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    status = CreatePortTimer(Context);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    status = BuildBulkInPool(Context);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    status = CreateQueues(Context);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    return CreateRxFifo(Context);
}

NTSTATUS CreateDpcs(PZELVIK_DEVICE_CONTEXT Context)
{
    NTSTATUS status = CreateDpc(Context->Device, EvtWriteDpc, &Context->WriteDpc);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateDpc(Context->Device, EvtReadDpc, &Context->ReadDpc);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CreateDpc(Context->Device, EvtEventDpc, &Context->EventDpc);
}

NTSTATUS CreatePortTimer(PZELVIK_DEVICE_CONTEXT Context)
{
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT_PERIODIC(&config, EvtPortTimer, PORT_TIMER_PERIOD_MS);
    config.AutomaticSerialization = TRUE;
    config.TolerableDelay = 0;
    WDF_OBJECT_ATTRIBUTES attributes;
    InitChildAttributes(&attributes, Context->Device);
    return WdfTimerCreate(&config, &attributes, &Context->PortTimer);
}
