// The Plug and Play and power manager: driver load and unload, device add, start, power transitions,
// stop, orderly and surprise removal. Every PnP and power callback runs at PASSIVE_LEVEL without a lock,
// in its own execution context.
#include "device.h"
#include "io_manager.h"
#include "system.h"

#include <algorithm>

namespace kmdf {

void SetCurrentDriver(FxDriver* driver);
void IoManagerCloseAll(FxDevice* device);

namespace {

std::unique_ptr<DRIVER_OBJECT> g_driverObject;
std::u16string g_driverName;
std::u16string g_registryPath;
kmdf_host::DeviceNode g_nextNode = 1;

FxDevice* NodeDevice(kmdf_host::DeviceNode node) {
  auto it = DeviceTable().find(node);
  if (it == DeviceTable().end()) return nullptr;
  if (ObjectTable::Find(it->second->Handle()) != it->second) return nullptr;
  return it->second;
}

template <class F>
auto PnpCallback(const char* activity, F&& callback) {
  ScopedExecContext context(activity);
  return callback();
}

WDFDEVICE H(FxDevice* device) { return device->HandleAs<WDFDEVICE>(); }

NTSTATUS CallD0Entry(FxDevice* device, WDF_POWER_DEVICE_STATE previous) {
  auto& cb = device->pnpPower;
  NTSTATUS status = STATUS_SUCCESS;
  if (cb.EvtDeviceD0Entry) status = PnpCallback("EvtDeviceD0Entry", [&] { return cb.EvtDeviceD0Entry(H(device), previous); });
  if (!NT_SUCCESS(status)) return status;
  if (cb.EvtDeviceD0EntryPostInterruptsEnabled) {
    status = PnpCallback("EvtDeviceD0EntryPostInterruptsEnabled",
                         [&] { return cb.EvtDeviceD0EntryPostInterruptsEnabled(H(device), previous); });
  }
  return status;
}

NTSTATUS PowerDownDevice(FxDevice* device, WDF_POWER_DEVICE_STATE target, bool purge) {
  auto& cb = device->pnpPower;
  device->StopQueuesForPower(purge, purge);
  if (cb.EvtDeviceSelfManagedIoSuspend) {
    (void)PnpCallback("EvtDeviceSelfManagedIoSuspend", [&] { return cb.EvtDeviceSelfManagedIoSuspend(H(device)); });
  }
  if (cb.EvtDeviceD0ExitPreInterruptsDisabled) {
    (void)PnpCallback("EvtDeviceD0ExitPreInterruptsDisabled",
                      [&] { return cb.EvtDeviceD0ExitPreInterruptsDisabled(H(device), target); });
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (cb.EvtDeviceD0Exit) status = PnpCallback("EvtDeviceD0Exit", [&] { return cb.EvtDeviceD0Exit(H(device), target); });
  device->inD0 = false;
  return status;
}

void ReleaseHardware(FxDevice* device) {
  auto& cb = device->pnpPower;
  if (cb.EvtDeviceReleaseHardware) {
    (void)PnpCallback("EvtDeviceReleaseHardware", [&] { return cb.EvtDeviceReleaseHardware(H(device), nullptr); });
  }
  device->started = false;
}

// Runs ready work (no time passes), e.g. completions and closes that the teardown made possible.
void RunReadyWork() {
  while (Sched().RunOne()) {
  }
}

void DeleteDevice(FxDevice* device) {
  kmdf_host::DeviceNode node = device->node;
  IoManagerDeviceGone(device);
  {
    ScopedExecContext context("device deletion");
    device->Delete();
  }
  DeviceTable().erase(node);
}

// Removal, orderly or surprise: purge the queues and leave D0 for good (D3Final), flush self-managed
// I/O and release the hardware of a started device; a device never started only has its queues purged.
void PurgePowerDownAndRelease(FxDevice* device) {
  auto& cb = device->pnpPower;
  if (!device->started) {
    device->StopQueuesForPower(true, true);
    return;
  }
  if (device->inD0) {
    (void)PowerDownDevice(device, WdfPowerDeviceD3Final, true);
  } else {
    device->StopQueuesForPower(true, true);
  }
  if (cb.EvtDeviceSelfManagedIoFlush) PnpCallback("EvtDeviceSelfManagedIoFlush", [&] { cb.EvtDeviceSelfManagedIoFlush(H(device)); });
  ReleaseHardware(device);
}

// Teardown shared by orderly and surprise removal after the handles were closed.
void TearDown(FxDevice* device, bool alreadyReleased) {
  auto& cb = device->pnpPower;
  if (!alreadyReleased) {
    PurgePowerDownAndRelease(device);
  }
  RunReadyWork();
  if (cb.EvtDeviceSelfManagedIoCleanup) {
    PnpCallback("EvtDeviceSelfManagedIoCleanup", [&] { cb.EvtDeviceSelfManagedIoCleanup(H(device)); });
  }
  DeleteDevice(device);
}

}  // namespace

void PnpReset() {
  g_driverObject.reset();
  g_nextNode = 1;
  SetCurrentDriver(nullptr);
}

}  // namespace kmdf

namespace kmdf_host {

using namespace kmdf;

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view serviceName) {
  HostCallGuard guard;
  if (entry == nullptr) return STATUS_INVALID_PARAMETER;
  if (CurrentDriver() != nullptr) return STATUS_OBJECT_NAME_COLLISION;
  g_driverObject = std::make_unique<DRIVER_OBJECT>();
  std::memset(g_driverObject.get(), 0, sizeof(DRIVER_OBJECT));
  g_driverName = u"\\Driver\\" + std::u16string(serviceName);
  g_registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(serviceName);
  RtlInitUnicodeString(&g_driverObject->DriverName, g_driverName.c_str());
  g_driverObject->DriverInit = entry;
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, g_registryPath.c_str());
  NTSTATUS status;
  {
    ScopedExecContext context("DriverEntry");
    status = entry(g_driverObject.get(), &registryPath);
  }
  if (!NT_SUCCESS(status)) {
    if (FxDriver* driver = CurrentDriver()) {
      ScopedExecContext context("driver deletion");
      driver->Delete();
    }
    SetCurrentDriver(nullptr);
    g_driverObject.reset();
  }
  return status;
}

