// The layer's test driver: callbacks record where they ran and defer to the test's hooks.
#include "test_driver.h"

namespace test_driver {

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DeviceContext, GetDeviceContext)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(RequestContext, GetRequestContext)

namespace {

Hooks g_hooks;
std::vector<Observation> g_observations;
LONG g_deviceCount = 0;
DeviceContext* g_lastDevice = nullptr;

void Observe(const char* what, WDFOBJECT lockOwner) {
  g_observations.push_back(Observation{what, KeGetCurrentIrql(), lockOwner && KmdfObjectIsLockHeld(lockOwner) != FALSE});
}

WDFDEVICE DeviceOfQueue(WDFQUEUE queue) { return WdfIoQueueGetDevice(queue); }

EVT_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
EVT_WDF_IO_QUEUE_IO_READ EvtIoRead;
EVT_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_STOP EvtIoStop;
EVT_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
EVT_WDF_DPC EvtDpcFunc;
EVT_WDF_TIMER EvtTimerFunc;
EVT_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
EVT_WDF_FILE_CLOSE EvtFileClose;
EVT_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDeviceCleanup;

void EvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  Observe("EvtIoRead", DeviceOfQueue(Queue));
  if (g_hooks.read) return g_hooks.read(Queue, Request, Length);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
}

void EvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  Observe("EvtIoWrite", DeviceOfQueue(Queue));
  if (g_hooks.write) return g_hooks.write(Queue, Request, Length);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, Length);
}

void EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                        ULONG IoControlCode) {
  Observe("EvtIoDeviceControl", DeviceOfQueue(Queue));
  if (g_hooks.ioctl) return g_hooks.ioctl(Queue, Request, OutputBufferLength, InputBufferLength, IoControlCode);
  WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
}

void EvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags) {
  Observe("EvtIoStop", DeviceOfQueue(Queue));
  if (g_hooks.stop) return g_hooks.stop(Queue, Request, ActionFlags);
  if (ActionFlags & WdfRequestStopActionSuspend) WdfRequestStopAcknowledge(Request, FALSE);
}

void EvtIoResume(WDFQUEUE Queue, WDFREQUEST Request) {
  Observe("EvtIoResume", DeviceOfQueue(Queue));
  if (g_hooks.resume) g_hooks.resume(Queue, Request);
}

void EvtIoCanceledOnQueue(WDFQUEUE Queue, WDFREQUEST Request) {
  Observe("EvtIoCanceledOnQueue", DeviceOfQueue(Queue));
  if (g_hooks.canceledOnQueue) return g_hooks.canceledOnQueue(Queue, Request);
  WdfRequestCompleteWithInformation(Request, WdfRequestGetStatus(Request), 0);
}

void EvtDpcFunc(WDFDPC Dpc) {
  Observe("EvtDpcFunc", WdfDpcGetParentObject(Dpc));
  if (g_hooks.dpc) g_hooks.dpc(Dpc);
}

void EvtTimerFunc(WDFTIMER Timer) {
  Observe("EvtTimerFunc", WdfTimerGetParentObject(Timer));
  if (g_hooks.timer) g_hooks.timer(Timer);
}

void EvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject) {
  Observe("EvtDeviceFileCreate", Device);
  if (g_hooks.fileCreate) return g_hooks.fileCreate(Device, Request, FileObject);
  WdfRequestComplete(Request, STATUS_SUCCESS);
}

void EvtFileClose(WDFFILEOBJECT FileObject) {
  Observe("EvtFileClose", WdfFileObjectGetDevice(FileObject));
  if (g_hooks.fileClose) g_hooks.fileClose(FileObject);
}

NTSTATUS EvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST) {
  Observe("EvtDevicePrepareHardware", Device);
  return g_hooks.prepareHardware ? g_hooks.prepareHardware(Device) : STATUS_SUCCESS;
}

NTSTATUS EvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST) {
  Observe("EvtDeviceReleaseHardware", Device);
  return g_hooks.releaseHardware ? g_hooks.releaseHardware(Device) : STATUS_SUCCESS;
}

NTSTATUS EvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
  Observe("EvtDeviceD0Entry", Device);
  return g_hooks.d0Entry ? g_hooks.d0Entry(Device) : STATUS_SUCCESS;
}

NTSTATUS EvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
  Observe("EvtDeviceD0Exit", Device);
  return g_hooks.d0Exit ? g_hooks.d0Exit(Device) : STATUS_SUCCESS;
}

void EvtDeviceCleanup(WDFOBJECT Object) {
  g_observations.push_back(Observation{"EvtDeviceCleanup", KeGetCurrentIrql(), false});
  if (g_hooks.deviceCleanup) g_hooks.deviceCleanup(Object);
}

