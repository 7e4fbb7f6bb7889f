// Generic I/O targets and the send path.
//
// How a derived target works (the USB device and pipe targets are built this way):
//   - Derive from FxIoTarget with its own ObjectType (UsbDevice, UsbPipe, ...); the handle of the
//     object is then usable as a WDFIOTARGET (WdfIoTargetStart/Stop/GetState, WdfRequestSend).
//   - Formatting calls (e.g. a pipe's FormatRequestForRead) check the request with CheckDriverOwns,
//     then call PrepareFormat(request, type) and attach their own RequestFormat data and completion
//     parameters (request->format, request->completionParams.Type/Parameters).
//   - WdfRequestSend calls the generic Send: state checks (a stopped target fails the send with
//     STATUS_INVALID_DEVICE_STATE unless WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE), fault
//     injection, the time-out, then the virtual Deliver(request). Deliver hands the request to the device
//     side and returns NTSTATUS: a failure makes WdfRequestSend return FALSE with that status.
//   - The device side finishes the transfer by calling CompleteSent(request, status, information) at any
//     time later (from a scheduler task). The completion routine is always run later through the
//     scheduler, at DISPATCH_LEVEL without the device lock, never inside WdfRequestSend or
//     CompleteSent. CompleteSent of a request that is no longer sent (already completed) is ignored,
//     so the device side and a cancellation may race safely.
//   - Cancellation (WdfRequestCancelSentRequest, the send time-out, WdfIoTargetStop with
//     WdfIoTargetCancelSentIo, the application cancelling the original request) calls the virtual
//     CancelDelivered(request). The default completes the request with STATUS_CANCELLED; a derived
//     target overrides it to abort the device-side transfer and then call CompleteSent itself (e.g.
//     with STATUS_CANCELLED and its own USBD status). After a time-out the request's status becomes
//     STATUS_IO_TIMEOUT whatever cancellation status the target gives.
//   - OnStart / OnStop are hooks for derived targets (e.g. a continuous reader starts and stops).
#pragma once

#include "request.h"

#include <deque>
#include <vector>

namespace kmdf {

class FxIoTarget : public FxObject {
 public:
  FxIoTarget(ObjectType type, FxObject* parent, FxDevice* device);
  ~FxIoTarget() override;

  FxDevice* TargetDevice() const { return device_; }
  WDF_IO_TARGET_STATE State() const { return state_; }
  // Whether I/O sent with these WDF_REQUEST_SEND_OPTIONS flags may go out now: only to a started target,
  // unless the sender ignores the target state; never to a deleted one.
  bool AcceptsIo(ULONG sendFlags) const {
    return state_ == WdfIoTargetStarted ||
           (state_ != WdfIoTargetDeleted && (sendFlags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0);
  }

  NTSTATUS Start();
  // Stops the target. CancelSentIo cancels sent requests; it and WaitForSentIoToComplete then wait
  // (PASSIVE_LEVEL) until every sent request completed.
  void Stop(WDF_IO_TARGET_SENT_IO_ACTION action);

  // The send path of WdfRequestSend. Returns TRUE when sent.
  BOOLEAN Send(FxRequest* request, const WDF_REQUEST_SEND_OPTIONS* options);
  // Cancels a request sent to this target (asynchronously). False if the request is not sent here.
  bool CancelSent(FxRequest* request);
  // Called by the device side when a sent request finished. Ignored if the request is not sent here.
  void CompleteSent(FxRequest* request, NTSTATUS status, ULONG_PTR information);

  // Drops a request from the sent list without completing it (the request goes away).
  void ForgetSent(FxRequest* request) { RemoveSent(request); }

  // Requests sent and not yet completed, in sending order.
  const std::vector<FxRequest*>& SentRequests() const { return sent_; }

  // Records the target as the request's format; requests formatted for another target are refused
  // by Send. Sets completionParams.Type and resets the parameters.
  static void PrepareFormat(FxRequest* request, FxIoTarget* target, WDF_REQUEST_TYPE type);

 protected:
  // Hands a sent request to the device side. A failure status means not sent.
  virtual NTSTATUS Deliver(FxRequest* request) = 0;
  // Aborts a delivered request; must lead to CompleteSent (now or later). Default: STATUS_CANCELLED.
  virtual void CancelDelivered(FxRequest* request);
  virtual NTSTATUS OnStart() { return STATUS_SUCCESS; }
  virtual void OnStop(WDF_IO_TARGET_SENT_IO_ACTION action) { (void)action; }
  void OnDelete() override;

 private:
  void RunCompletion(FxRequest* request, std::uint64_t generation, WDFREQUEST handle);
  void RemoveSent(FxRequest* request);

  FxDevice* device_;
  WDF_IO_TARGET_STATE state_ = WdfIoTargetStarted;
  std::vector<FxRequest*> sent_;
};

// Looks up any kind of I/O target (generic, USB device, USB pipe).
FxIoTarget* LookupIoTarget(WDFIOTARGET handle, const char* call);

// A target whose device side is driven by the host: sent requests wait until the test completes them.
class FxManualIoTarget : public FxIoTarget {
 public:
  FxManualIoTarget(FxObject* parent, FxDevice* device);
  std::vector<FxRequest*> Pending() const;
  bool autoCompleteCancel = true;  // cancellation completes with STATUS_CANCELLED at once
  int cancelCount = 0;

 protected:
  NTSTATUS Deliver(FxRequest* request) override;
  void CancelDelivered(FxRequest* request) override;
};

}  // namespace kmdf
