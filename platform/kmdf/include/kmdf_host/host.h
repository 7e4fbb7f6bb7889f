// Host-side control of the simulated machine, for the test bed: system reset, the verifier, fault
// injection, the clock, the Plug and Play and power manager, the I/O manager as an application sees it,
// and inspection of what drivers published.
//
// Everything here is called from the test's own execution context (PASSIVE_LEVEL, no lock held).
// Operations that a driver completes later return an IoOperation that the test observes after running
// the scheduler (RunUntilIdle / AdvanceBy).
//
// A test in short:
//   kmdf_host::ResetSystem();                                  // the test bed's KmdfTest fixture does this
//   kmdf_host::LoadDriver(DriverEntry);                        // calls the entry at PASSIVE_LEVEL
//   kmdf_host::DeviceSetup setup;
//   setup.hardwareKey = {{u"PortName", kmdf_host::RegistryValue::String(u"COM5")},
//                        {u"UsbBulkCount", kmdf_host::RegistryValue::Dword(2)}};
//   setup.usb = std::make_shared<SomeUsbModel>(...);           // the device behind the USB targets
//   kmdf_host::DeviceNode node;
//   kmdf_host::AddDevice(setup, &node);                        // EvtDriverDeviceAdd
//   kmdf_host::StartDevice(node);                              // prepare hardware, D0 entry, queues on
//   kmdf_host::FileHandle port;
//   auto open = kmdf_host::Open(u"COM5", &port);               // EvtDeviceFileCreate
//   auto read = kmdf_host::Read(port, 16);
//   kmdf_host::AdvanceBy(100);                                 // 100 ms of virtual time pass
//   read->Completed(), read->Status(), read->Information(), read->Output()
//   kmdf_host::Close(port); kmdf_host::RemoveDevice(node);
#pragma once

#include <kmdf_host/scheduler.h>
#include <wdf.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kmdf_host {

class UsbDeviceModel;  // simulated USB device (kmdf_host/usb_device.h)

// ---------------------------------------------------------------------------------------------------
// System.

// Discards every driver, device, object, registry value, published name and pending task, resets the
// clock to its start time, the serial-port count to 0, the pool to its full size, and clears verifier
// reports and injected faults. Call at the start and end of every test (the test bed's fixture does).
void ResetSystem();

// Runs the scheduler from the host's context.
void RunUntilIdle();
void AdvanceBy(ULONG milliseconds);
LONGLONG Now();
// The system time at reset (100-ns units since 1601).
constexpr LONGLONG kStartTime = 133800000000000000LL;

// Ready tasks that may run without the machine becoming idle before the run stops with a RunawayWork
// report (default 5,000,000; reset by ResetSystem; 0 disables).
void SetRunawayLimit(std::uint64_t tasks);

// Size of the non-paged pool shared by ExAllocatePoolWithTag and WdfMemoryCreate (default 64 MiB).
void SetPoolLimit(std::size_t bytes);
std::size_t PoolBytesInUse();

// ---------------------------------------------------------------------------------------------------
// Verifier.
enum class VerifierCheck {
  RequestCompletedTwice,      // a request completed again after its completion
  RequestNotOwned,            // completed, forwarded, marked or sent while the driver does not own it
  WaitAtDispatch,             // a wait at DISPATCH_LEVEL
  WaitUnderLock,              // a wait while holding a framework lock or spin lock
  LockReentered,              // a lock taken again by its holder
  LockReleasedByOther,        // a lock released by an execution context that does not hold it
  LockHeldOnReturn,           // a callback returned with a lock still held
  DeletedObjectUsed,          // a handle used after its object was deleted
  RequestPendingAtRemoval,    // a request still not completed when its device was removed
  WrongLevel,                 // a call made at a level it does not allow
  InvalidCall,                // other misuse (bad handle, wrong object type, invalid parameters)
  AssertionFailed,            // a driver ASSERT failed
  WaitNeverSatisfied,         // a wait that no pending work can end
  RunawayWork,                // ready work that never ends (e.g. a DPC queuing itself forever)
};

const char* ToString(VerifierCheck check);

struct VerifierReport {
  VerifierCheck check;
  std::string message;
};

// Called for every report (the test bed turns unexpected reports into test failures).
void SetVerifierListener(std::function<void(const VerifierReport&)> listener);
const std::vector<VerifierReport>& VerifierReports();
// Returns and clears the reports recorded so far.
std::vector<VerifierReport> TakeVerifierReports();
// Records a report (used by the layer's own parts, e.g. the USB targets).
void ReportVerifier(VerifierCheck check, std::string message);

