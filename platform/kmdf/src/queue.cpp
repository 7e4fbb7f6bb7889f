// I/O queues: dispatch to the driver's callbacks, manual retrieval, forwarding targets, cancellation of
// waiting requests, and stop/resume/purge. Callbacks run at DISPATCH_LEVEL under the queue's
// synchronisation lock (the device lock for device scope), always from a scheduler task or a PnP
// context that holds no lock.
#include "device.h"
#include "io_manager.h"
#include "system.h"

#include <algorithm>

namespace kmdf {

FxQueue::FxQueue(FxDevice* owner, const WDF_IO_QUEUE_CONFIG& queueConfig)
    : FxObject(ObjectType::Queue, owner), device(owner), config(queueConfig), queueLock("queue") {
  powerManaged = config.PowerManaged != WdfFalse;
  powerStopped = powerManaged && !device->inD0;
  dispatching = !powerStopped;
}

void FxQueue::OnDelete() {
  auto& list = device->queues;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
  if (device->defaultQueue == this) device->defaultQueue = nullptr;
  for (FxRequest* request : pending) {
    if (request->queue == this) request->queue = nullptr;
  }
  for (FxRequest* request : driverOwned) {
    if (request->queue == this) request->queue = nullptr;
  }
}

NTSTATUS FxQueue::Enqueue(FxRequest* request, bool atFront) {
  if (!accepting) return STATUS_INVALID_DEVICE_STATE;
  IoPacket* packet = request->Packet();
  if (packet != nullptr && !config.AllowZeroLengthRequests &&
      ((packet->majorFunction == IRP_MJ_READ && packet->outputLength == 0) ||
       (packet->majorFunction == IRP_MJ_WRITE && packet->inputLength == 0))) {
    // Zero-length reads and writes are completed by the framework with success.
    request->queue = nullptr;
    request->place = RequestPlace::DriverOwned;
    request->CompleteToIoManager(STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
  }
  request->queue = this;
  request->place = RequestPlace::InQueue;
  request->stopAcknowledged = false;
  request->stopPending = false;
  if (atFront) {
    pending.push_front(request);
  } else {
    pending.push_back(request);
  }
  if (request->Cancelled()) {
    CancelQueued(request);
  } else {
    ScheduleDispatch();
  }
  return STATUS_SUCCESS;
}

void FxQueue::ScheduleDispatch() {
  if (config.DispatchType == WdfIoQueueDispatchManual || dispatchPosted || Deleting()) return;
  if (!dispatching || pending.empty()) return;
  dispatchPosted = true;
  WDFOBJECT handle = Handle();
  PostSerialized(device->LockFor(this), "queue dispatch", [handle]() {
    auto* queue = static_cast<FxQueue*>(ObjectTable::Find(handle));
    if (queue == nullptr) return;
    queue->dispatchPosted = false;
    queue->DispatchNow();
  });
}

void FxQueue::DispatchNow() {
  ULONG limit = config.DispatchType == WdfIoQueueDispatchSequential ? 1
                : config.Settings.Parallel.NumberOfPresentedRequests == 0
                    ? 0xFFFFFFFF
                    : config.Settings.Parallel.NumberOfPresentedRequests;
  WDFQUEUE queueHandle = HandleAs<WDFQUEUE>();
  while (dispatching && !pending.empty() && presented < limit && !Deleting()) {
    FxRequest* request = pending.front();
    pending.pop_front();
    TakeOwned(request);
    request->presentedCounted = true;
    ++presented;
    IoPacket* packet = request->Packet();
    WDFREQUEST handle = request->HandleAs<WDFREQUEST>();
    bool handled = true;
    switch (packet->majorFunction) {
      case IRP_MJ_READ:
        if (config.EvtIoRead) {
          config.EvtIoRead(queueHandle, handle, packet->outputLength);
        } else {
          handled = false;
        }
        break;
      case IRP_MJ_WRITE:
        if (config.EvtIoWrite) {
          config.EvtIoWrite(queueHandle, handle, packet->inputLength);
        } else {
          handled = false;
        }
        break;
      case IRP_MJ_DEVICE_CONTROL:
        if (config.EvtIoDeviceControl) {
          config.EvtIoDeviceControl(queueHandle, handle, packet->outputLength, packet->inputLength,
                                    packet->ioControlCode);
        } else {
          handled = false;
        }
        break;
      case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (config.EvtIoInternalDeviceControl) {
          config.EvtIoInternalDeviceControl(queueHandle, handle, packet->outputLength, packet->inputLength,
                                            packet->ioControlCode);
        } else {
          handled = false;
        }
        break;
      default:
        handled = false;
        break;
    }
    if (!handled) {
      if (config.EvtIoDefault) {
        config.EvtIoDefault(queueHandle, handle);
      } else {
        request->CompleteToIoManager(STATUS_INVALID_DEVICE_REQUEST, 0);
      }
    }
  }
}

NTSTATUS FxQueue::RetrieveNext(FxRequest** out, FxFileObject* file) {
  *out = nullptr;
  if (!dispatching) return STATUS_WDF_PAUSED;
  auto it = pending.begin();
  if (file != nullptr) {
    it = std::find_if(pending.begin(), pending.end(), [file](FxRequest* r) { return r->File() == file; });
  }
  if (it == pending.end()) return STATUS_NO_MORE_ENTRIES;
  FxRequest* request = *it;
  pending.erase(it);
  TakeOwned(request);
  *out = request;
  return STATUS_SUCCESS;
}

void FxQueue::CancelQueued(FxRequest* request) {
  auto it = std::find(pending.begin(), pending.end(), request);
  if (it == pending.end()) return;
  pending.erase(it);
  TakeOwned(request);
  request->status = STATUS_CANCELLED;
  if (config.EvtIoCanceledOnQueue) {
    WDFQUEUE queueHandle = HandleAs<WDFQUEUE>();
    WDFREQUEST handle = request->HandleAs<WDFREQUEST>();
    auto callback = config.EvtIoCanceledOnQueue;
    PostSerialized(device->LockFor(this), "EvtIoCanceledOnQueue", [queueHandle, handle, callback]() {
      if (ObjectTable::Find(handle) == nullptr || ObjectTable::Find(queueHandle) == nullptr) return;
      callback(queueHandle, handle);
    });
  } else {
    request->CompleteToIoManager(STATUS_CANCELLED, 0);
  }
}

void FxQueue::TakeOwned(FxRequest* request) {
  request->queue = this;
  request->place = RequestPlace::DriverOwned;
  if (std::find(driverOwned.begin(), driverOwned.end(), request) == driverOwned.end()) {
    driverOwned.push_back(request);
  }
}

void FxQueue::ReleaseOwned(FxRequest* request) {
  driverOwned.erase(std::remove(driverOwned.begin(), driverOwned.end(), request), driverOwned.end());
  request->stopAcknowledged = false;
  request->stopPending = false;
  if (driverOwned.empty() && !idleNotifications_.empty()) PostIdleNotifications();
  if (request->presentedCounted) {
    request->presentedCounted = false;
    if (presented > 0) --presented;
    ScheduleDispatch();
  }
}

void FxQueue::NotifyWhenIdle(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, const char* activity) {
  idleNotifications_.push_back(IdleNotification{callback, context, activity});
  if (driverOwned.empty()) PostIdleNotifications();
}

void FxQueue::PostIdleNotifications() {
  std::vector<IdleNotification> notifications;
  notifications.swap(idleNotifications_);
  WDFQUEUE handle = HandleAs<WDFQUEUE>();
  for (auto& n : notifications) {
    auto callback = n.callback;
    auto context = n.context;
    PostSerialized(device->LockFor(this), n.activity, [handle, callback, context]() {
      if (ObjectTable::Find(handle) != nullptr) callback(handle, context);
    });
  }
}

void FxQueue::Purge() {
  accepting = false;
  std::vector<FxRequest*> waiting(pending.begin(), pending.end());
  for (FxRequest* request : waiting) CancelQueued(request);
}

void FxQueue::FlushFile(FxFileObject* file) {
  std::vector<FxRequest*> waiting;
  for (FxRequest* request : pending) {
    if (request->File() == file) waiting.push_back(request);
  }
  for (FxRequest* request : waiting) {
    if (request->Packet()) request->Packet()->cancelled = true;
    CancelQueued(request);
  }
}

FxQueue* LookupQueue(WDFQUEUE handle, const char* call) { return LookupAs<FxQueue>(handle, ObjectType::Queue, call); }

void FxDevice::StopQueuesForPower(bool purge, bool allQueues) {
  std::vector<FxRequest*> stopping;
  std::vector<WDFOBJECT> purged;
  std::vector<FxQueue*> snapshot = queues;
  for (FxQueue* queue : snapshot) {
    if (!queue->powerManaged && !allQueues) continue;
    queue->dispatching = false;
    queue->powerStopped = true;
    if (purge) {
      for (FxRequest* request : queue->pending) purged.push_back(request->Handle());
      queue->Purge();
    }
    WDFQUEUE queueHandle = queue->HandleAs<WDFQUEUE>();
    std::vector<FxRequest*> owned = queue->driverOwned;
    for (FxRequest* request : owned) {
      // An earlier callback may have completed this one meanwhile (its memory stays until the outer
      // work returns).
      if (ObjectTable::Find(request->Handle()) != request || request->place == RequestPlace::Completed) continue;
      if (request->stopAcknowledged && !purge) continue;
      if (queue->config.EvtIoStop == nullptr) continue;
      ULONG flags = purge ? WdfRequestStopActionPurge : WdfRequestStopActionSuspend;
      if (request->cancelRoutine != nullptr) flags |= WdfRequestStopRequestCancelable;
      request->stopPending = true;
      request->stopAcknowledged = false;
      stopping.push_back(request);
      WDFREQUEST handle = request->HandleAs<WDFREQUEST>();
      auto callback = queue->config.EvtIoStop;
      RunSerialized(LockFor(queue), "EvtIoStop", [queueHandle, handle, callback, flags]() {
        if (ObjectTable::Find(handle) == nullptr) return;
        callback(queueHandle, handle, flags);
      });
    }
  }
  // The framework waits for every stopped request to be acknowledged or completed, and for purged
  // requests to be completed; work that is ready runs meanwhile. Requests the driver keeps without
  // answering do not hold the power-down forever.
  std::vector<WDFOBJECT> stoppingHandles;
  for (FxRequest* request : stopping) stoppingHandles.push_back(request->Handle());
  auto outstanding = [&]() {
    for (WDFOBJECT handle : stoppingHandles) {
      auto* request = static_cast<FxRequest*>(ObjectTable::Find(handle));
      if (request != nullptr && request->stopPending) return true;
    }
    for (WDFOBJECT handle : purged) {
      if (ObjectTable::Find(handle) != nullptr) return true;
    }
    return false;
  };
  while (outstanding()) {
    if (!Sched().RunOne()) break;
  }
}

void FxDevice::ResumeQueuesForPower() {
  std::vector<FxQueue*> snapshot = queues;
  for (FxQueue* queue : snapshot) {
    if (!queue->powerStopped) continue;
    queue->powerStopped = false;
    queue->dispatching = true;
    WDFQUEUE queueHandle = queue->HandleAs<WDFQUEUE>();
    std::vector<FxRequest*> owned = queue->driverOwned;
    for (FxRequest* request : owned) {
      if (ObjectTable::Find(request->Handle()) != request || !request->stopAcknowledged) continue;
      request->stopAcknowledged = false;
      if (queue->config.EvtIoResume == nullptr) continue;
      WDFREQUEST handle = request->HandleAs<WDFREQUEST>();
      auto callback = queue->config.EvtIoResume;
      RunSerialized(LockFor(queue), "EvtIoResume", [queueHandle, handle, callback]() {
        if (ObjectTable::Find(handle) == nullptr) return;
        callback(queueHandle, handle);
      });
    }
    queue->ScheduleDispatch();
  }
}

}  // namespace kmdf

using namespace kmdf;

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* Queue) {
  if (Queue) *Queue = nullptr;
  FxDevice* device = LookupDevice(Device, "WdfIoQueueCreate");
  if (device == nullptr) return STATUS_INVALID_HANDLE;
  if (Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
      Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = kmdf_host::CheckFault("WdfIoQueueCreate");
  if (!NT_SUCCESS(status)) return status;
  if (Config->DefaultQueue && device->defaultQueue != nullptr) return STATUS_WDF_QUEUE_ALREADY_EXISTS;
  if (QueueAttributes != nullptr && QueueAttributes->ParentObject != nullptr &&
      QueueAttributes->ParentObject != Device) {
    return STATUS_INVALID_PARAMETER;
  }
  FxQueue* queue = CreateObject<FxQueue>(QueueAttributes, &status, device, *Config);
  if (queue == nullptr) return status;
  device->queues.push_back(queue);
  if (Config->DefaultQueue) device->defaultQueue = queue;
  if (Queue) *Queue = queue->HandleAs<WDFQUEUE>();
  return STATUS_SUCCESS;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
  FxQueue* queue = LookupQueue(Queue, "WdfIoQueueGetDevice");
  return queue ? queue->device->HandleAs<WDFDEVICE>() : nullptr;
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest) {
  if (OutRequest) *OutRequest = nullptr;
  FxQueue* queue = LookupQueue(Queue, "WdfIoQueueRetrieveNextRequest");
  if (queue == nullptr) return STATUS_INVALID_HANDLE;
  if (OutRequest == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = kmdf_host::CheckFault("WdfIoQueueRetrieveNextRequest");
  if (!NT_SUCCESS(status)) return status;
  FxRequest* request = nullptr;
  status = queue->RetrieveNext(&request);
  if (NT_SUCCESS(status)) *OutRequest = request->HandleAs<WDFREQUEST>();
  return status;
}

NTSTATUS WdfIoQueueRetrieveRequestByFileObject(WDFQUEUE Queue, WDFFILEOBJECT FileObject, WDFREQUEST* OutRequest) {
  if (OutRequest) *OutRequest = nullptr;
  FxQueue* queue = LookupQueue(Queue, "WdfIoQueueRetrieveRequestByFileObject");
  auto* file = LookupAs<FxFileObject>(FileObject, ObjectType::FileObject, "WdfIoQueueRetrieveRequestByFileObject");
  if (queue == nullptr || file == nullptr) return STATUS_INVALID_HANDLE;
  if (OutRequest == nullptr) return STATUS_INVALID_PARAMETER;
  FxRequest* request = nullptr;
  NTSTATUS status = queue->RetrieveNext(&request, file);
  if (NT_SUCCESS(status)) *OutRequest = request->HandleAs<WDFREQUEST>();
  return status;
}

void WdfIoQueueStart(WDFQUEUE Queue) {
  FxQueue* queue = LookupQueue(Queue, "WdfIoQueueStart");
  if (queue == nullptr) return;
  queue->accepting = true;
  if (!queue->powerStopped) queue->dispatching = true;
  queue->ScheduleDispatch();
}

namespace {

void NotifyQueueState(FxQueue* queue, PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, const char* activity) {
  if (callback != nullptr) queue->NotifyWhenIdle(callback, context, activity);
}

}  // namespace

void WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context) {
  FxQueue* queue = LookupQueue(Queue, "WdfIoQueueStop");
  if (queue == nullptr) return;
  queue->dispatching = false;
  NotifyQueueState(queue, StopComplete, Context, "EvtIoQueueState (stop)");
}

void WdfIoQueueStopSynchronously(WDFQUEUE Queue) {
  FxQueue* queue = LookupQueue(Queue, "WdfIoQueueStopSynchronously");
  if (queue == nullptr) return;
  queue->dispatching = false;
  if (!CheckMayWait("WdfIoQueueStopSynchronously")) return;
  WDFOBJECT handle = queue->Handle();
  WaitUntil([handle, queue]() { return ObjectTable::Find(handle) == nullptr || queue->driverOwned.empty(); }, 0,
            "WdfIoQueueStopSynchronously");
}

void WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context) {
  FxQueue* queue = LookupQueue(Queue, "WdfIoQueuePurge");
  if (queue == nullptr) return;
  queue->dispatching = false;
  queue->Purge();
  NotifyQueueState(queue, PurgeComplete, Context, "EvtIoQueueState (purge)");
}

