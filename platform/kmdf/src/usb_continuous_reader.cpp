// The continuous reader of a USB IN pipe.
//
// Configuring makes NumPendingReads requests with their own buffers (HeaderLength + TransferLength +
// TrailerLength bytes); they belong to the reader, not to the driver, and go with the pipe. While the
// pipe's target is started, each is kept sent: a successful read calls EvtUsbTargetPipeReadComplete
// (DISPATCH_LEVEL, completion context, no lock) with the buffer and the byte count and is sent again.
// A failed read (other than one cancelled by a stop) cancels the others; once all are back,
// EvtUsbTargetPipeReadersFailed runs at PASSIVE_LEVEL from a work item. TRUE (or no callback) resets
// the pipe and sends every read again; FALSE leaves the reader idle until the target is stopped and
// started again. A device that has gone is not restarted.
#include <cstdlib>
#include <cstring>

#include "exec.h"
#include "system.h"
#include "usb_target.h"

namespace kmdf {

namespace {

constexpr const char* kConfigCall = "WdfUsbTargetPipeConfigContinuousReader";
constexpr UCHAR kDefaultPendingReads = WDF_USB_CONTINUOUS_READER_DEFAULT_PENDING_READS;
// Restarts in a row without a successful read before the reader gives up (a device that fails every
// read would otherwise keep the machine busy for ever).
constexpr int kMaxRestartsWithoutData = 100;

EVT_WDF_REQUEST_COMPLETION_ROUTINE ReaderComplete;

FxUsbPipe* PipeOf(WDFOBJECT handle) {
  auto* pipe = dynamic_cast<FxUsbPipe*>(ObjectTable::Find(handle));
  return pipe != nullptr && pipe->reader ? pipe : nullptr;
}

bool AllIdle(const ContinuousReader& reader) {
  for (const auto& r : reader.readers)
    if (r.busy) return false;
  return true;
}

NTSTATUS SendReader(FxUsbPipe* pipe, size_t index) {
  ContinuousReader& reader = *pipe->reader;
  auto& slot = reader.readers[index];
  auto* request = dynamic_cast<FxRequest*>(ObjectTable::Find(slot.request));
  if (request == nullptr) return STATUS_INVALID_DEVICE_STATE;
  request->ResetForReuse(STATUS_SUCCESS);
  FormatPipeTransfer(pipe, request, slot.memory, reader.config.HeaderLength, reader.config.TransferLength);
  request->completionRoutine = ReaderComplete;
  request->completionContext = pipe->Handle();
  slot.busy = true;
  if (!pipe->Send(request, nullptr)) {
    slot.busy = false;
    return request->status;
  }
  return STATUS_SUCCESS;
}

// Sends every idle read; the first failure stops and is returned.
NTSTATUS SendIdleReaders(FxUsbPipe* pipe) {
  for (size_t i = 0; i < pipe->reader->readers.size(); ++i) {
    if (pipe->reader->readers[i].busy) continue;
    NTSTATUS status = SendReader(pipe, i);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

void RunReadersFailed(WDFOBJECT pipeHandle);

// A read failed (or came back while the reader is failing): once every read is back, report.
void NoteFailure(FxUsbPipe* pipe, NTSTATUS status, USBD_STATUS usbdStatus) {
  ContinuousReader& reader = *pipe->reader;
  if (!reader.failing) {
    reader.failing = true;
    reader.failStatus = status;
    reader.failUsbdStatus = usbdStatus;
    for (auto& slot : reader.readers) {
      if (!slot.busy) continue;
      if (auto* request = dynamic_cast<FxRequest*>(ObjectTable::Find(slot.request))) (void)pipe->CancelSent(request);
    }
  }
  if (AllIdle(reader) && !reader.failurePosted) {
    reader.failurePosted = true;
    const WDFOBJECT pipeHandle = pipe->Handle();
    PostPassive("EvtUsbTargetPipeReadersFailed", [pipeHandle] { RunReadersFailed(pipeHandle); });
  }
}

void ReaderComplete(WDFREQUEST Request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
  FxUsbPipe* pipe = PipeOf(static_cast<WDFOBJECT>(Context));
  if (pipe == nullptr) return;
  ContinuousReader& reader = *pipe->reader;
  size_t index = reader.readers.size();
  for (size_t i = 0; i < reader.readers.size(); ++i)
    if (reader.readers[i].request == Request) index = i;
  if (index == reader.readers.size()) return;
  reader.readers[index].busy = false;

  const NTSTATUS status = Params->IoStatus.Status;
  const USBD_STATUS usbdStatus = Params->Parameters.Usb.Completion != nullptr
                                     ? Params->Parameters.Usb.Completion->UsbdStatus
                                     : USBD_STATUS_SUCCESS;

  // 1. Success: the data goes to the driver, also when the target stopped meanwhile (a stop that
  //    waits for sent reads); the read is sent again only while the target runs.
  if (NT_SUCCESS(status)) {
    const WDFOBJECT pipeHandle = pipe->Handle();
    const WDFMEMORY memory = reader.readers[index].memory;
    reader.restartsWithoutData = 0;
    if (reader.config.EvtUsbTargetPipeReadComplete != nullptr) {
      reader.config.EvtUsbTargetPipeReadComplete(static_cast<WDFUSBPIPE>(pipeHandle), memory,
                                                 Params->IoStatus.Information,
                                                 reader.config.EvtUsbTargetPipeReadCompleteContext);
    }
    pipe = PipeOf(pipeHandle);
    if (pipe == nullptr || !pipe->reader->running) return;
    if (pipe->reader->failing) {
      // Another read failed: this one is back, report once all are.
      NoteFailure(pipe, pipe->reader->failStatus, pipe->reader->failUsbdStatus);
      return;
    }
    const NTSTATUS sent = SendReader(pipe, index);
    if (!NT_SUCCESS(sent)) NoteFailure(pipe, sent, USBD_STATUS_SUCCESS);
    return;
  }

  // 2. Cancelled or failed while the target stops: the read just goes idle.
  if (!reader.running) return;

  // 3. A device error (or a read cancelled because another one failed).
  NoteFailure(pipe, status, usbdStatus);
}

void RunReadersFailed(WDFOBJECT pipeHandle) {
  FxUsbPipe* pipe = PipeOf(pipeHandle);
  if (pipe == nullptr) return;
  ContinuousReader& reader = *pipe->reader;
  reader.failurePosted = false;
  if (!reader.running) {
    reader.failing = false;  // stopped meanwhile: the next start begins afresh
    return;
  }
  BOOLEAN restart = TRUE;
  if (reader.config.EvtUsbTargetPipeReadersFailed != nullptr) {
    restart = reader.config.EvtUsbTargetPipeReadersFailed(static_cast<WDFUSBPIPE>(pipeHandle), reader.failStatus,
                                                          reader.failUsbdStatus);
  }
  pipe = PipeOf(pipeHandle);
  if (pipe == nullptr) return;
  ContinuousReader& after = *pipe->reader;
  after.failing = false;
  if (!restart || !after.running) return;
  if (pipe->Model().Gone() || ++after.restartsWithoutData > kMaxRestartsWithoutData) return;
  pipe->Model().ResetEndpoint(pipe->endpoint.address);
  NTSTATUS status = SendIdleReaders(pipe);
  if (!NT_SUCCESS(status)) NoteFailure(pipe, status, USBD_STATUS_SUCCESS);
}

void DeleteReaderObjects(ContinuousReader& reader) {
  for (auto& slot : reader.readers) {
    if (FxObject* request = ObjectTable::Find(slot.request)) request->Delete();
    if (FxObject* memory = ObjectTable::Find(slot.memory)) memory->Delete();
    slot.request = nullptr;
    slot.memory = nullptr;
  }
  reader.readers.clear();
}

}  // namespace

NTSTATUS StartContinuousReader(FxUsbPipe* pipe) {
  ContinuousReader& reader = *pipe->reader;
  reader.running = true;
  if (reader.failurePosted) return STATUS_SUCCESS;  // the pending failure report restarts it
  reader.failing = false;                           // a stop cut a failure short: start afresh
  reader.restartsWithoutData = 0;
  return SendIdleReaders(pipe);
}

void StopContinuousReader(FxUsbPipe* pipe) {
  // Sent reads are cancelled by the stop itself (or left pending, as the caller asked); their
  // completions see the reader stopped and leave them idle.
  pipe->reader->running = false;
}

void FxUsbPipe::OnDelete() {
  if (reader) reader->running = false;
  FxIoTarget::OnDelete();
  if (reader) DeleteReaderObjects(*reader);
}

}  // namespace kmdf

using namespace kmdf;

NTSTATUS WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE Pipe, PWDF_USB_CONTINUOUS_READER_CONFIG Config) {
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, kConfigCall);
  if (pipe == nullptr) return STATUS_INVALID_HANDLE;
  if (Config == nullptr || Config->Size != sizeof(WDF_USB_CONTINUOUS_READER_CONFIG)) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              std::string(kConfigCall) + ": configuration not initialised");
    return STATUS_INVALID_PARAMETER;
  }
  if (Config->EvtUsbTargetPipeReadComplete == nullptr || Config->TransferLength == 0) return STATUS_INVALID_PARAMETER;
  if (Config->NumPendingReads > WDF_USB_CONTINUOUS_READER_MAX_PENDING_READS) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = kmdf_host::CheckFault(kConfigCall);
  if (!NT_SUCCESS(status)) return status;
  if (!pipe->IsIn() ||
      (pipe->endpoint.type != USB_ENDPOINT_TYPE_BULK && pipe->endpoint.type != USB_ENDPOINT_TYPE_INTERRUPT))
    return STATUS_INVALID_DEVICE_REQUEST;
  if (pipe->reader) return STATUS_INVALID_DEVICE_STATE;  // once per pipe
  if (!pipe->noMaximumPacketSizeCheck && pipe->endpoint.maxPacketSize != 0 &&
      Config->TransferLength % pipe->endpoint.maxPacketSize != 0)
    return STATUS_INVALID_BUFFER_SIZE;

  const size_t bufferSize = Config->HeaderLength + Config->TransferLength + Config->TrailerLength;
  const UCHAR count = Config->NumPendingReads != 0 ? Config->NumPendingReads : kDefaultPendingReads;
  auto reader = std::make_unique<ContinuousReader>();
  reader->config = *Config;
  FxObject* owner = CurrentDriver();
  for (UCHAR i = 0; i < count; ++i) {
    ContinuousReader::Reader slot;
    FxRequest* request = CreateObject<FxRequest>(nullptr, &status, owner, nullptr);
    if (request == nullptr) {
      DeleteReaderObjects(*reader);
      return status;
    }
    request->place = RequestPlace::DriverOwned;
    slot.request = request->HandleAs<WDFREQUEST>();
    reader->readers.push_back(slot);
    if (!PoolReserve(bufferSize)) {
      DeleteReaderObjects(*reader);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* data = static_cast<std::uint8_t*>(std::calloc(1, bufferSize));
    if (data == nullptr) {
      PoolRelease(bufferSize);
      DeleteReaderObjects(*reader);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    FxMemory* memory = CreateObject<FxMemory>(Config->BufferAttributes, &status, owner, data, bufferSize, true,
                                              KMDF_POOL_TAG('U', 's', 'b', 'R'));
    if (memory == nullptr) {
      DeleteReaderObjects(*reader);
      return status;
    }
    memory->frameworkOwned = true;
    reader->readers.back().memory = memory->HandleAs<WDFMEMORY>();
  }
  pipe->reader = std::move(reader);
  return STATUS_SUCCESS;
}
