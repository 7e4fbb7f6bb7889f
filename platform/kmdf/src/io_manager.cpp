// The I/O manager as applications meet it: opening a device by DOS or device name, reads, writes and
// control codes delivered to the device's default queue, cancellation, and cleanup/close of handles.
#include "io_manager.h"

#include "io_target.h"
#include "system.h"

#include <algorithm>
#include <map>
#include <set>

namespace kmdf_host {

struct IoOperationAccess {
  static void SetFile(IoOperation& op, FileHandle file) { op.file_ = file; }
  static void Complete(IoOperation& op, NTSTATUS status, ULONG_PTR information, std::vector<std::uint8_t> output) {
    ++op.completionCount_;
    if (op.completed_) return;
    op.completed_ = true;
    op.status_ = status;
    op.information_ = information;
    op.output_ = std::move(output);
  }
  static void MarkCancelRequested(IoOperation& op) { op.cancelRequested_ = true; }
};

}  // namespace kmdf_host

namespace kmdf {
namespace {

using kmdf_host::FileHandle;
using kmdf_host::IoOperation;
using kmdf_host::IoOperationAccess;

struct FileState {
  FxDevice* device = nullptr;
  WDFOBJECT fileObject = nullptr;
  bool open = false;     // the create completed with success
  bool closing = false;  // cleanup done, close waits for outstanding requests
  bool closeStarted = false;
  std::set<IoPacket*> outstanding;
  std::shared_ptr<IoOperation> closeOperation;
};

std::map<FileHandle, FileState> g_files;
FileHandle g_nextFile = 1;
std::uint64_t g_sequence = 1;
std::vector<kmdf_host::CompletionRecord> g_completions;
std::map<const IoOperation*, std::shared_ptr<IoPacket>> g_packets;

void RunClose(FileHandle handle);

FxFileObject* FileObjectOf(const FileState& state) {
  return static_cast<FxFileObject*>(ObjectTable::Find(state.fileObject));
}

std::shared_ptr<IoPacket> NewPacket(UCHAR major, FileHandle file, FxDevice* device) {
  auto packet = std::make_shared<IoPacket>();
  packet->sequence = g_sequence++;
  packet->majorFunction = major;
  packet->operation = std::make_shared<IoOperation>();
  packet->file = file;
  packet->device = device;
  IoOperationAccess::SetFile(*packet->operation, file);
  g_packets[packet->operation.get()] = packet;
  auto it = g_files.find(file);
  if (it != g_files.end()) {
    packet->fileObject = FileObjectOf(it->second);
    it->second.outstanding.insert(packet.get());
  }
  return packet;
}

kmdf_host::IoPtr Failed(NTSTATUS status, FileHandle file = 0) {
  auto op = std::make_shared<IoOperation>();
  IoOperationAccess::SetFile(*op, file);
  IoOperationAccess::Complete(*op, status, 0, {});
  return op;
}

FxRequest* NewRequest(const std::shared_ptr<IoPacket>& packet) {
  FxDevice* device = packet->device;
  NTSTATUS status;
  FxRequest* request =
      CreateObject<FxRequest>(device->hasRequestAttributes ? &device->requestAttributes : nullptr, &status, device, packet);
  return request;
}

kmdf_host::IoPtr Submit(FileHandle handle, UCHAR major, std::vector<std::uint8_t> buffer, std::size_t input,
                        std::size_t output, ULONG code) {
  HostCallGuard guard;
  auto file = g_files.find(handle);
  if (file == g_files.end() || !file->second.open || file->second.closing) return Failed(STATUS_INVALID_HANDLE, handle);
  FxDevice* device = file->second.device;
  auto packet = NewPacket(major, handle, device);
  packet->systemBuffer = std::move(buffer);
  packet->inputLength = input;
  packet->outputLength = output;
  packet->ioControlCode = code;
  kmdf_host::IoPtr op = packet->operation;
  FxRequest* request = NewRequest(packet);
  if (request == nullptr) {
    CompletePacket(packet.get(), STATUS_INSUFFICIENT_RESOURCES, 0);
    return op;
  }
  FxQueue* queue = device->defaultQueue;
  NTSTATUS status = queue ? queue->Enqueue(request) : STATUS_INVALID_DEVICE_REQUEST;
  if (!NT_SUCCESS(status)) {
    request->place = RequestPlace::DriverOwned;
    request->queue = nullptr;
    request->CompleteToIoManager(status, 0);
  }
  return op;
}

FxDevice* ResolveName(std::u16string_view name) {
  std::u16string upper = UpperCase(name);
  if (upper.rfind(u"\\DEVICE\\", 0) == 0) return DeviceByName(name);
  std::u16string key = CanonicalLinkName(name);
  if (key.rfind(u"\\??\\", 0) != 0) key = u"\\??\\" + key;
  auto link = SymbolicLinkTable().find(key);
  if (link == SymbolicLinkTable().end()) return nullptr;
  return DeviceByName(link->second.target);
}

void RunClose(FileHandle handle) {
  auto it = g_files.find(handle);
  if (it == g_files.end() || it->second.closeStarted) return;
  FileState& state = it->second;
  state.closeStarted = true;
  FxDevice* device = state.device;
  WDFOBJECT fileHandle = state.fileObject;
  if (device->hasFileConfig && device->fileConfig.EvtFileClose != nullptr && ObjectTable::Find(fileHandle)) {
    ScopedExecContext context("EvtFileClose");
    device->fileConfig.EvtFileClose(static_cast<WDFFILEOBJECT>(fileHandle));
  }
  std::shared_ptr<IoOperation> closeOp = state.closeOperation;
  g_files.erase(it);
  if (device->openCount > 0) --device->openCount;
  if (FxObject* file = ObjectTable::Find(fileHandle)) {
    auto& files = device->files;
    files.erase(std::remove(files.begin(), files.end(), static_cast<FxFileObject*>(file)), files.end());
    file->Delete();
  }
  if (closeOp) {
    IoOperationAccess::Complete(*closeOp, STATUS_SUCCESS, 0, {});
    g_completions.push_back(kmdf_host::CompletionRecord{g_sequence++, IRP_MJ_CLOSE, STATUS_SUCCESS, 0, Sched().Now()});
  }
}

}  // namespace

void CompletePacket(IoPacket* packet, NTSTATUS status, ULONG_PTR information) {
  if (packet->completed) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestCompletedTwice, "an I/O request completed twice");
    IoOperationAccess::Complete(*packet->operation, status, information, {});
    return;
  }
  packet->completed = true;
  std::vector<std::uint8_t> output;
  if (packet->majorFunction == IRP_MJ_READ || packet->majorFunction == IRP_MJ_DEVICE_CONTROL ||
      packet->majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    std::size_t n = std::min<std::size_t>(information, packet->outputLength);
    if (NT_SUCCESS(status) || NT_WARNING(status)) {
      output.assign(packet->systemBuffer.begin(), packet->systemBuffer.begin() + static_cast<std::ptrdiff_t>(n));
    }
  }
  IoOperationAccess::Complete(*packet->operation, status, information, std::move(output));
  g_completions.push_back(
      kmdf_host::CompletionRecord{g_sequence++, packet->majorFunction, status, information, Sched().Now()});
  std::shared_ptr<IoPacket> keep = g_packets[packet->operation.get()];
  g_packets.erase(packet->operation.get());
  auto file = g_files.find(packet->file);
  if (file == g_files.end()) return;
  FileState& state = file->second;
  state.outstanding.erase(packet);
  if (packet->majorFunction == IRP_MJ_CREATE) {
    if (NT_SUCCESS(status)) {
      state.open = true;
    } else {
      FxDevice* device = state.device;
      WDFOBJECT fileHandle = state.fileObject;
      g_files.erase(file);
      if (device->openCount > 0) --device->openCount;
      if (FxObject* object = ObjectTable::Find(fileHandle)) {
        auto& files = device->files;
        files.erase(std::remove(files.begin(), files.end(), static_cast<FxFileObject*>(object)), files.end());
        object->Delete();
      }
    }
    return;
  }
  if (state.closing && state.outstanding.empty() && !state.closeStarted) {
    FileHandle handle = packet->file;
    PostPassive("EvtFileClose", [handle]() { RunClose(handle); });
  }
}