void UnloadDriver() {
  HostCallGuard guard;
  FxDriver* driver = CurrentDriver();
  if (driver == nullptr) return;
  for (DeviceNode node : Devices()) {
    SurpriseRemoveDevice(node);
    CompleteRemoval(node);
  }
  if (driver->config.EvtDriverUnload) {
    ScopedExecContext context("EvtDriverUnload");
    driver->config.EvtDriverUnload(driver->HandleAs<WDFDRIVER>());
  }
  {
    ScopedExecContext context("driver deletion");
    driver->Delete();
  }
  SetCurrentDriver(nullptr);
  g_driverObject.reset();
}

WDFDRIVER LoadedDriver() { return CurrentDriver() ? CurrentDriver()->HandleAs<WDFDRIVER>() : nullptr; }

NTSTATUS AddDevice(const DeviceSetup& setup, DeviceNode* node) {
  HostCallGuard guard;
  if (node) *node = 0;
  FxDriver* driver = CurrentDriver();
  if (driver == nullptr || driver->config.EvtDriverDeviceAdd == nullptr) return STATUS_INVALID_DEVICE_STATE;
  DeviceNode id = g_nextNode++;
  WDFDEVICE_INIT init;
  init.driver = driver;
  init.node = id;
  std::u16string instance = setup.instanceId;
  if (instance.empty()) {
    std::string n = std::to_string(id);
    instance = u"USB\\VID_3759&PID_0001\\" + std::u16string(n.begin(), n.end());
  }
  init.hardwareKeyPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance + u"\\Device Parameters";
  Registry()[UpperCase(init.hardwareKeyPath)];
  for (const auto& value : setup.hardwareKey) WriteRegistryValue(init.hardwareKeyPath, value.name, value.value);
  init.usbModel = setup.usb;
  PWDFDEVICE_INIT pinit = &init;
  NTSTATUS status;
  {
    ScopedExecContext context("EvtDriverDeviceAdd");
    status = driver->config.EvtDriverDeviceAdd(driver->HandleAs<WDFDRIVER>(), pinit);
  }
  FxDevice* device = init.created ? static_cast<FxDevice*>(ObjectTable::Find(init.created)) : nullptr;
  if (!NT_SUCCESS(status)) {
    if (device != nullptr) DeleteDevice(device);
    DeviceTable().erase(id);
    return status;
  }
  if (device == nullptr) {
    ReportVerifier(VerifierCheck::InvalidCall, "EvtDriverDeviceAdd returned success without creating a device");
    return STATUS_UNSUCCESSFUL;
  }
  if (node) *node = id;
  return STATUS_SUCCESS;
}

