// Requests: ownership, completion, buffers, cancellation, forwarding, reuse and the request calls.
#include "request.h"

#include "device.h"
#include "io_manager.h"
#include "io_target.h"
#include "system.h"

#include <algorithm>

namespace kmdf {

FxRequest::FxRequest(FxObject* parent, std::shared_ptr<IoPacket> packet)
    : FxObject(ObjectType::Request, parent), packet_(std::move(packet)) {
  WDF_REQUEST_COMPLETION_PARAMS_INIT(&completionParams);
  if (packet_) packet_->request = this;
}

FxRequest::~FxRequest() {
  if (packet_ && packet_->request == this) packet_->request = nullptr;
}

WDF_REQUEST_TYPE FxRequest::RequestType() const {
  if (!packet_) return WdfRequestTypeNoFormat;
  return static_cast<WDF_REQUEST_TYPE>(packet_->majorFunction);
}

FxDevice* FxRequest::OwningDevice() const { return packet_ ? packet_->device : Device(); }
FxFileObject* FxRequest::File() const { return packet_ ? packet_->fileObject : nullptr; }
bool FxRequest::Cancelled() const { return packet_ && packet_->cancelled; }

std::uint8_t* FxRequest::InputBuffer(std::size_t* length) const {
  *length = 0;
  if (!packet_) return nullptr;
  if (packet_->majorFunction != IRP_MJ_WRITE && packet_->majorFunction != IRP_MJ_DEVICE_CONTROL &&
      packet_->majorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL)
    return nullptr;
  *length = packet_->inputLength;
  return packet_->inputLength == 0 ? nullptr : packet_->systemBuffer.data();
}

std::uint8_t* FxRequest::OutputBuffer(std::size_t* length) const {
  *length = 0;
  if (!packet_) return nullptr;
  if (packet_->majorFunction != IRP_MJ_READ && packet_->majorFunction != IRP_MJ_DEVICE_CONTROL &&
      packet_->majorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL)
    return nullptr;
  *length = packet_->outputLength;
  return packet_->outputLength == 0 ? nullptr : packet_->systemBuffer.data();
}

void FxRequest::CompleteToIoManager(NTSTATUS completionStatus, ULONG_PTR completionInformation) {
  if (queue != nullptr) queue->ReleaseOwned(this);
  place = RequestPlace::Completed;
  status = completionStatus;
  information = completionInformation;
  cancelRoutine = nullptr;
  stopPending = false;
  RememberCompletedRequest(Handle());
  std::shared_ptr<IoPacket> packet = packet_;
  if (packet) {
    packet->request = nullptr;
    CompletePacket(packet.get(), completionStatus, completionInformation);
  }
  Delete();
}

void FxRequest::ResetForReuse(NTSTATUS newStatus) {
  status = newStatus;
  information = 0;
  completionRoutine = nullptr;
  completionContext = nullptr;
  WDF_REQUEST_COMPLETION_PARAMS_INIT(&completionParams);
  formattedFor = nullptr;
  format.reset();
  timedOut = false;
  cancelSentRequested = false;
  completionPosted = false;
  sendAndForget = false;
  cancelRoutine = nullptr;
  cancelRoutinePending = false;
}

void FxRequest::OnDelete() {
  if (place == RequestPlace::Sent && sentTo != nullptr) {
    sentTo->ForgetSent(this);
    sentTo = nullptr;
  }
  if (timeoutTask != 0) {
    Sched().Cancel(timeoutTask);
    timeoutTask = 0;
  }
  if (queue != nullptr && place != RequestPlace::Completed) {
    queue->ReleaseOwned(this);
    queue->pending.erase(std::remove(queue->pending.begin(), queue->pending.end(), this), queue->pending.end());
  }
  if (packet_ && packet_->request == this) packet_->request = nullptr;
}

void FxRequest::OnApplicationCancel() {
  switch (place) {
    case RequestPlace::InQueue:
      if (queue) queue->CancelQueued(this);
      break;
    case RequestPlace::DriverOwned:
      if (cancelRoutine != nullptr) {
        PFN_WDF_REQUEST_CANCEL routine = cancelRoutine;
        cancelRoutine = nullptr;
        cancelRoutinePending = true;
        WDFREQUEST handle = HandleAs<WDFREQUEST>();
        FxDevice* device = OwningDevice();
        FxLock* lock = device ? device->LockFor(queue ? static_cast<FxObject*>(queue) : this) : nullptr;
        // The cancel routine runs later under the lock, so code that runs first sees the cancellation
        // under way (WdfRequestUnmarkCancelable returns STATUS_CANCELLED).
        PostSerialized(lock, "EvtRequestCancel", [handle, routine]() {
          FxRequest* request = static_cast<FxRequest*>(ObjectTable::Find(handle));
          if (request == nullptr) return;  // completed meanwhile (reported at that completion)
          request->cancelRoutinePending = false;
          routine(handle);
        });
      }
      break;
    case RequestPlace::Sent:
      if (sentTo) sentTo->CancelSent(this);
      break;
    case RequestPlace::New:
    case RequestPlace::Completed:
      break;
  }
}

FxRequest* LookupRequest(WDFREQUEST handle, const char* call) {
  return LookupAs<FxRequest>(handle, ObjectType::Request, call);
}

bool CheckDriverOwns(FxRequest* request, const char* call) {
  switch (request->place) {
    case RequestPlace::InQueue:
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestNotOwned,
                                std::string(call) + ": the request is in a queue, not owned by the driver");
      return false;
    case RequestPlace::Sent:
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestNotOwned,
                                std::string(call) + ": the request is sent to an I/O target");
      return false;
    case RequestPlace::Completed:
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestCompletedTwice,
                                std::string(call) + ": the request was completed");
      return false;
    case RequestPlace::New:
    case RequestPlace::DriverOwned:
      return true;
  }
  return true;
}