void IoManagerReset() {
  g_files.clear();
  g_nextFile = 1;
  g_sequence = 1;
  g_completions.clear();
  g_packets.clear();
}

// Closes every handle of the device for the application (cleanup now, close when possible).
void IoManagerCloseAll(FxDevice* device) {
  std::vector<FileHandle> handles;
  for (auto& [handle, state] : g_files) {
    if (state.device == device && !state.closing) handles.push_back(handle);
  }
  for (FileHandle handle : handles) (void)kmdf_host::Close(handle);
}

void IoManagerDeviceGone(FxDevice* device) {
  std::vector<std::shared_ptr<IoPacket>> pending;
  for (auto& [op, packet] : g_packets) {
    if (packet->device == device && !packet->completed) pending.push_back(packet);
  }
  for (auto& packet : pending) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestPendingAtRemoval,
                              "a request (major function " + std::to_string(packet->majorFunction) +
                                  ") was still pending when its device was removed");
    if (packet->request != nullptr) {
      FxRequest* request = packet->request;
      if (request->sentTo != nullptr) {
        // The target goes with the device; the request no longer counts as sent.
        request->sentTo->ForgetSent(request);
        request->place = RequestPlace::DriverOwned;
        request->sentTo = nullptr;
      }
      request->cancelRoutine = nullptr;
      request->cancelRoutinePending = false;
      if (request->place == RequestPlace::InQueue && request->queue) {
        auto& q = request->queue->pending;
        q.erase(std::remove(q.begin(), q.end(), request), q.end());
        request->place = RequestPlace::DriverOwned;
      }
      request->CompleteToIoManager(STATUS_CANCELLED, 0);
    } else if (!packet->completed) {
      CompletePacket(packet.get(), STATUS_CANCELLED, 0);
    }
  }
  std::vector<FileHandle> handles;
  for (auto& [handle, state] : g_files) {
    if (state.device == device) handles.push_back(handle);
  }
  for (FileHandle handle : handles) {
    auto it = g_files.find(handle);
    if (it == g_files.end()) continue;
    if (!it->second.closing) {
      it->second.closing = true;
      it->second.closeOperation = std::make_shared<IoOperation>();
    }
    RunClose(handle);
  }
}

}  // namespace kmdf

