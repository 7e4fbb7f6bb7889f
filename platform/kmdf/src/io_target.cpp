// Generic I/O targets: the send path, time-outs, cancellation of sent requests, start and stop, and the
// manual target the host drives in tests.
#include "io_target.h"

#include "device.h"
#include "system.h"

#include <algorithm>

namespace kmdf {

FxIoTarget::FxIoTarget(ObjectType type, FxObject* parent, FxDevice* device)
    : FxObject(type, parent), device_(device) {}

FxIoTarget::~FxIoTarget() = default;

void FxIoTarget::PrepareFormat(FxRequest* request, FxIoTarget* target, WDF_REQUEST_TYPE type) {
  request->formattedFor = target;
  request->format.reset();
  WDF_REQUEST_COMPLETION_PARAMS_INIT(&request->completionParams);
  request->completionParams.Type = type;
}

NTSTATUS FxIoTarget::Start() {
  NTSTATUS status = kmdf_host::CheckFault("WdfIoTargetStart");
  if (!NT_SUCCESS(status)) return status;
  if (state_ == WdfIoTargetDeleted) return STATUS_INVALID_DEVICE_STATE;
  state_ = WdfIoTargetStarted;
  return OnStart();
}

void FxIoTarget::Stop(WDF_IO_TARGET_SENT_IO_ACTION action) {
  if (state_ == WdfIoTargetDeleted) return;
  state_ = WdfIoTargetStopped;
  OnStop(action);
  if (action == WdfIoTargetCancelSentIo) {
    std::vector<FxRequest*> sent = sent_;
    for (FxRequest* request : sent) CancelSent(request);
  }
  if (action == WdfIoTargetCancelSentIo || action == WdfIoTargetWaitForSentIoToComplete) {
    if (!CheckMayWait("WdfIoTargetStop")) return;
    WDFOBJECT handle = Handle();
    WaitUntil([this, handle]() { return ObjectTable::Find(handle) != this || sent_.empty(); }, 0, "WdfIoTargetStop");
  }
}

BOOLEAN FxIoTarget::Send(FxRequest* request, const WDF_REQUEST_SEND_OPTIONS* options) {
  if (!CheckDriverOwns(request, "WdfRequestSend")) return FALSE;
  if (request->cancelRoutine != nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestNotOwned,
                              "WdfRequestSend: the request is still marked cancelable");
  }
  ULONG flags = 0;
  LONGLONG timeout = 0;
  if (options != nullptr) {
    if (options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
      request->status = STATUS_INVALID_PARAMETER;
      return FALSE;
    }
    flags = options->Flags;
    timeout = options->Timeout;
  }
  NTSTATUS status = kmdf_host::CheckFault("WdfRequestSend");
  if (!NT_SUCCESS(status)) {
    request->status = status;
    return FALSE;
  }
  if (request->formattedFor != nullptr && request->formattedFor != this) {
    request->status = STATUS_INVALID_DEVICE_REQUEST;
    return FALSE;
  }
  if (!AcceptsIo(flags)) {
    request->status = STATUS_INVALID_DEVICE_STATE;
    return FALSE;
  }
  if ((flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0 && !CheckMayWait("WdfRequestSend(synchronous)")) {
    request->status = STATUS_INVALID_DEVICE_STATE;
    return FALSE;
  }
  request->place = RequestPlace::Sent;
  request->sentTo = this;
  ++request->sendGeneration;
  request->timedOut = false;
  request->cancelSentRequested = false;
  request->completionPosted = false;
  request->sendAndForget = (flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0;
  request->status = STATUS_PENDING;
  sent_.push_back(request);
  status = Deliver(request);
  if (!NT_SUCCESS(status)) {
    RemoveSent(request);
    request->place = RequestPlace::DriverOwned;
    request->sentTo = nullptr;
    request->status = status;
    return FALSE;
  }
  WDFREQUEST handle = request->HandleAs<WDFREQUEST>();
  std::uint64_t generation = request->sendGeneration;
  if ((flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 && timeout != 0) {
    LONGLONG due = timeout < 0 ? Sched().Now() - timeout : timeout;
    request->timeoutTask = Sched().PostAt(due, [handle, generation]() {
      auto* r = static_cast<FxRequest*>(ObjectTable::Find(handle));
      if (r == nullptr || r->place != RequestPlace::Sent || r->sendGeneration != generation) return;
      r->timeoutTask = 0;
      if (r->completionPosted) return;
      r->timedOut = true;
      r->sentTo->CancelSent(r);
    });
  }
  // A request the application cancelled before it was sent is cancelled at the target at once.
  if (request->Cancelled()) CancelSent(request);
  if ((flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0) {
    WaitUntil(
        [handle, generation]() {
          auto* r = static_cast<FxRequest*>(ObjectTable::Find(handle));
          return r == nullptr || r->sendGeneration != generation || r->place != RequestPlace::Sent;
        },
        0, "WdfRequestSend(synchronous)");
    auto* r = static_cast<FxRequest*>(ObjectTable::Find(handle));
    return r != nullptr && NT_SUCCESS(r->status) ? TRUE : FALSE;
  }
  return TRUE;
}

bool FxIoTarget::CancelSent(FxRequest* request) {
  if (request->place != RequestPlace::Sent || request->sentTo != this) return false;
  if (request->cancelSentRequested || request->completionPosted) return true;
  request->cancelSentRequested = true;
  CancelDelivered(request);
  return true;
}

void FxIoTarget::CancelDelivered(FxRequest* request) { CompleteSent(request, STATUS_CANCELLED, 0); }

void FxIoTarget::CompleteSent(FxRequest* request, NTSTATUS status, ULONG_PTR information) {
  if (request->place != RequestPlace::Sent || request->sentTo != this || request->completionPosted) return;
  request->completionPosted = true;
  WDFREQUEST handle = request->HandleAs<WDFREQUEST>();
  std::uint64_t generation = request->sendGeneration;
  WDFOBJECT targetHandle = Handle();
  Sched().Post([this, targetHandle, handle, generation, status, information]() {
    if (ObjectTable::Find(targetHandle) != this) {
      // The target went first; its requests were finished when it was deleted.
      return;
    }
    auto* r = static_cast<FxRequest*>(ObjectTable::Find(handle));
    if (r == nullptr || r->sendGeneration != generation || r->place != RequestPlace::Sent) return;
    r->status = status;
    r->information = information;
    RunCompletion(r, generation, handle);
  });
}

void FxIoTarget::RunCompletion(FxRequest* request, std::uint64_t, WDFREQUEST handle) {
  if (request->timeoutTask != 0) {
    Sched().Cancel(request->timeoutTask);
    request->timeoutTask = 0;
  }
  NTSTATUS status = request->status;
  if (request->timedOut && status == STATUS_CANCELLED) status = STATUS_IO_TIMEOUT;
  RemoveSent(request);
  request->place = RequestPlace::DriverOwned;
  request->sentTo = nullptr;
  request->status = status;
  request->completionParams.IoStatus.Status = status;
  request->completionParams.IoStatus.Information = request->information;
  CurrentContext().activity = "completion routine";
  ScopedIrql level(DISPATCH_LEVEL);
  if (request->sendAndForget) {
    if (!request->DriverCreated()) request->CompleteToIoManager(status, request->information);
    return;
  }
  if (request->completionRoutine != nullptr) {
    request->completionRoutine(handle, HandleAs<WDFIOTARGET>(), &request->completionParams, request->completionContext);
  } else if (!request->DriverCreated()) {
    // Without a completion routine the framework completes a delivered request itself.
    request->CompleteToIoManager(status, request->information);
  }
}

void FxIoTarget::RemoveSent(FxRequest* request) { sent_.erase(std::remove(sent_.begin(), sent_.end(), request), sent_.end()); }

void FxIoTarget::OnDelete() {
  // Deleting a target cancels what was sent and lets the completions run first when that is possible.
  std::vector<FxRequest*> sent = sent_;
  for (FxRequest* request : sent) CancelSent(request);
  if (!sent_.empty() && CurrentContext().irql == PASSIVE_LEVEL && !HoldsAnyLock()) {
    WaitUntil([this]() { return sent_.empty(); }, 0, "I/O target deletion");
  }
  for (FxRequest* request : sent_) {
    request->place = RequestPlace::DriverOwned;
    request->sentTo = nullptr;
    request->status = STATUS_CANCELLED;
  }
  sent_.clear();
  state_ = WdfIoTargetDeleted;
}

FxIoTarget* LookupIoTarget(WDFIOTARGET handle, const char* call) {
  FxObject* object = ObjectTable::Lookup(handle, call);
  if (object == nullptr) return nullptr;
  auto* target = dynamic_cast<FxIoTarget*>(object);
  if (target == nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              std::string(call) + ": a " + ToString(object->Type()) + " is not an I/O target");
  }
  return target;
}

FxManualIoTarget::FxManualIoTarget(FxObject* parent, FxDevice* device)
    : FxIoTarget(ObjectType::IoTarget, parent, device) {}

std::vector<FxRequest*> FxManualIoTarget::Pending() const {
  std::vector<FxRequest*> result;
  for (FxRequest* request : SentRequests()) {
    if (!request->completionPosted) result.push_back(request);
  }
  return result;
}

NTSTATUS FxManualIoTarget::Deliver(FxRequest*) { return STATUS_SUCCESS; }

void FxManualIoTarget::CancelDelivered(FxRequest* request) {
  ++cancelCount;
  if (autoCompleteCancel) CompleteSent(request, STATUS_CANCELLED, 0);
}

}  // namespace kmdf

using namespace kmdf;

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget) {
  FxIoTarget* target = LookupIoTarget(IoTarget, "WdfIoTargetStart");
  return target ? target->Start() : STATUS_INVALID_HANDLE;
}

void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
  FxIoTarget* target = LookupIoTarget(IoTarget, "WdfIoTargetStop");
  if (target) target->Stop(Action);
}

WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget) {
  FxIoTarget* target = LookupIoTarget(IoTarget, "WdfIoTargetGetState");
  return target ? target->State() : WdfIoTargetStateUndefined;
}

WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget) {
  FxIoTarget* target = LookupIoTarget(IoTarget, "WdfIoTargetGetDevice");
  return target && target->TargetDevice() ? target->TargetDevice()->HandleAs<WDFDEVICE>() : nullptr;
}

namespace kmdf_host {

WDFIOTARGET CreateManualIoTarget(WDFDEVICE device) {
  FxDevice* d = LookupDevice(device, "CreateManualIoTarget");
  if (d == nullptr) return nullptr;
  NTSTATUS status;
  auto* target = CreateObject<FxManualIoTarget>(nullptr, &status, d, d);
  return target ? target->HandleAs<WDFIOTARGET>() : nullptr;
}

namespace {
FxManualIoTarget* ManualTarget(WDFIOTARGET handle) {
  return dynamic_cast<FxManualIoTarget*>(LookupIoTarget(handle, "manual I/O target"));
}
}  // namespace

std::vector<WDFREQUEST> ManualTargetPending(WDFIOTARGET target) {
  std::vector<WDFREQUEST> result;
  FxManualIoTarget* t = ManualTarget(target);
  if (t == nullptr) return result;
  for (FxRequest* request : t->Pending()) result.push_back(request->HandleAs<WDFREQUEST>());
  return result;
}

bool ManualTargetComplete(WDFIOTARGET target, WDFREQUEST request, NTSTATUS status, ULONG_PTR information) {
  FxManualIoTarget* t = ManualTarget(target);
  FxRequest* r = LookupRequest(request, "ManualTargetComplete");
  if (t == nullptr || r == nullptr || r->place != RequestPlace::Sent || r->sentTo != t) return false;
  t->CompleteSent(r, status, information);
  return true;
}

void ManualTargetSetCancelCompletes(WDFIOTARGET target, bool completes) {
  if (FxManualIoTarget* t = ManualTarget(target)) t->autoCompleteCancel = completes;
}

int ManualTargetCancelCount(WDFIOTARGET target) {
  FxManualIoTarget* t = ManualTarget(target);
  return t ? t->cancelCount : 0;
}

}  // namespace kmdf_host