namespace {

FxRequest* LookupForCompletion(WDFREQUEST handle, const char* call) {
  if (handle != nullptr && WasCompletedRequest(handle)) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestCompletedTwice,
                              std::string(call) + ": the request was already completed");
    return nullptr;
  }
  return LookupRequest(handle, call);
}

void CompleteRequest(WDFREQUEST handle, NTSTATUS status, ULONG_PTR information, bool withInformation,
                     const char* call) {
  FxRequest* request = LookupForCompletion(handle, call);
  if (request == nullptr) return;
  if (request->DriverCreated()) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              std::string(call) + ": a request the driver created is not completed");
    return;
  }
  if (!CheckDriverOwns(request, call)) return;
  if (request->cancelRoutine != nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestNotOwned,
                              std::string(call) + ": the request is still marked cancelable");
  }
  if (request->cancelRoutinePending) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestNotOwned,
                              std::string(call) + ": the request's cancel routine is about to run and owns it");
  }
  request->CompleteToIoManager(status, withInformation ? information : request->information);
}

NTSTATUS RetrieveBuffer(WDFREQUEST handle, size_t minimum, PVOID* buffer, size_t* length, bool input,
                        const char* call) {
  if (buffer) *buffer = nullptr;
  if (length) *length = 0;
  FxRequest* request = LookupRequest(handle, call);
  if (request == nullptr) return STATUS_INVALID_HANDLE;
  if (!CheckDriverOwns(request, call)) return STATUS_INVALID_DEVICE_REQUEST;
  if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS fault = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(fault)) return fault;
  if (request->DriverCreated()) return STATUS_INVALID_DEVICE_REQUEST;
  UCHAR major = request->Packet()->majorFunction;
  bool has = input ? (major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL ||
                      major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
                   : (major == IRP_MJ_READ || major == IRP_MJ_DEVICE_CONTROL ||
                      major == IRP_MJ_INTERNAL_DEVICE_CONTROL);
  if (!has) return STATUS_INVALID_DEVICE_REQUEST;
  std::size_t size = 0;
  std::uint8_t* data = input ? request->InputBuffer(&size) : request->OutputBuffer(&size);
  if (data == nullptr || size == 0 || size < minimum) return STATUS_BUFFER_TOO_SMALL;
  *buffer = data;
  if (length) *length = size;
  return STATUS_SUCCESS;
}

NTSTATUS RetrieveMemory(WDFREQUEST handle, WDFMEMORY* memory, bool input, const char* call) {
  if (memory) *memory = nullptr;
  PVOID buffer;
  size_t length;
  NTSTATUS status = RetrieveBuffer(handle, 0, &buffer, &length, input, call);
  if (!NT_SUCCESS(status)) return status;
  if (memory == nullptr) return STATUS_INVALID_PARAMETER;
  FxRequest* request = LookupRequest(handle, call);
  FxMemory*& slot = input ? request->inputMemory : request->outputMemory;
  if (slot == nullptr) {
    slot = CreateRequestMemory(request, static_cast<std::uint8_t*>(buffer), length);
    if (slot == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  }
  *memory = slot->HandleAs<WDFMEMORY>();
  return STATUS_SUCCESS;
}

}  // namespace
}  // namespace kmdf

