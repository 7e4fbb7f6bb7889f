// The USB targets over a simulated USB device (kmdf_host::UsbDeviceModel).
//
// Objects: the USB device target (parent: the device) is the I/O target of the default control pipe;
// it owns one interface object per interface of the configuration (created with the target); selecting
// the configuration creates the pipe targets of each configured interface (parent: the interface).
//
// Transfers: a request formatted for a pipe (or for a control transfer on the device target) carries a
// UsbRequestFormat. Delivering it hands a kmdf_host::UsbTransfer to the model; when the model ends the
// transfer, the result is copied into the request's memory and FxIoTarget::CompleteSent is called
// from a fresh scheduler task, so the driver's completion routine always runs later, at
// DISPATCH_LEVEL, never inside WdfRequestSend. IN data lands in a buffer owned by the format first,
// so a memory object deleted while its transfer is pending is never written.
#pragma once

#include <kmdf_host/usb_device.h>
#include <wdfusb.h>

#include <memory>
#include <string>
#include <vector>

#include "device.h"
#include "io_target.h"
#include "request.h"

namespace kmdf {

class FxUsbInterface;
class FxUsbPipe;

// Format of a USB request: what to transfer, and the USB completion parameters the completion
// routine sees through WDF_REQUEST_COMPLETION_PARAMS.Parameters.Usb.Completion.
struct UsbRequestFormat : RequestFormat {
  WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
  kmdf_host::UsbTransferKind kind = kmdf_host::UsbTransferKind::In;
  UCHAR endpoint = 0;
  kmdf_host::UsbSetupPacket setup{};
  WDFMEMORY memory = nullptr;  // the request's transfer memory (none for a zero-length write)
  size_t offset = 0;
  size_t length = 0;
  std::vector<std::uint8_t> data;      // IN data as the device delivered it
  kmdf_host::UsbTransferPtr transfer;  // while delivered
};

class FxUsbDevice : public FxIoTarget {
 public:
  FxUsbDevice(FxDevice* device, std::shared_ptr<kmdf_host::UsbDeviceModel> model);

  const std::shared_ptr<kmdf_host::UsbDeviceModel>& Model() const { return model_; }
  const kmdf_host::UsbDeviceConfig& Config() const { return model_->Config(); }
  std::vector<FxUsbInterface*> interfaces;  // one per interface number, in descriptor order
  bool configured = false;

 protected:
  NTSTATUS Deliver(FxRequest* request) override;
  void CancelDelivered(FxRequest* request) override;
  void OnDelete() override;

 private:
  std::shared_ptr<kmdf_host::UsbDeviceModel> model_;
};

class FxUsbInterface : public FxObject {
 public:
  FxUsbInterface(FxUsbDevice* usbDevice, UCHAR number);
  bool DriverMayDelete() const override { return false; }

  FxUsbDevice* usbDevice;
  UCHAR number;
  std::vector<kmdf_host::UsbInterfaceConfig> settings;  // by setting index
  UCHAR configuredSetting = 0;
  std::vector<FxUsbPipe*> pipes;  // of the configured setting, in endpoint order

  // Replaces the pipes by those of the given setting (old pipes are deleted).
  NTSTATUS Configure(UCHAR settingIndex, const WDF_OBJECT_ATTRIBUTES* pipeAttributes);
  void DropPipes();
};

struct ContinuousReader;

class FxUsbPipe : public FxIoTarget {
 public:
  FxUsbPipe(FxUsbInterface* usbInterface, const kmdf_host::UsbEndpointConfig& endpoint, UCHAR settingIndex);
  ~FxUsbPipe() override;
  bool DriverMayDelete() const override { return false; }  // pipes go with their configuration

  FxUsbInterface* usbInterface;
  kmdf_host::UsbEndpointConfig endpoint;
  UCHAR settingIndex;
  bool noMaximumPacketSizeCheck = false;
  std::unique_ptr<ContinuousReader> reader;

  bool IsIn() const { return endpoint.IsIn(); }
  kmdf_host::UsbDeviceModel& Model() const { return *usbInterface->usbDevice->Model(); }

 protected:
  NTSTATUS Deliver(FxRequest* request) override;
  void CancelDelivered(FxRequest* request) override;
  NTSTATUS OnStart() override;
  void OnStop(WDF_IO_TARGET_SENT_IO_ACTION action) override;
  void OnDelete() override;
};

WDF_USB_PIPE_TYPE PipeTypeOf(const kmdf_host::UsbEndpointConfig& endpoint);
void FillPipeInformation(const kmdf_host::UsbEndpointConfig& endpoint, UCHAR settingIndex,
                         PWDF_USB_PIPE_INFORMATION info);

// Largest transfer a pipe reports in its information (transfers are not limited by it).
constexpr ULONG kUsbMaximumTransferSize = 4u * 1024u * 1024u;

FxUsbDevice* LookupUsbDevice(WDFUSBDEVICE handle, const char* call);
FxUsbInterface* LookupUsbInterface(WDFUSBINTERFACE handle, const char* call);
FxUsbPipe* LookupUsbPipe(WDFUSBPIPE handle, const char* call);

// Reports (WrongLevel) and returns false when not at PASSIVE_LEVEL.
bool UsbCheckPassive(const char* call);
void UsbReportInvalid(const char* call, const std::string& what);
// The buffer a memory descriptor names (none for a null descriptor); false for an unusable one.
bool UsbDescriptorBuffer(const WDF_MEMORY_DESCRIPTOR* descriptor, std::uint8_t** buffer, size_t* length,
                         const char* call);

// Formats a request for a read (IN pipe) or write (OUT pipe) of `length` bytes at `offset` in
// `memory` (none: a zero-length write). The caller has checked everything.
void FormatPipeTransfer(FxUsbPipe* pipe, FxRequest* request, WDFMEMORY memory, size_t offset, size_t length);

// Hands the request's transfer to the model; the result comes back through `target`'s CompleteSent.
NTSTATUS DeliverUsbTransfer(FxIoTarget* target, kmdf_host::UsbDeviceModel& model, FxRequest* request);
void CancelUsbTransfer(FxRequest* request);

// Runs one transfer synchronously at PASSIVE_LEVEL: submits it, drives the scheduler until it ends or
// the options' time-out passes (then it is cancelled and STATUS_IO_TIMEOUT returned).
NTSTATUS RunUsbTransferSynchronously(kmdf_host::UsbDeviceModel& model, kmdf_host::UsbTransferKind kind, UCHAR endpoint,
                                     const kmdf_host::UsbSetupPacket& setup, std::uint8_t* buffer, size_t length,
                                     const WDF_REQUEST_SEND_OPTIONS* options, size_t* bytes, const char* call);

// Continuous reader, started and stopped with its pipe's target.
struct ContinuousReader {
  WDF_USB_CONTINUOUS_READER_CONFIG config{};
  struct Reader {
    WDFREQUEST request = nullptr;
    WDFMEMORY memory = nullptr;
    bool busy = false;  // sent, or its completion not yet handled
  };
  std::vector<Reader> readers;
  bool running = false;  // target started: completed readers are sent again
  bool failing = false;  // a read failed: the others are being cancelled
  bool failurePosted = false;
  int restartsWithoutData = 0;  // restarts after failures since the last successful read
  NTSTATUS failStatus = STATUS_SUCCESS;
  USBD_STATUS failUsbdStatus = USBD_STATUS_SUCCESS;
};

NTSTATUS StartContinuousReader(FxUsbPipe* pipe);
void StopContinuousReader(FxUsbPipe* pipe);

}  // namespace kmdf