NTSTATUS EvtDriverDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
  ULONG number = static_cast<ULONG>(InterlockedIncrement(&g_deviceCount));
  WCHAR nameBuffer[64];
  UNICODE_STRING name = {0, sizeof(nameBuffer), nameBuffer};
  NTSTATUS status = RtlUnicodeStringPrintf(&name, u"%ws%d", u"\\Device\\kmdftest", number);
  if (!NT_SUCCESS(status)) return status;
  status = WdfDeviceInitAssignName(DeviceInit, &name);
  if (!NT_SUCCESS(status)) return status;
  WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_SERIAL_PORT);

  WDF_PNPPOWER_EVENT_CALLBACKS pnp;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
  pnp.EvtDevicePrepareHardware = EvtDevicePrepareHardware;
  pnp.EvtDeviceReleaseHardware = EvtDeviceReleaseHardware;
  pnp.EvtDeviceD0Entry = EvtDeviceD0Entry;
  pnp.EvtDeviceD0Exit = EvtDeviceD0Exit;
  WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);

  WDF_OBJECT_ATTRIBUTES requestAttributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, RequestContext);
  WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);

  WDF_FILEOBJECT_CONFIG fileConfig;
  WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtDeviceFileCreate, EvtFileClose, WDF_NO_EVENT_CALLBACK);
  WDF_OBJECT_ATTRIBUTES fileAttributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&fileAttributes);
  fileAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
  WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, &fileAttributes);
  WdfDeviceInitSetExclusive(DeviceInit, TRUE);
  WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoBuffered);

  WDF_OBJECT_ATTRIBUTES deviceAttributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DeviceContext);
  deviceAttributes.EvtCleanupCallback = EvtDeviceCleanup;
  deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
  WDFDEVICE device;
  status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, &device);
  if (!NT_SUCCESS(status)) return status;

  DeviceContext* context = GetDeviceContext(device);
  context->Device = device;
  context->Number = number;
  g_lastDevice = context;

  WDF_IO_QUEUE_CONFIG queueConfig;
  WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
  queueConfig.EvtIoRead = EvtIoRead;
  queueConfig.EvtIoWrite = EvtIoWrite;
  queueConfig.EvtIoDeviceControl = EvtIoDeviceControl;
  queueConfig.EvtIoStop = EvtIoStop;
  queueConfig.EvtIoResume = EvtIoResume;
  queueConfig.EvtIoCanceledOnQueue = EvtIoCanceledOnQueue;
  status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &context->DefaultQueue);
  if (!NT_SUCCESS(status)) return status;

  WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchManual);
  queueConfig.EvtIoStop = EvtIoStop;
  queueConfig.EvtIoResume = EvtIoResume;
  queueConfig.EvtIoCanceledOnQueue = EvtIoCanceledOnQueue;
  status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &context->HoldQueue);
  if (!NT_SUCCESS(status)) return status;

  WDF_DPC_CONFIG dpcConfig;
  WDF_DPC_CONFIG_INIT(&dpcConfig, EvtDpcFunc);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = device;
  status = WdfDpcCreate(&dpcConfig, &attributes, &context->Dpc);
  if (!NT_SUCCESS(status)) return status;

  WDF_TIMER_CONFIG timerConfig;
  WDF_TIMER_CONFIG_INIT_PERIODIC(&timerConfig, EvtTimerFunc, 100);
  status = WdfTimerCreate(&timerConfig, &attributes, &context->Timer);
  if (!NT_SUCCESS(status)) return status;

  WCHAR linkBuffer[64];
  UNICODE_STRING link = {0, sizeof(linkBuffer), linkBuffer};
  status = RtlUnicodeStringPrintf(&link, u"%ws%d", u"\\DosDevices\\KTEST", number);
  if (!NT_SUCCESS(status)) return status;
  status = WdfDeviceCreateSymbolicLink(device, &link);
  if (!NT_SUCCESS(status)) return status;
  return g_hooks.deviceAdd ? g_hooks.deviceAdd(context) : STATUS_SUCCESS;
}

}  // namespace

void Reset() {
  g_hooks = Hooks{};
  g_observations.clear();
  g_deviceCount = 0;
  g_lastDevice = nullptr;
}

Hooks& TheHooks() { return g_hooks; }
std::vector<Observation>& Observations() { return g_observations; }

const Observation* Find(const std::string& what) {
  for (auto& o : g_observations) {
    if (o.what == what) return &o;
  }
  return nullptr;
}

std::vector<std::string> Names() {
  std::vector<std::string> names;
  for (auto& o : g_observations) names.push_back(o.what);
  return names;
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, EvtDriverDeviceAdd);
  return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

DeviceContext* ContextOf(WDFDEVICE device) { return GetDeviceContext(device); }
DeviceContext* LastDevice() { return g_lastDevice; }
RequestContext* RequestContextOf(WDFREQUEST request) { return GetRequestContext(request); }

}  // namespace test_driver
