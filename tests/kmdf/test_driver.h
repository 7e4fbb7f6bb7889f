// A small driver for the layer's own tests. It creates a named device with a DOS name, a default
// parallel queue, a manual "hold" queue, a DPC and a periodic timer, all under device-wide
// synchronisation, and lets each test decide what its callbacks do through hooks.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include <functional>
#include <string>
#include <vector>

namespace test_driver {

struct DeviceContext {
  WDFDEVICE Device;
  WDFQUEUE DefaultQueue;
  WDFQUEUE HoldQueue;
  WDFDPC Dpc;
  WDFTIMER Timer;
  WDFREQUEST Held;  // a request the driver keeps, for tests that need one
  ULONG Number;
};

struct RequestContext {
  ULONG Marker;
};

struct Observation {
  std::string what;
  KIRQL irql;
  bool lockHeld;
};

// What the driver's callbacks do. Empty hooks take the default behaviour named beside them.
struct Hooks {
  std::function<void(WDFQUEUE, WDFREQUEST, size_t)> read;        // default: complete with success, 0 bytes
  std::function<void(WDFQUEUE, WDFREQUEST, size_t)> write;       // default: complete with success, length
  std::function<void(WDFQUEUE, WDFREQUEST, size_t, size_t, ULONG)> ioctl;  // default: STATUS_NOT_SUPPORTED
  std::function<void(WDFQUEUE, WDFREQUEST, ULONG)> stop;         // default: acknowledge without requeue
  std::function<void(WDFQUEUE, WDFREQUEST)> resume;              // default: nothing
  std::function<void(WDFQUEUE, WDFREQUEST)> canceledOnQueue;     // default: complete with its status
  std::function<void(WDFDPC)> dpc;                               // default: nothing
  std::function<void(WDFTIMER)> timer;                           // default: nothing
  std::function<void(WDFDEVICE, WDFREQUEST, WDFFILEOBJECT)> fileCreate;  // default: complete with success
  std::function<void(WDFFILEOBJECT)> fileClose;                  // default: nothing
  std::function<NTSTATUS(DeviceContext*)> deviceAdd;             // extra step at the end of device add
  std::function<NTSTATUS(WDFDEVICE)> prepareHardware;
  std::function<NTSTATUS(WDFDEVICE)> releaseHardware;
  std::function<NTSTATUS(WDFDEVICE)> d0Entry;
  std::function<NTSTATUS(WDFDEVICE)> d0Exit;
  std::function<void(WDFOBJECT)> deviceCleanup;
};

// Resets hooks, observations and the device counter.
void Reset();
Hooks& TheHooks();
// Every callback appends what ran, at which level, and whether the device lock was held.
std::vector<Observation>& Observations();
const Observation* Find(const std::string& what);
std::vector<std::string> Names();

DRIVER_INITIALIZE TestDriverEntry;

DeviceContext* ContextOf(WDFDEVICE device);
// The context of the most recently created device.
DeviceContext* LastDevice();
RequestContext* RequestContextOf(WDFREQUEST request);

}  // namespace test_driver