NTSTATUS StartDevice(DeviceNode node) {
  HostCallGuard guard;
  FxDevice* device = NodeDevice(node);
  if (device == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (device->surpriseRemoved || device->removing) return STATUS_DELETE_PENDING;
  if (device->started) return STATUS_INVALID_DEVICE_STATE;
  auto& cb = device->pnpPower;
  NTSTATUS status = STATUS_SUCCESS;
  if (cb.EvtDevicePrepareHardware) {
    status = PnpCallback("EvtDevicePrepareHardware", [&] { return cb.EvtDevicePrepareHardware(H(device), nullptr, nullptr); });
  }
  if (!NT_SUCCESS(status)) {
    ReleaseHardware(device);
    return status;
  }
  device->started = true;
  status = CallD0Entry(device, WdfPowerDeviceD3Final);
  if (!NT_SUCCESS(status)) {
    ReleaseHardware(device);
    return status;
  }
  device->inD0 = true;
  device->ResumeQueuesForPower();
  if (cb.EvtDeviceSelfManagedIoInit) {
    (void)PnpCallback("EvtDeviceSelfManagedIoInit", [&] { return cb.EvtDeviceSelfManagedIoInit(H(device)); });
  }
  return STATUS_SUCCESS;
}

NTSTATUS PowerDown(DeviceNode node) {
  HostCallGuard guard;
  FxDevice* device = NodeDevice(node);
  if (device == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!device->started || !device->inD0) return STATUS_INVALID_DEVICE_STATE;
  return PowerDownDevice(device, WdfPowerDeviceD3, false);
}

NTSTATUS PowerUp(DeviceNode node) {
  HostCallGuard guard;
  FxDevice* device = NodeDevice(node);
  if (device == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!device->started || device->inD0) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = CallD0Entry(device, WdfPowerDeviceD3);
  if (!NT_SUCCESS(status)) return status;
  device->inD0 = true;
  device->ResumeQueuesForPower();
  auto& cb = device->pnpPower;
  if (cb.EvtDeviceSelfManagedIoRestart) {
    (void)PnpCallback("EvtDeviceSelfManagedIoRestart", [&] { return cb.EvtDeviceSelfManagedIoRestart(H(device)); });
  }
  return STATUS_SUCCESS;
}

NTSTATUS StopDevice(DeviceNode node) {
  HostCallGuard guard;
  FxDevice* device = NodeDevice(node);
  if (device == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (!device->started) return STATUS_INVALID_DEVICE_STATE;
  if (device->staticStopRemoveBlocks > 0) return STATUS_UNSUCCESSFUL;
  auto& cb = device->pnpPower;
  if (cb.EvtDeviceQueryStop) {
    NTSTATUS status = PnpCallback("EvtDeviceQueryStop", [&] { return cb.EvtDeviceQueryStop(H(device)); });
    if (!NT_SUCCESS(status)) return status;
  }
  if (device->inD0) (void)PowerDownDevice(device, WdfPowerDeviceD3Final, false);
  ReleaseHardware(device);
  return STATUS_SUCCESS;
}

NTSTATUS RemoveDevice(DeviceNode node) {
  HostCallGuard guard;
  FxDevice* device = NodeDevice(node);
  if (device == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (device->staticStopRemoveBlocks > 0) return STATUS_UNSUCCESSFUL;
  auto& cb = device->pnpPower;
  if (cb.EvtDeviceQueryRemove) {
    NTSTATUS status = PnpCallback("EvtDeviceQueryRemove", [&] { return cb.EvtDeviceQueryRemove(H(device)); });
    if (!NT_SUCCESS(status)) return status;
  }
  device->removing = true;
  IoManagerCloseAll(device);
  RunReadyWork();
  TearDown(device, false);
  return STATUS_SUCCESS;
}

void SurpriseRemoveDevice(DeviceNode node) {
  HostCallGuard guard;
  FxDevice* device = NodeDevice(node);
  if (device == nullptr || device->surpriseRemoved) return;
  device->surpriseRemoved = true;
  auto& cb = device->pnpPower;
  if (cb.EvtDeviceSurpriseRemoval) PnpCallback("EvtDeviceSurpriseRemoval", [&] { cb.EvtDeviceSurpriseRemoval(H(device)); });
  PurgePowerDownAndRelease(device);
}

void CompleteRemoval(DeviceNode node) {
  HostCallGuard guard;
  FxDevice* device = NodeDevice(node);
  if (device == nullptr) return;
  device->removing = true;
  IoManagerCloseAll(device);
  RunReadyWork();
  TearDown(device, device->surpriseRemoved);
}

WDFDEVICE DeviceObject(DeviceNode node) {
  FxDevice* device = NodeDevice(node);
  return device ? H(device) : nullptr;
}

std::vector<DeviceNode> Devices() {
  std::vector<DeviceNode> nodes;
  for (auto& [node, device] : DeviceTable()) {
    if (NodeDevice(node) != nullptr) nodes.push_back(node);
  }
  return nodes;
}

bool DeviceStarted(DeviceNode node) {
  FxDevice* device = NodeDevice(node);
  return device && device->started;
}

bool DeviceInD0(DeviceNode node) {
  FxDevice* device = NodeDevice(node);
  return device && device->inD0;
}

std::u16string DeviceName(DeviceNode node) {
  FxDevice* device = NodeDevice(node);
  return device ? device->name : std::u16string();
}

std::shared_ptr<UsbDeviceModel> DeviceUsbModel(DeviceNode node) {
  FxDevice* device = NodeDevice(node);
  return device ? device->usbModel : nullptr;
}

int StopRemoveBlockCount(DeviceNode node) {
  FxDevice* device = NodeDevice(node);
  return device ? device->staticStopRemoveBlocks : 0;
}

}  // namespace kmdf_host
