// Drivers, devices, queues, file objects and the other framework objects, as the layer keeps them.
//
// Levels and locks of callbacks: queue callbacks (I/O, stop, resume, cancelled-on-queue) and request
// cancel routines run at DISPATCH_LEVEL under the lock of their synchronisation scope (the device lock
// for device scope); DPC and timer callbacks likewise when created with automatic serialisation; PnP,
// power and file callbacks run at PASSIVE_LEVEL without a lock; completion routines at DISPATCH_LEVEL
// without a lock.
#pragma once

#include "exec.h"
#include "io_target.h"
#include "object.h"
#include "request.h"

#include <kmdf_host/host.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace kmdf {

class FxQueue;
class FxFileObject;

class FxDriver : public FxObject {
 public:
  FxDriver() : FxObject(ObjectType::Driver, nullptr) {}
  bool DriverMayDelete() const override { return false; }
  WDF_DRIVER_CONFIG config{};
  PDRIVER_OBJECT driverObject = nullptr;
  std::u16string registryPath;
};

FxDriver* CurrentDriver();

}  // namespace kmdf

// The device-initialisation record handed to EvtDriverDeviceAdd.
struct WDFDEVICE_INIT {
  kmdf::FxDriver* driver = nullptr;
  kmdf_host::DeviceNode node = 0;
  std::u16string name;
  bool hasName = false;
  DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
  ULONG characteristics = 0;
  bool exclusive = false;
  WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
  WDF_PNPPOWER_EVENT_CALLBACKS pnpPower{};
  bool hasRequestAttributes = false;
  WDF_OBJECT_ATTRIBUTES requestAttributes{};
  bool hasFileConfig = false;
  WDF_FILEOBJECT_CONFIG fileConfig{};
  bool hasFileAttributes = false;
  WDF_OBJECT_ATTRIBUTES fileAttributes{};
  std::u16string hardwareKeyPath;
  std::shared_ptr<kmdf_host::UsbDeviceModel> usbModel;
  WDFDEVICE created = nullptr;  // set by WdfDeviceCreate
};

namespace kmdf {

class FxDevice : public FxObject {
 public:
  FxDevice(FxDriver* driver, const WDFDEVICE_INIT& init);
  ~FxDevice() override;
  bool DriverMayDelete() const override { return false; }

  FxDriver* driver;
  kmdf_host::DeviceNode node;
  std::u16string name;  // empty for an unnamed device
  // The name of the device's physical device object (given by the bus); an unnamed device is reached
  // through it.
  std::u16string pdoName;
  // The name symbolic links point to: the device's own name, or else the physical device object's.
  const std::u16string& LinkTargetName() const { return name.empty() ? pdoName : name; }
  DEVICE_TYPE deviceType;
  ULONG characteristics;
  bool exclusive;
  WDF_DEVICE_IO_TYPE ioType;
  WDF_PNPPOWER_EVENT_CALLBACKS pnpPower;
  bool hasRequestAttributes;
  WDF_OBJECT_ATTRIBUTES requestAttributes;
  bool hasFileConfig;
  WDF_FILEOBJECT_CONFIG fileConfig;
  bool hasFileAttributes;
  WDF_OBJECT_ATTRIBUTES fileAttributes;
  std::u16string hardwareKeyPath;
  // The simulated USB device behind this device's USB targets (null for none).
  std::shared_ptr<kmdf_host::UsbDeviceModel> usbModel;
  WDF_DEVICE_PNP_CAPABILITIES pnpCapabilities{};

  FxLock syncLock;  // the device-wide synchronisation lock
  std::vector<FxQueue*> queues;
  FxQueue* defaultQueue = nullptr;
  std::vector<FxFileObject*> files;
  int staticStopRemoveBlocks = 0;
  bool started = false;
  bool inD0 = false;
  bool surpriseRemoved = false;
  bool removing = false;
  int openCount = 0;  // file objects created and not closed

  // The lock serialising callbacks of `object` (a queue, DPC, timer or request of this device), by the
  // object's resolved synchronisation scope; null for none.
  FxLock* LockFor(const FxObject* object);

