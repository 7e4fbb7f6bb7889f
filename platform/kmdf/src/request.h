// Requests: those the I/O manager delivers through a device's queues and those a driver creates.
//
// A request is always in exactly one place: in a queue, owned by the driver (presented by a queue,
// retrieved from one, or driver-created), sent to an I/O target, or completed. The driver may complete,
// forward, mark cancelable or send only a request it owns; anything else is reported.
//
// Cancellation from the application: a queued request leaves its queue (EvtIoCanceledOnQueue or
// completion with STATUS_CANCELLED); a request marked cancelable loses its mark at once and its cancel
// routine runs later under the device lock (so WdfRequestUnmarkCancelable returns STATUS_CANCELLED in
// between); an unmarked request only remembers the cancel (WdfRequestMarkCancelableEx then returns
// STATUS_CANCELLED); a sent request is cancelled at its target.
#pragma once

#include "object.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace kmdf {

class FxQueue;
class FxFileObject;
class FxIoTarget;
class FxMemory;
struct IoPacket;

enum class RequestPlace {
  New,          // created, not yet delivered anywhere
  InQueue,      // waiting in `queue`
  DriverOwned,  // presented or retrieved (queue remembers where from) or driver-created
  Sent,         // at `sentTo`
  Completed,    // completed to the I/O manager (framework requests only)
};

// Format data a target attaches to a request (the USB targets derive their own).
struct RequestFormat {
  virtual ~RequestFormat() = default;
};

class FxRequest : public FxObject {
 public:
  // A framework request for an I/O packet (parent: the device), or a driver-created one (packet null).
  FxRequest(FxObject* parent, std::shared_ptr<IoPacket> packet);
  ~FxRequest() override;

  bool DriverCreated() const { return packet_ == nullptr; }
  bool DriverMayDelete() const override { return DriverCreated(); }
  IoPacket* Packet() const { return packet_.get(); }
  const std::shared_ptr<IoPacket>& PacketPtr() const { return packet_; }
  WDF_REQUEST_TYPE RequestType() const;
  FxDevice* OwningDevice() const;
  FxFileObject* File() const;

  // ----- where the request is
  RequestPlace place = RequestPlace::New;
  FxQueue* queue = nullptr;       // the queue it is in, or that last presented it to the driver
  FxIoTarget* sentTo = nullptr;   // while Sent
  bool stopAcknowledged = false;  // EvtIoStop answered with WdfRequestStopAcknowledge(FALSE)
  bool stopPending = false;       // EvtIoStop called, neither acknowledged nor completed yet
  bool presentedCounted = false;  // counts against the presenting queue's NumberOfPresentedRequests

  // ----- status
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;

  // ----- cancellation
  PFN_WDF_REQUEST_CANCEL cancelRoutine = nullptr;  // set while marked cancelable
  bool cancelRoutinePending = false;               // cancel began; the routine will run
  bool Cancelled() const;                          // the application cancelled it
  // Called by the I/O manager when the application cancels the request.
  void OnApplicationCancel();

  // ----- sending
  PFN_WDF_REQUEST_COMPLETION_ROUTINE completionRoutine = nullptr;
  WDFCONTEXT completionContext = nullptr;
  WDF_REQUEST_COMPLETION_PARAMS completionParams{};
  FxIoTarget* formattedFor = nullptr;        // target the request was formatted for, if any
  std::shared_ptr<RequestFormat> format;     // format data of that target
  std::uint64_t sendGeneration = 0;          // increases with every send
  std::uint64_t timeoutTask = 0;             // scheduler task of the send time-out, 0 for none
  bool timedOut = false;                     // the send time-out fired
  bool cancelSentRequested = false;          // cancellation asked while sent
  bool sendAndForget = false;
  bool completionPosted = false;             // the target's completion of the current send is posted

  // ----- buffers of framework requests (lazily created memory objects, children of the request)
  FxMemory* inputMemory = nullptr;
  FxMemory* outputMemory = nullptr;
  // Buffer views of the I/O packet: input (write, device control) and output (read, device control).
  std::uint8_t* InputBuffer(std::size_t* length) const;
  std::uint8_t* OutputBuffer(std::size_t* length) const;

  // Completes a framework request to the I/O manager (the request object is deleted afterwards).
  // Verifier checks are the caller's.
  void CompleteToIoManager(NTSTATUS completionStatus, ULONG_PTR completionInformation);
  // Resets the request for reuse (WdfRequestReuse).
  void ResetForReuse(NTSTATUS newStatus);

 protected:
  void OnDelete() override;

 private:
  std::shared_ptr<IoPacket> packet_;
};

FxRequest* LookupRequest(WDFREQUEST handle, const char* call);

// True when the driver owns the request (reports RequestNotOwned / RequestCompletedTwice otherwise).
bool CheckDriverOwns(FxRequest* request, const char* call);

}  // namespace kmdf