// ---------------------------------------------------------------------------------------------------
// Fault injection. A named call fails with `status` after letting `skip` calls through, `count` times
// (-1: every time). Reset by ResetSystem. Calls that check: WdfDriverCreate, WdfDeviceInitAssignName,
// WdfDeviceCreate, WdfIoQueueCreate, WdfDpcCreate, WdfTimerCreate, WdfMemoryCreate,
// WdfMemoryCreatePreallocated, ExAllocatePoolWithTag, WdfCollectionCreate, WdfCollectionAdd,
// WdfStringCreate, WdfRequestCreate, WdfRequestReuse, WdfRequestSend, WdfRequestForwardToIoQueue,
// WdfIoQueueRetrieveNextRequest, WdfRequestRetrieveInputBuffer, WdfRequestRetrieveOutputBuffer,
// WdfRequestRetrieveInputMemory, WdfRequestRetrieveOutputMemory, WdfIoTargetStart,
// WdfDeviceOpenRegistryKey, WdfRegistryQueryULong, WdfRegistryQueryUnicodeString,
// WdfRegistryQueryValue, WdfRegistryAssignULong, WdfRegistryAssignUnicodeString,
// WdfDeviceRetrieveDeviceName, WdfDeviceCreateSymbolicLink, WdfDeviceCreateDeviceInterface,
// RtlWriteRegistryValue, RtlDeleteRegistryValue, RtlUnicodeStringPrintf; the USB targets add their own.
void InjectFault(std::string call, NTSTATUS status, int skip = 0, int count = -1);
void ClearFaults();
// STATUS_SUCCESS, or the injected status for this call of `call` (consumes one occurrence).
NTSTATUS CheckFault(const char* call);
// How many times the named call was made since reset (counted whether or not it failed).
int CallCount(const std::string& call);

// ---------------------------------------------------------------------------------------------------
// Registry values as the host writes and reads them.
struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<std::uint8_t> data;

  static RegistryValue Dword(ULONG value);
  // REG_SZ with a terminating zero, as the registry normally stores strings.
  static RegistryValue String(std::u16string_view text);
  // REG_SZ with exactly the given units (no terminator added).
  static RegistryValue RawString(std::u16string_view units);
  std::optional<ULONG> AsDword() const;
  // The UTF-16 units of the data, without a trailing zero.
  std::u16string AsString() const;
};

struct NamedRegistryValue {
  std::u16string name;
  RegistryValue value;
};

// Absolute key paths ("\Registry\Machine\HARDWARE\DEVICEMAP\SERIALCOMM"), compared without regard to case.
std::optional<RegistryValue> ReadRegistryValue(std::u16string_view keyPath, std::u16string_view valueName);
void WriteRegistryValue(std::u16string_view keyPath, std::u16string_view valueName, RegistryValue value);
std::vector<NamedRegistryValue> RegistryValues(std::u16string_view keyPath);
bool RegistryKeyExists(std::u16string_view keyPath);
// Shorthand for values of HKLM\HARDWARE\DEVICEMAP\<key>.
std::optional<RegistryValue> DeviceMapValue(std::u16string_view key, std::u16string_view valueName);

// ---------------------------------------------------------------------------------------------------
// Drivers and devices (Plug and Play and power manager).
using DeviceNode = std::uint32_t;  // 0 is none

// Loads a driver: creates its driver object and calls its entry at PASSIVE_LEVEL. One driver at a time.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view serviceName = u"corvid");
// Calls EvtDriverUnload and deletes the driver object (remaining devices are removed first).
void UnloadDriver();
WDFDRIVER LoadedDriver();

struct DeviceSetup {
  std::u16string instanceId;                  // default: USB\VID_3759&PID_0001\<n>
  std::vector<NamedRegistryValue> hardwareKey;  // values of the device's hardware key
  std::shared_ptr<UsbDeviceModel> usb;        // the device behind the USB targets, if any
};

// Calls EvtDriverDeviceAdd. On failure the partly built device is deleted (its clean-up runs) and no
// node remains; *node is set on success.
NTSTATUS AddDevice(const DeviceSetup& setup, DeviceNode* node);
// Start: EvtDevicePrepareHardware, EvtDeviceD0Entry(D3Final), self-managed I/O init, queues started.
// A failure leaves the device stopped with its hardware released.
NTSTATUS StartDevice(DeviceNode node);
// Low power and back while started: stopping power-managed queues (EvtIoStop suspend) then
// EvtDeviceD0Exit(D3); or EvtDeviceD0Entry(D3) then queues resumed (EvtIoResume).
NTSTATUS PowerDown(DeviceNode node);
NTSTATUS PowerUp(DeviceNode node);
// Orderly stop (query stop then stop): refused with STATUS_UNSUCCESSFUL while the driver forbids it
// (WdfDeviceSetStaticStopRemove FALSE). Stop powers down and releases the hardware; StartDevice again.
NTSTATUS StopDevice(DeviceNode node);
// Orderly removal (query remove then remove): refused like stop. Purges the queues, powers down
// (D3Final), releases the hardware, deletes the device. Requests left pending are reported.
NTSTATUS RemoveDevice(DeviceNode node);
// Surprise removal: EvtDeviceSurpriseRemoval, queues purged, power-down, release; the device goes
// once its open handles are closed (CompleteRemoval closes them for the application and deletes it).
void SurpriseRemoveDevice(DeviceNode node);
void CompleteRemoval(DeviceNode node);