  // Stops (suspend) or purges the power-managed queues (all queues when `allQueues`), calling EvtIoStop
  // for the requests the driver owns, then runs ready work until they are acknowledged or completed.
  void StopQueuesForPower(bool purge, bool allQueues);
  void ResumeQueuesForPower();

 protected:
  void OnDelete() override;
};

FxDevice* LookupDevice(WDFDEVICE handle, const char* call);
// The synchronisation lock WdfObjectAcquireLock takes for a device or queue (reports other objects).
FxLock* ObjectLock(FxObject* object, const char* call);

class FxFileObject : public FxObject {
 public:
  FxFileObject(FxDevice* device, kmdf_host::FileHandle handle);
  bool DriverMayDelete() const override { return false; }
  FxDevice* device;
  kmdf_host::FileHandle handle;
  UNICODE_STRING fileName{};
};

class FxQueue : public FxObject {
 public:
  FxQueue(FxDevice* device, const WDF_IO_QUEUE_CONFIG& config);
  bool DriverMayDelete() const override { return false; }

  FxDevice* device;
  WDF_IO_QUEUE_CONFIG config;
  bool powerManaged;
  bool accepting = true;     // takes new requests (false after a purge)
  bool dispatching = false;  // presents requests / allows retrieval (false while stopped)
  bool powerStopped = false; // stopped because the device left D0
  std::deque<FxRequest*> pending;
  std::vector<FxRequest*> driverOwned;  // presented or retrieved, neither completed nor forwarded
  ULONG presented = 0;                  // requests presented by a parallel/sequential queue, in driver
  bool dispatchPosted = false;
  FxLock queueLock;  // for queue synchronisation scope

  // Adds a request (from the I/O manager or a forward). Refused requests are completed by the caller.
  NTSTATUS Enqueue(FxRequest* request, bool atFront = false);
  // Presents waiting requests later (through the scheduler, under the callback lock).
  void ScheduleDispatch();
  NTSTATUS RetrieveNext(FxRequest** request, FxFileObject* file = nullptr);
  // The application cancelled a request waiting here.
  void CancelQueued(FxRequest* request);
  // The request left the driver's hands (completed, forwarded, requeued, deleted).
  void ReleaseOwned(FxRequest* request);
  void TakeOwned(FxRequest* request);
  // Cancels every waiting request (to EvtIoCanceledOnQueue or STATUS_CANCELLED) and stops accepting.
  void Purge();
  // Cancels waiting requests of one file object (file cleanup).
  void FlushFile(FxFileObject* file);
  // Calls `callback` (under the queue's lock) once the driver owns no request of the queue.
  void NotifyWhenIdle(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, const char* activity);

 protected:
  void OnDelete() override;

 private:
  void DispatchNow();
  void PostIdleNotifications();
  struct IdleNotification {
    PFN_WDF_IO_QUEUE_STATE callback;
    WDFCONTEXT context;
    const char* activity;
  };
  std::vector<IdleNotification> idleNotifications_;
};

FxQueue* LookupQueue(WDFQUEUE handle, const char* call);

class FxMemory : public FxObject {
 public:
  FxMemory(FxObject* parent, std::uint8_t* buffer, std::size_t size, bool ownsBuffer, ULONG tag);
  ~FxMemory() override;
  std::uint8_t* buffer;
  std::size_t size;
  bool ownsBuffer;
  ULONG tag;
  bool frameworkOwned = false;  // a request's buffer memory: the driver may not delete it
  bool DriverMayDelete() const override { return !frameworkOwned; }
};

FxMemory* LookupMemory(WDFMEMORY handle, const char* call);
// Creates a memory object over the buffer of a request (parent: the request).
FxMemory* CreateRequestMemory(FxRequest* request, std::uint8_t* buffer, std::size_t size);

// Pool accounting shared by memory objects and ExAllocatePoolWithTag.
bool PoolReserve(std::size_t bytes);
void PoolRelease(std::size_t bytes);

// Removes a deleted object from every collection holding it.
void ForgetInCollections(WDFOBJECT handle);

}  // namespace kmdf
