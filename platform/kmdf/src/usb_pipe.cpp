// USB pipe targets: information, formatting reads and writes, asynchronous and synchronous transfers,
// abort and reset.
//
// Formatting is allowed at DISPATCH_LEVEL (completion routines re-send from there); the synchronous
// calls wait and so run at PASSIVE_LEVEL without a lock.
#include <cstring>

#include "exec.h"
#include "system.h"
#include "usb_target.h"

namespace kmdf {

namespace {

// A read buffer must hold whole packets unless the driver turned the check off.
bool PacketSizeOk(const FxUsbPipe* pipe, size_t length) {
  if (pipe->noMaximumPacketSizeCheck || pipe->endpoint.maxPacketSize == 0) return true;
  return length % pipe->endpoint.maxPacketSize == 0;
}

NTSTATUS FormatPipeRequest(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY Memory, PWDFMEMORY_OFFSET Offset, bool read,
                           const char* call) {
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, call);
  FxRequest* request = LookupRequest(Request, call);
  if (pipe == nullptr || request == nullptr) return STATUS_INVALID_HANDLE;
  if (!CheckDriverOwns(request, call)) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;
  if (pipe->IsIn() != read) return STATUS_INVALID_DEVICE_REQUEST;  // wrong direction for this pipe
  if (pipe->endpoint.type == USB_ENDPOINT_TYPE_CONTROL || pipe->endpoint.type == USB_ENDPOINT_TYPE_ISOCHRONOUS)
    return STATUS_INVALID_DEVICE_REQUEST;

  size_t offset = 0;
  size_t length = 0;
  if (Memory == nullptr) {
    // A write without memory is a zero-length packet; a read needs a buffer.
    if (read) return STATUS_INVALID_PARAMETER;
  } else {
    FxMemory* memory = LookupMemory(Memory, call);
    if (memory == nullptr) return STATUS_INVALID_HANDLE;
    offset = Offset ? Offset->BufferOffset : 0;
    if (offset > memory->size) return STATUS_INVALID_PARAMETER;
    length = Offset && Offset->BufferLength ? Offset->BufferLength : memory->size - offset;
    if (length > memory->size - offset) return STATUS_INVALID_PARAMETER;
    if (read && !PacketSizeOk(pipe, length)) return STATUS_INVALID_BUFFER_SIZE;
  }
  FormatPipeTransfer(pipe, request, Memory, offset, length);
  return STATUS_SUCCESS;
}

NTSTATUS PipeTransferSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                   PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG Bytes, bool read, const char* call) {
  if (Bytes != nullptr) *Bytes = 0;
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, call);
  if (pipe == nullptr) return STATUS_INVALID_HANDLE;
  if (Request != nullptr) {
    FxRequest* request = LookupRequest(Request, call);
    if (request == nullptr || !CheckDriverOwns(request, call)) return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (!UsbCheckPassive(call) || !CheckMayWait(call)) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;
  if (pipe->IsIn() != read) return STATUS_INVALID_DEVICE_REQUEST;
  if (!pipe->AcceptsIo(RequestOptions != nullptr ? RequestOptions->Flags : 0)) return STATUS_INVALID_DEVICE_STATE;

  std::uint8_t* buffer = nullptr;
  size_t length = 0;
  if (!UsbDescriptorBuffer(MemoryDescriptor, &buffer, &length, call)) {
    UsbReportInvalid(call, "unusable memory descriptor");
    return STATUS_INVALID_PARAMETER;
  }
  if (read && (length == 0 || !PacketSizeOk(pipe, length)))
    return length == 0 ? STATUS_INVALID_PARAMETER : STATUS_INVALID_BUFFER_SIZE;

  size_t bytes = 0;
  status = RunUsbTransferSynchronously(pipe->Model(),
                                       read ? kmdf_host::UsbTransferKind::In : kmdf_host::UsbTransferKind::Out,
                                       pipe->endpoint.address, {}, buffer, length, RequestOptions, &bytes, call);
  if (Bytes != nullptr) *Bytes = static_cast<ULONG>(bytes);
  return status;
}

}  // namespace

void FormatPipeTransfer(FxUsbPipe* pipe, FxRequest* request, WDFMEMORY memory, size_t offset, size_t length) {
  const bool read = pipe->IsIn();
  auto format = std::make_shared<UsbRequestFormat>();
  format->kind = read ? kmdf_host::UsbTransferKind::In : kmdf_host::UsbTransferKind::Out;
  format->endpoint = pipe->endpoint.address;
  format->memory = memory;
  format->offset = offset;
  format->length = length;
  FxIoTarget::PrepareFormat(request, pipe, WdfRequestTypeUsb);
  if (read) {
    format->usb.Type = WdfUsbRequestTypePipeRead;
    format->usb.Parameters.PipeRead.Buffer = memory;
    format->usb.Parameters.PipeRead.Offset = offset;
  } else {
    format->usb.Type = WdfUsbRequestTypePipeWrite;
    format->usb.Parameters.PipeWrite.Buffer = memory;
    format->usb.Parameters.PipeWrite.Offset = offset;
  }
  request->format = format;
  request->completionParams.Parameters.Usb.Completion = &format->usb;
}

FxUsbPipe* LookupUsbPipe(WDFUSBPIPE handle, const char* call) {
  return LookupAs<FxUsbPipe>(handle, ObjectType::UsbPipe, call);
}