WDFDEVICE DeviceObject(DeviceNode node);  // NULL once removed
std::vector<DeviceNode> Devices();
bool DeviceStarted(DeviceNode node);
bool DeviceInD0(DeviceNode node);
std::u16string DeviceName(DeviceNode node);
std::shared_ptr<UsbDeviceModel> DeviceUsbModel(DeviceNode node);
// Number of outstanding WdfDeviceSetStaticStopRemove(FALSE) calls.
int StopRemoveBlockCount(DeviceNode node);

// ---------------------------------------------------------------------------------------------------
// Published names.
ULONG SerialCount();
// Target device name of a symbolic link ("\DosDevices\COM5"), compared without regard to case.
std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view linkName);
std::vector<std::u16string> SymbolicLinks();
struct DeviceInterfaceRecord {
  DeviceNode node;
  GUID interfaceClass;
  std::u16string referenceString;
};
std::vector<DeviceInterfaceRecord> DeviceInterfaces();

// ---------------------------------------------------------------------------------------------------
// Application I/O (the I/O manager).
using FileHandle = std::uint64_t;  // 0 is invalid

// One I/O request as the application sees it.
class IoOperation {
 public:
  bool Completed() const { return completed_; }
  NTSTATUS Status() const { return status_; }
  ULONG_PTR Information() const { return information_; }
  // Data returned to the application: a read's bytes, a control code's output (Information bytes).
  const std::vector<std::uint8_t>& Output() const { return output_; }
  // How many times the request was completed (more than once is also a verifier report).
  int CompletionCount() const { return completionCount_; }
  bool CancelRequested() const { return cancelRequested_; }
  FileHandle File() const { return file_; }

 private:
  friend struct IoOperationAccess;
  bool completed_ = false;
  NTSTATUS status_ = STATUS_PENDING;
  ULONG_PTR information_ = 0;
  std::vector<std::uint8_t> output_;
  int completionCount_ = 0;
  bool cancelRequested_ = false;
  FileHandle file_ = 0;
};
using IoPtr = std::shared_ptr<const IoOperation>;

struct OpenOptions {
  // The I/O manager refuses a second open of an exclusive device with STATUS_ACCESS_DENIED before the
  // driver sees it; set this to deliver the create to the driver anyway.
  bool bypassExclusive = false;
};

// Opens by DOS name ("COM5", "\\.\COM5", "\DosDevices\COM5", "\??\COM5") or device name
// ("\Device\zelvik_diag1"). The create is delivered to EvtDeviceFileCreate at once (PASSIVE_LEVEL); the
// handle is valid once the operation completed with success. Unknown names: STATUS_OBJECT_NAME_NOT_FOUND.
IoPtr Open(std::u16string_view name, FileHandle* handle, OpenOptions options = {});
IoPtr Read(FileHandle handle, ULONG length);
IoPtr Write(FileHandle handle, std::span<const std::uint8_t> data);
IoPtr DeviceIoControl(FileHandle handle, ULONG ioControlCode, std::span<const std::uint8_t> input,
                      ULONG outputLength);
// Cancels one request (IoCancelIrp). False when it already completed.
bool Cancel(const IoPtr& operation);
// Cancels every pending request of the handle (CancelIo).
void CancelAll(FileHandle handle);
// Closes the handle: cleanup at once (requests of this handle still in queues are cancelled, then
// EvtFileCleanup), close (EvtFileClose at PASSIVE_LEVEL) once every request of the handle completed.
// The operation completes when EvtFileClose has run.
IoPtr Close(FileHandle handle);
bool HandleOpen(FileHandle handle);

// Every completion seen by the I/O manager, in order.
struct CompletionRecord {
  std::uint64_t sequence;
  UCHAR majorFunction;  // IRP_MJ_*
  NTSTATUS status;
  ULONG_PTR information;
  LONGLONG time;
};
const std::vector<CompletionRecord>& CompletedRequests();

// ---------------------------------------------------------------------------------------------------
// Inspection of framework objects (for layer tests and driver tests).
bool DpcQueued(WDFDPC dpc);
bool TimerWaiting(WDFTIMER timer);
// Requests sitting in a queue (not yet presented or retrieved).
ULONG QueueRequestCount(WDFQUEUE queue);
// Live framework objects of the system (objects deleted and freed are not counted).
std::size_t LiveObjectCount();

}  // namespace kmdf_host

namespace kmdf_host {

// ---------------------------------------------------------------------------------------------------
// A generic I/O target whose far side the test drives: requests sent to it stay pending until
// ManualTargetComplete; a cancellation completes them with STATUS_CANCELLED unless turned off.
WDFIOTARGET CreateManualIoTarget(WDFDEVICE device);
std::vector<WDFREQUEST> ManualTargetPending(WDFIOTARGET target);
bool ManualTargetComplete(WDFIOTARGET target, WDFREQUEST request, NTSTATUS status, ULONG_PTR information);
void ManualTargetSetCancelCompletes(WDFIOTARGET target, bool completes);
int ManualTargetCancelCount(WDFIOTARGET target);

}  // namespace kmdf_host