namespace kmdf_host {

using namespace kmdf;

IoPtr Open(std::u16string_view name, FileHandle* handle, OpenOptions options) {
  HostCallGuard guard;
  if (handle) *handle = 0;
  FxDevice* device = ResolveName(name);
  if (device == nullptr) return Failed(STATUS_OBJECT_NAME_NOT_FOUND);
  if (device->surpriseRemoved || device->removing) return Failed(STATUS_DELETE_PENDING);
  if (device->exclusive && device->openCount > 0 && !options.bypassExclusive) return Failed(STATUS_ACCESS_DENIED);
  NTSTATUS status;
  FileHandle fileHandle = g_nextFile++;
  FxFileObject* file = CreateObject<FxFileObject>(device->hasFileAttributes ? &device->fileAttributes : nullptr,
                                                  &status, device, fileHandle);
  if (file == nullptr) return Failed(status);
  device->files.push_back(file);
  ++device->openCount;
  FileState state;
  state.device = device;
  state.fileObject = file->Handle();
  g_files[fileHandle] = state;
  auto packet = NewPacket(IRP_MJ_CREATE, fileHandle, device);
  IoPtr op = packet->operation;
  if (handle) *handle = fileHandle;
  FxRequest* request = NewRequest(packet);
  if (request == nullptr) {
    CompletePacket(packet.get(), STATUS_INSUFFICIENT_RESOURCES, 0);
    if (handle) *handle = 0;
    return op;
  }
  request->place = RequestPlace::DriverOwned;
  if (device->hasFileConfig && device->fileConfig.EvtDeviceFileCreate != nullptr) {
    ScopedExecContext context("EvtDeviceFileCreate");
    device->fileConfig.EvtDeviceFileCreate(device->HandleAs<WDFDEVICE>(), request->HandleAs<WDFREQUEST>(),
                                           file->HandleAs<WDFFILEOBJECT>());
  } else {
    request->CompleteToIoManager(STATUS_SUCCESS, 0);
  }
  if (op->Completed() && !NT_SUCCESS(op->Status()) && handle) *handle = 0;
  return op;
}

IoPtr Read(FileHandle handle, ULONG length) {
  return Submit(handle, IRP_MJ_READ, std::vector<std::uint8_t>(length, 0), 0, length, 0);
}

IoPtr Write(FileHandle handle, std::span<const std::uint8_t> data) {
  return Submit(handle, IRP_MJ_WRITE, std::vector<std::uint8_t>(data.begin(), data.end()), data.size(), 0, 0);
}

IoPtr DeviceIoControl(FileHandle handle, ULONG ioControlCode, std::span<const std::uint8_t> input,
                      ULONG outputLength) {
  std::vector<std::uint8_t> buffer(std::max<std::size_t>(input.size(), outputLength), 0);
  std::copy(input.begin(), input.end(), buffer.begin());
  return Submit(handle, IRP_MJ_DEVICE_CONTROL, std::move(buffer), input.size(), outputLength, ioControlCode);
}

bool Cancel(const IoPtr& operation) {
  HostCallGuard guard;
  if (!operation) return false;
  auto it = g_packets.find(operation.get());
  if (it == g_packets.end() || it->second->completed) return false;
  std::shared_ptr<IoPacket> packet = it->second;
  packet->cancelled = true;
  IoOperationAccess::MarkCancelRequested(*packet->operation);
  if (packet->request != nullptr) packet->request->OnApplicationCancel();
  return true;
}

void CancelAll(FileHandle handle) {
  std::vector<IoPtr> ops;
  for (auto& [op, packet] : g_packets) {
    if (packet->file == handle && !packet->completed) ops.push_back(packet->operation);
  }
  for (auto& op : ops) Cancel(op);
}

IoPtr Close(FileHandle handle) {
  HostCallGuard guard;
  auto it = g_files.find(handle);
  if (it == g_files.end() || !it->second.open || it->second.closing) return Failed(STATUS_INVALID_HANDLE, handle);
  FileState& state = it->second;
  state.closing = true;
  state.closeOperation = std::make_shared<IoOperation>();
  IoOperationAccess::SetFile(*state.closeOperation, handle);
  IoPtr op = state.closeOperation;
  FxDevice* device = state.device;
  auto* file = static_cast<FxFileObject*>(ObjectTable::Find(state.fileObject));
  // Cleanup: requests of this handle still waiting in queues are cancelled.
  std::vector<FxQueue*> queues = device->queues;
  for (FxQueue* queue : queues) {
    if (file != nullptr) queue->FlushFile(file);
  }
  if (device->hasFileConfig && device->fileConfig.EvtFileCleanup != nullptr && file != nullptr) {
    ScopedExecContext context("EvtFileCleanup");
    device->fileConfig.EvtFileCleanup(file->HandleAs<WDFFILEOBJECT>());
  }
  auto again = g_files.find(handle);
  if (again != g_files.end() && again->second.outstanding.empty()) RunClose(handle);
  return op;
}

bool HandleOpen(FileHandle handle) {
  auto it = g_files.find(handle);
  return it != g_files.end() && it->second.open && !it->second.closing;
}

const std::vector<CompletionRecord>& CompletedRequests() { return g_completions; }

}  // namespace kmdf_host