void WdfIoQueuePurgeSynchronously(WDFQUEUE Queue) {
  FxQueue* queue = LookupQueue(Queue, "WdfIoQueuePurgeSynchronously");
  if (queue == nullptr) return;
  queue->dispatching = false;
  queue->Purge();
  if (!CheckMayWait("WdfIoQueuePurgeSynchronously")) return;
  WDFOBJECT handle = queue->Handle();
  WaitUntil([handle, queue]() { return ObjectTable::Find(handle) == nullptr || queue->driverOwned.empty(); }, 0,
            "WdfIoQueuePurgeSynchronously");
}

WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests) {
  FxQueue* queue = LookupQueue(Queue, "WdfIoQueueGetState");
  if (queue == nullptr) return static_cast<WDF_IO_QUEUE_STATE>(0);
  if (QueueRequests) *QueueRequests = static_cast<ULONG>(queue->pending.size());
  if (DriverRequests) *DriverRequests = static_cast<ULONG>(queue->driverOwned.size());
  int state = 0;
  if (queue->accepting) state |= WdfIoQueueAcceptRequests;
  if (queue->dispatching) state |= WdfIoQueueDispatchRequests;
  if (queue->pending.empty()) state |= WdfIoQueueNoRequests;
  if (queue->driverOwned.empty()) state |= WdfIoQueueDriverNoRequests;
  if (queue->powerStopped) state |= WdfIoQueuePnpHeld;
  return static_cast<WDF_IO_QUEUE_STATE>(state);
}

namespace kmdf_host {
ULONG QueueRequestCount(WDFQUEUE queue) {
  FxQueue* q = LookupQueue(queue, "QueueRequestCount");
  return q ? static_cast<ULONG>(q->pending.size()) : 0;
}
}  // namespace kmdf_host