WDF_USB_PIPE_TYPE PipeTypeOf(const kmdf_host::UsbEndpointConfig& endpoint) {
  switch (endpoint.type & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_CONTROL:
      return WdfUsbPipeTypeControl;
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
      return WdfUsbPipeTypeIsochronous;
    case USB_ENDPOINT_TYPE_BULK:
      return WdfUsbPipeTypeBulk;
    default:
      return WdfUsbPipeTypeInterrupt;
  }
}

void FillPipeInformation(const kmdf_host::UsbEndpointConfig& endpoint, UCHAR settingIndex,
                         PWDF_USB_PIPE_INFORMATION info) {
  info->MaximumPacketSize = endpoint.maxPacketSize;
  info->EndpointAddress = endpoint.address;
  info->Interval = endpoint.interval;
  info->SettingIndex = settingIndex;
  info->PipeType = PipeTypeOf(endpoint);
  info->MaximumTransferSize = kUsbMaximumTransferSize;
}

FxUsbPipe::FxUsbPipe(FxUsbInterface* itf, const kmdf_host::UsbEndpointConfig& ep, UCHAR setting)
    : FxIoTarget(ObjectType::UsbPipe, itf, itf->usbDevice->TargetDevice()),
      usbInterface(itf),
      endpoint(ep),
      settingIndex(setting) {}

FxUsbPipe::~FxUsbPipe() = default;

NTSTATUS FxUsbPipe::Deliver(FxRequest* request) { return DeliverUsbTransfer(this, Model(), request); }

void FxUsbPipe::CancelDelivered(FxRequest* request) { CancelUsbTransfer(request); }

NTSTATUS FxUsbPipe::OnStart() { return reader ? StartContinuousReader(this) : STATUS_SUCCESS; }

void FxUsbPipe::OnStop(WDF_IO_TARGET_SENT_IO_ACTION action) {
  (void)action;
  if (reader) StopContinuousReader(this);
}

}  // namespace kmdf

using namespace kmdf;

void WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation) {
  const char* call = "WdfUsbTargetPipeGetInformation";
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, call);
  if (PipeInformation == nullptr || PipeInformation->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
    UsbReportInvalid(call, "pipe information not initialised");
    return;
  }
  if (pipe != nullptr) FillPipeInformation(pipe->endpoint, pipe->settingIndex, PipeInformation);
}

BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe) {
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, "WdfUsbTargetPipeIsInEndpoint");
  return pipe != nullptr && pipe->IsIn() ? TRUE : FALSE;
}

BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe) {
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, "WdfUsbTargetPipeIsOutEndpoint");
  return pipe != nullptr && !pipe->IsIn() ? TRUE : FALSE;
}

WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe) {
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, "WdfUsbTargetPipeGetType");
  return pipe ? PipeTypeOf(pipe->endpoint) : WdfUsbPipeTypeInvalid;
}

void WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe) {
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck");
  if (pipe) pipe->noMaximumPacketSizeCheck = true;
}

WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe) {
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, "WdfUsbTargetPipeGetIoTarget");
  return pipe ? pipe->HandleAs<WDFIOTARGET>() : nullptr;
}

NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY ReadMemory,
                                              PWDFMEMORY_OFFSET ReadOffset) {
  return FormatPipeRequest(Pipe, Request, ReadMemory, ReadOffset, true, "WdfUsbTargetPipeFormatRequestForRead");
}

NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY WriteMemory,
                                               PWDFMEMORY_OFFSET WriteOffset) {
  return FormatPipeRequest(Pipe, Request, WriteMemory, WriteOffset, false, "WdfUsbTargetPipeFormatRequestForWrite");
}

NTSTATUS WdfUsbTargetPipeReadSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesRead) {
  return PipeTransferSynchronously(Pipe, Request, RequestOptions, MemoryDescriptor, BytesRead, true,
                                   "WdfUsbTargetPipeReadSynchronously");
}

NTSTATUS WdfUsbTargetPipeWriteSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesWritten) {
  return PipeTransferSynchronously(Pipe, Request, RequestOptions, MemoryDescriptor, BytesWritten, false,
                                   "WdfUsbTargetPipeWriteSynchronously");
}

NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions) {
  const char* call = "WdfUsbTargetPipeAbortSynchronously";
  (void)Request;
  (void)RequestOptions;
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, call);
  if (pipe == nullptr) return STATUS_INVALID_HANDLE;
  if (!UsbCheckPassive(call) || !CheckMayWait(call)) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;
  const std::vector<FxRequest*> sent = pipe->SentRequests();
  for (FxRequest* request : sent) (void)pipe->CancelSent(request);
  const WDFOBJECT handle = pipe->Handle();
  (void)WaitUntil(
      [handle] {
        auto* p = static_cast<FxUsbPipe*>(ObjectTable::Find(handle));
        return p == nullptr || p->SentRequests().empty();
      },
      0, call);
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions) {
  const char* call = "WdfUsbTargetPipeResetSynchronously";
  (void)Request;
  (void)RequestOptions;
  FxUsbPipe* pipe = LookupUsbPipe(Pipe, call);
  if (pipe == nullptr) return STATUS_INVALID_HANDLE;
  if (!UsbCheckPassive(call)) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;
  if (pipe->Model().Gone()) return STATUS_DEVICE_NOT_CONNECTED;
  pipe->Model().ResetEndpoint(pipe->endpoint.address);
  return STATUS_SUCCESS;
}