using namespace kmdf;

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET, WDFREQUEST* Request) {
  if (Request == nullptr) return STATUS_INVALID_PARAMETER;
  *Request = nullptr;
  NTSTATUS status = kmdf_host::CheckFault("WdfRequestCreate");
  if (!NT_SUCCESS(status)) return status;
  FxObject* parent = ParentFromAttributes(RequestAttributes, CurrentDriver(), "WdfRequestCreate");
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  FxRequest* request = CreateObject<FxRequest>(RequestAttributes, &status, parent, nullptr);
  if (request == nullptr) return status;
  request->place = RequestPlace::DriverOwned;
  *Request = request->HandleAs<WDFREQUEST>();
  return STATUS_SUCCESS;
}

NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams) {
  FxRequest* request = LookupRequest(Request, "WdfRequestReuse");
  if (request == nullptr) return STATUS_INVALID_HANDLE;
  if (ReuseParams == nullptr || ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS)) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = kmdf_host::CheckFault("WdfRequestReuse");
  if (!NT_SUCCESS(status)) return status;
  if (!request->DriverCreated()) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              "WdfRequestReuse: only requests the driver created can be reused");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (request->place == RequestPlace::Sent) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestNotOwned,
                              "WdfRequestReuse: the request is still sent to an I/O target");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  request->ResetForReuse(ReuseParams->Status);
  return STATUS_SUCCESS;
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options) {
  FxRequest* request = LookupRequest(Request, "WdfRequestSend");
  if (request == nullptr) return FALSE;
  FxIoTarget* target = LookupIoTarget(Target, "WdfRequestSend");
  if (target == nullptr) {
    request->status = STATUS_INVALID_HANDLE;
    return FALSE;
  }
  return target->Send(request, Options);
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request) {
  FxRequest* request = LookupRequest(Request, "WdfRequestGetStatus");
  return request ? request->status : STATUS_INVALID_HANDLE;
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request) {
  FxRequest* request = LookupRequest(Request, "WdfRequestCancelSentRequest");
  if (request == nullptr || request->place != RequestPlace::Sent || request->sentTo == nullptr) return FALSE;
  return request->sentTo->CancelSent(request) ? TRUE : FALSE;
}

void WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext) {
  FxRequest* request = LookupRequest(Request, "WdfRequestSetCompletionRoutine");
  if (request == nullptr) return;
  if (request->place == RequestPlace::Sent) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestNotOwned,
                              "WdfRequestSetCompletionRoutine: the request is sent to an I/O target");
    return;
  }
  request->completionRoutine = CompletionRoutine;
  request->completionContext = CompletionContext;
}

void WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params) {
  FxRequest* request = LookupRequest(Request, "WdfRequestGetCompletionParams");
  if (request == nullptr || Params == nullptr) return;
  *Params = request->completionParams;
}

void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
  CompleteRequest(Request, Status, 0, false, "WdfRequestComplete");
}

void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
  CompleteRequest(Request, Status, Information, true, "WdfRequestCompleteWithInformation");
}

void WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
  FxRequest* request = LookupRequest(Request, "WdfRequestSetInformation");
  if (request) request->information = Information;
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request) {
  FxRequest* request = LookupRequest(Request, "WdfRequestGetInformation");
  return request ? request->information : 0;
}

void WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
  FxRequest* request = LookupRequest(Request, "WdfRequestGetParameters");
  if (request == nullptr || Parameters == nullptr) return;
  WDF_REQUEST_PARAMETERS_INIT(Parameters);
  IoPacket* packet = request->Packet();
  if (packet == nullptr) {
    Parameters->Type = WdfRequestTypeNoFormat;
    return;
  }
  Parameters->Type = request->RequestType();
  switch (packet->majorFunction) {
    case IRP_MJ_READ:
      Parameters->Parameters.Read.Length = packet->outputLength;
      break;
    case IRP_MJ_WRITE:
      Parameters->Parameters.Write.Length = packet->inputLength;
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      Parameters->Parameters.DeviceIoControl.OutputBufferLength = packet->outputLength;
      Parameters->Parameters.DeviceIoControl.InputBufferLength = packet->inputLength;
      Parameters->Parameters.DeviceIoControl.IoControlCode = packet->ioControlCode;
      break;
    default:
      break;
  }
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request) {
  FxRequest* request = LookupRequest(Request, "WdfRequestGetFileObject");
  if (request == nullptr || request->File() == nullptr) return nullptr;
  return request->File()->HandleAs<WDFFILEOBJECT>();
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request) {
  FxRequest* request = LookupRequest(Request, "WdfRequestGetIoQueue");
  if (request == nullptr || request->queue == nullptr) return nullptr;
  return request->queue->HandleAs<WDFQUEUE>();
}

KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request) {
  FxRequest* request = LookupRequest(Request, "WdfRequestGetRequestorMode");
  return request && !request->DriverCreated() ? UserMode : KernelMode;
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length) {
  return RetrieveBuffer(Request, MinimumRequiredLength, Buffer, Length, true, "WdfRequestRetrieveInputBuffer");
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                        size_t* Length) {
  return RetrieveBuffer(Request, MinimumRequiredLength, Buffer, Length, false, "WdfRequestRetrieveOutputBuffer");
}

NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
  return RetrieveMemory(Request, Memory, true, "WdfRequestRetrieveInputMemory");
}

NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
  return RetrieveMemory(Request, Memory, false, "WdfRequestRetrieveOutputMemory");
}

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue) {
  FxRequest* request = LookupRequest(Request, "WdfRequestForwardToIoQueue");
  if (request == nullptr) return STATUS_INVALID_HANDLE;
  FxQueue* destination = LookupQueue(DestinationQueue, "WdfRequestForwardToIoQueue");
  if (destination == nullptr) return STATUS_INVALID_HANDLE;
  if (!CheckDriverOwns(request, "WdfRequestForwardToIoQueue")) return STATUS_INVALID_DEVICE_REQUEST;
  if (request->DriverCreated() || request->queue == nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              "WdfRequestForwardToIoQueue: only requests delivered by a queue can be forwarded");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (request->cancelRoutine != nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestNotOwned,
                              "WdfRequestForwardToIoQueue: the request is still marked cancelable");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (destination == request->queue || destination->device != request->OwningDevice()) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  NTSTATUS status = kmdf_host::CheckFault("WdfRequestForwardToIoQueue");
  if (!NT_SUCCESS(status)) return status;
  if (!destination->accepting) return STATUS_INVALID_DEVICE_STATE;
  request->queue->ReleaseOwned(request);
  return destination->Enqueue(request);
}

NTSTATUS WdfRequestMarkCancelableEx(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel) {
  FxRequest* request = LookupRequest(Request, "WdfRequestMarkCancelableEx");
  if (request == nullptr) return STATUS_INVALID_HANDLE;
  if (!CheckDriverOwns(request, "WdfRequestMarkCancelableEx")) return STATUS_INVALID_DEVICE_REQUEST;
  if (EvtRequestCancel == nullptr) return STATUS_INVALID_PARAMETER;
  if (request->cancelRoutine != nullptr || request->cancelRoutinePending) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              "WdfRequestMarkCancelableEx: the request is already marked cancelable");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (request->Cancelled()) return STATUS_CANCELLED;
  request->cancelRoutine = EvtRequestCancel;
  return STATUS_SUCCESS;
}

void WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel) {
  FxRequest* request = LookupRequest(Request, "WdfRequestMarkCancelable");
  if (request == nullptr) return;
  if (!CheckDriverOwns(request, "WdfRequestMarkCancelable") || EvtRequestCancel == nullptr) return;
  request->cancelRoutine = EvtRequestCancel;
  // Already cancelled: the routine runs at once (later, under the lock).
  if (request->Cancelled()) request->OnApplicationCancel();
}

NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request) {
  FxRequest* request = LookupRequest(Request, "WdfRequestUnmarkCancelable");
  if (request == nullptr) return STATUS_INVALID_HANDLE;
  if (!CheckDriverOwns(request, "WdfRequestUnmarkCancelable")) return STATUS_INVALID_DEVICE_REQUEST;
  if (request->cancelRoutinePending) return STATUS_CANCELLED;
  if (request->cancelRoutine == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  request->cancelRoutine = nullptr;
  return STATUS_SUCCESS;
}

BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request) {
  FxRequest* request = LookupRequest(Request, "WdfRequestIsCanceled");
  return request && request->Cancelled() ? TRUE : FALSE;
}

void WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue) {
  FxRequest* request = LookupRequest(Request, "WdfRequestStopAcknowledge");
  if (request == nullptr) return;
  if (!request->stopPending) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              "WdfRequestStopAcknowledge: no EvtIoStop is outstanding for the request");
    return;
  }
  request->stopPending = false;
  if (Requeue) {
    if (request->cancelRoutine != nullptr) {
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RequestNotOwned,
                                "WdfRequestStopAcknowledge: a request requeued while marked cancelable");
      request->cancelRoutine = nullptr;
    }
    FxQueue* queue = request->queue;
    queue->ReleaseOwned(request);
    (void)queue->Enqueue(request, true);
  } else {
    request->stopAcknowledged = true;
  }
}
