// Simulated USB devices: descriptors plus behaviour, as the framework layer's USB targets see them.
//
// A test makes a model (UsbDeviceModel, or a ready one from the test bed: a loopback device, a modem)
// and hands it to the host API when it adds a device (kmdf_host::DeviceSetup::usb); the model stays
// reachable through kmdf_host::DeviceUsbModel(node) or the test's own shared_ptr. The layer's USB device
// target reads its descriptors; its pipe targets and control transfers hand it UsbTransfer objects.
// The model answers each transfer now or later (through the scheduler) by completing it; the layer
// reports the completion to the driver later through the scheduler, never inside the call that
// submitted it. Tests push bulk-in data (PushIn, PushInAt, PushInAfter), inject faults, and inspect
// what the device received (OutLog, ReceivedBytes, ZeroLengthPackets, ControlLog).
//
// Everything here runs on the scheduler's thread; nothing is thread-safe by itself.
#pragma once

#include <usb.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kmdf_host {

// ---------------------------------------------------------------------------------------------------
// Descriptors

struct UsbEndpointConfig {
  UCHAR address = 0;                    // bEndpointAddress: bit 7 set for IN
  UCHAR type = USB_ENDPOINT_TYPE_BULK;  // USB_ENDPOINT_TYPE_*
  USHORT maxPacketSize = 512;
  UCHAR interval = 0;

  bool IsIn() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

struct UsbInterfaceConfig {
  UCHAR number = 0;
  UCHAR alternateSetting = 0;
  UCHAR interfaceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
  UCHAR interfaceSubClass = 0;
  UCHAR interfaceProtocol = 0;
  std::vector<UsbEndpointConfig> endpoints;
};

// A device with one configuration.
struct UsbDeviceConfig {
  USB_DEVICE_DESCRIPTOR device{};
  UCHAR configurationValue = 1;
  UCHAR configurationAttributes = USB_CONFIG_BUS_POWERED;
  UCHAR maxPower = 50;  // in 2 mA units
  std::vector<UsbInterfaceConfig> interfaces;

  // The whole configuration descriptor as the device sends it: configuration, then each interface
  // followed by its endpoints. wTotalLength and bNumInterfaces are computed.
  std::vector<uint8_t> ConfigurationDescriptorBytes() const;
  const UsbEndpointConfig* FindEndpoint(UCHAR address) const;
  // The first bulk endpoint of the given direction in interface order, or nullopt.
  std::optional<UCHAR> FirstBulkEndpoint(bool in) const;
};

// Builds a UsbDeviceConfig. Defaults: vendor 0x3759, product 0x0001, USB 2.0, control packet size 64,
// vendor-specific class. Endpoints added before any Interface() call go to an implicit interface 0.
//
//   auto config = UsbDescriptorBuilder().Vendor(0x3759).Interface(0).BulkIn(0x81).BulkOut(0x01).Build();
class UsbDescriptorBuilder {
 public:
  UsbDescriptorBuilder();

  UsbDescriptorBuilder& Vendor(USHORT vendorId);
  UsbDescriptorBuilder& Product(USHORT productId);
  UsbDescriptorBuilder& DeviceRelease(USHORT bcdDevice);
  UsbDescriptorBuilder& DeviceClass(UCHAR cls, UCHAR subClass = 0, UCHAR protocol = 0);
  // Starts a new interface; the endpoints added next belong to it.
  UsbDescriptorBuilder& Interface(UCHAR number, UCHAR cls = USB_DEVICE_CLASS_VENDOR_SPECIFIC, UCHAR subClass = 0,
                                  UCHAR protocol = 0, UCHAR alternateSetting = 0);
  // The direction bit of the address is set (IN) or cleared (OUT) by these helpers.
  UsbDescriptorBuilder& BulkIn(UCHAR address, USHORT maxPacketSize = 512);
  UsbDescriptorBuilder& BulkOut(UCHAR address, USHORT maxPacketSize = 512);
  UsbDescriptorBuilder& InterruptIn(UCHAR address, USHORT maxPacketSize = 16, UCHAR interval = 8);
  // Any endpoint, address taken as given.
  UsbDescriptorBuilder& Endpoint(UCHAR address, UCHAR type, USHORT maxPacketSize, UCHAR interval = 0);

  UsbDeviceConfig Build() const;

 private:
  UsbInterfaceConfig& CurrentInterface();
  UsbDeviceConfig config_;
};

// ---------------------------------------------------------------------------------------------------
// Transfers

// Setup packet in host byte order; wire order is little-endian (ToBytes/FromBytes).
struct UsbSetupPacket {
  UCHAR bmRequestType = 0;
  UCHAR bRequest = 0;
  USHORT wValue = 0;
  USHORT wIndex = 0;
  USHORT wLength = 0;

  bool IsDeviceToHost() const { return (bmRequestType & 0x80) != 0; }
  UCHAR Type() const { return (bmRequestType >> 5) & 0x03; }  // BMREQUEST_STANDARD/CLASS/VENDOR
  UCHAR Recipient() const { return bmRequestType & 0x1F; }    // BMREQUEST_TO_*
  std::array<uint8_t, 8> ToBytes() const;
  static UsbSetupPacket FromBytes(const uint8_t bytes[8]);
  bool operator==(const UsbSetupPacket&) const = default;
};

// How a transfer ended. bytes is what moved: written into the IN buffer, or accepted from the OUT data.
struct UsbTransferResult {
  NTSTATUS status = 0;
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
  size_t bytes = 0;
};

// A device-side failure. The defaults describe a transaction error; Stall() a STALL handshake.
struct UsbFault {
  NTSTATUS status;
  USBD_STATUS usbdStatus;
  size_t bytes = 0;  // bytes moved before the failure (OUT: the device keeps them; IN: delivered)

  static UsbFault TransferError(size_t bytesMoved = 0);
  static UsbFault Stall();
  static UsbFault DeviceGone();
};

enum class UsbTransferKind { Control, In, Out };

// One transfer, shared by the layer (which submitted it and may cancel it) and the model (which
// completes it). Exactly one of Complete*/Fail/Cancel takes effect; later calls return false.
class UsbTransfer {
 public:
  using CompletionFn = std::function<void(const UsbTransferResult&)>;

  // IN transfer (bulk, interrupt or a device-to-host control transfer) into a caller buffer that must
  // stay valid while the transfer is pending.
  static std::shared_ptr<UsbTransfer> MakeIn(UCHAR endpoint, std::span<uint8_t> buffer, CompletionFn done);
  // OUT transfer; the data is copied.
  static std::shared_ptr<UsbTransfer> MakeOut(UCHAR endpoint, std::span<const uint8_t> data, CompletionFn done);
  // Control transfer on endpoint 0. For a device-to-host request `buffer` receives the data stage;
  // for host-to-device its contents are the data stage (copied).
  static std::shared_ptr<UsbTransfer> MakeControl(const UsbSetupPacket& setup, std::span<uint8_t> buffer,
                                                  CompletionFn done);

  UsbTransferKind Kind() const { return kind_; }
  UCHAR Endpoint() const { return endpoint_; }
  const UsbSetupPacket& Setup() const { return setup_; }
  // OUT data (bulk-out bytes or the host-to-device data stage of a control transfer).
  std::span<const uint8_t> OutData() const { return outData_; }
  // Room for IN data.
  size_t InCapacity() const { return inBuffer_.size(); }
  bool Pending() const { return pending_; }

  // Model side. CompleteIn copies min(data, capacity) bytes; CompleteOut accepts `bytes` of the data
  // (all of it by default).
  bool CompleteIn(std::span<const uint8_t> data);
  bool CompleteOut(std::optional<size_t> bytes = std::nullopt);
  bool CompleteControl(std::span<const uint8_t> inData = {});
  // A failure; for IN, fault.bytes of `partial` are delivered first.
  bool Fail(const UsbFault& fault, std::span<const uint8_t> partial = {});

  // Layer side: ends a pending transfer with the given status and USBD_STATUS_CANCELED.
  bool Cancel(NTSTATUS status);

 private:
  UsbTransfer() = default;
  bool Finish(const UsbTransferResult& result);

  UsbTransferKind kind_ = UsbTransferKind::In;
  UCHAR endpoint_ = 0;
  UsbSetupPacket setup_{};
  std::span<uint8_t> inBuffer_;
  std::vector<uint8_t> outData_;
  CompletionFn done_;
  bool pending_ = true;
};

using UsbTransferPtr = std::shared_ptr<UsbTransfer>;

// ---------------------------------------------------------------------------------------------------
// Device model

// How a device answers a control transfer.
struct UsbControlAnswer {
  enum class Kind { Ack, Stall, NoAnswer, Fail };
  Kind kind = Kind::Ack;
  std::vector<uint8_t> data;                   // IN data stage for Ack
  UsbFault fault = UsbFault::TransferError();  // for Fail
  ULONG delayMs = 0;                           // Ack/Stall/Fail arrive after this much virtual time

  static UsbControlAnswer Ack(std::vector<uint8_t> data = {}, ULONG delayMs = 0);
  static UsbControlAnswer Stall(ULONG delayMs = 0);
  static UsbControlAnswer NoAnswer();
  static UsbControlAnswer Failure(const UsbFault& fault, ULONG delayMs = 0);
};

// Base of every simulated device. Its default behaviour:
//   - bulk/interrupt OUT: records the data (a zero-length transfer is recorded as an empty record),
//     passes it to OnDataReceived and accepts all of it;
//   - IN: the read waits until the device has something to send (PushIn); each pushed chunk ends one
//     transfer (a short packet), so a read completes with at most one chunk, up to its buffer length,
//     and a chunk longer than the buffer is delivered over several reads; an empty chunk completes a
//     read with 0 bytes;
//   - control: recorded, then answered by the control handler (default: standard GET_DESCRIPTOR,
//     GET_STATUS and GET_CONFIGURATION are answered from the descriptors, everything else is
//     acknowledged with no data).
// Faults: a stalled bulk endpoint stays halted (transfers fail with USBD_STATUS_ENDPOINT_HALTED)
// until the layer resets the pipe; after Unplug every pending and every new transfer fails with
// STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE.
class UsbDeviceModel {
 public:
  explicit UsbDeviceModel(UsbDeviceConfig config);
  virtual ~UsbDeviceModel();
  UsbDeviceModel(const UsbDeviceModel&) = delete;
  UsbDeviceModel& operator=(const UsbDeviceModel&) = delete;

  const UsbDeviceConfig& Config() const { return config_; }

  // ---- Called by the layer ----------------------------------------------------------------------
  // Hands a transfer to the device. The device may complete it before returning.
  void Submit(const UsbTransferPtr& transfer);
  // The layer reset the pipe of this endpoint (clears a halt).
  void ResetEndpoint(UCHAR endpoint);
  // The layer selected (value != 0) or dropped (0) the configuration.
  void SetConfiguration(UCHAR value);
  UCHAR Configuration() const { return configuration_; }

  // ---- Device-side actions, for subclasses and tests ----------------------------------------------
  // Queues one chunk for the first bulk-in endpoint (or `endpoint`); a pending read takes it at once.
  void PushIn(std::span<const uint8_t> data, std::optional<UCHAR> endpoint = std::nullopt);
  void PushIn(const std::string& text, std::optional<UCHAR> endpoint = std::nullopt);
  // Same, at a virtual time (100-ns units, as the scheduler's clock) or after a delay.
  void PushInAt(LONGLONG due, std::vector<uint8_t> data, std::optional<UCHAR> endpoint = std::nullopt);
  void PushInAfter(ULONG delayMs, std::vector<uint8_t> data, std::optional<UCHAR> endpoint = std::nullopt);
  // Queues a failure in the IN stream: the read that would take the next chunk fails instead.
  void PushInFault(const UsbFault& fault, std::optional<UCHAR> endpoint = std::nullopt);
  // The device disappears: pending transfers fail now, new ones fail at once.
  void Unplug();
  bool Gone() const { return gone_; }

  // ---- Fault injection ----------------------------------------------------------------------------
  // The next OUT transfer (any OUT endpoint) fails; fault.bytes of its data reach the device.
  void FailNextOut(const UsbFault& fault);
  // While set, the device keeps NAKing OUT transfers: they stay pending until cancelled and nothing
  // reaches the device.
  void SetOutNoAnswer(bool on) { outNoAnswer_ = on; }
  // Delay between an OUT transfer and its completion (virtual ms, default 0).
  void SetOutLatency(ULONG ms) { outLatencyMs_ = ms; }
  // Replaces the control handler; it sees every control transfer, standard requests included, after
  // it is recorded (StandardAnswer gives the default answer to a standard request).
  using ControlHandler = std::function<UsbControlAnswer(const UsbSetupPacket&, std::span<const uint8_t>)>;
  void SetControlHandler(ControlHandler handler) { controlHandler_ = std::move(handler); }
  // Shorthand: every control transfer not answered by the standard requests gets this answer.
  void SetControlAnswer(UsbControlAnswer answer);
  // Standard requests answered from the descriptors; nullopt for anything else.
  std::optional<UsbControlAnswer> StandardAnswer(const UsbSetupPacket& setup) const;

  // ---- Inspection ---------------------------------------------------------------------------------
  struct OutRecord {
    UCHAR endpoint;
    std::vector<uint8_t> data;  // the bytes the device kept
    LONGLONG time;              // virtual time of arrival
  };
  struct ControlRecord {
    UsbSetupPacket setup;
    std::vector<uint8_t> data;  // host-to-device data stage
    LONGLONG time;
  };
  const std::vector<OutRecord>& OutLog() const { return outLog_; }
  const std::vector<ControlRecord>& ControlLog() const { return controlLog_; }
  // All bytes received on OUT endpoints, in order.
  std::vector<uint8_t> ReceivedBytes() const;
  std::string ReceivedText() const;
  size_t ZeroLengthPackets() const;
  size_t PendingInTransfers() const;
  size_t PendingOutTransfers() const;
  size_t PendingControlTransfers() const;
  size_t QueuedInChunks() const;
  bool Halted(UCHAR endpoint) const;
  void ClearLogs();

 protected:
  // Hooks. The defaults implement the behaviour described above; overriding models can complete the
  // transfer themselves (now or later) or call the base.
  virtual void OnOut(const UsbTransferPtr& transfer);
  virtual void OnIn(const UsbTransferPtr& transfer);
  virtual void OnControl(const UsbTransferPtr& transfer);
  // Called by the default OnOut with the bytes the device kept (also for zero-length packets).
  virtual void OnDataReceived(UCHAR endpoint, std::span<const uint8_t> data);
  LONGLONG Now() const;
  void After(ULONG delayMs, std::function<void()> work);
  UCHAR DefaultInEndpoint() const;

 private:
  struct InItem {
    std::vector<uint8_t> data;
    size_t offset = 0;
    std::optional<UsbFault> fault;
  };
  struct InEndpoint {
    std::deque<UsbTransferPtr> reads;
    std::deque<InItem> items;
  };
  InEndpoint& InState(UCHAR endpoint);
  void ServeIn(UCHAR endpoint);
  void Prune();
  void Answer(const UsbTransferPtr& transfer, const UsbControlAnswer& answer);

  UsbDeviceConfig config_;
  UCHAR configuration_ = 0;
  bool gone_ = false;
  std::vector<std::pair<UCHAR, InEndpoint>> in_;
  std::vector<UCHAR> halted_;
  std::deque<UsbTransferPtr> outPending_;
  std::deque<UsbTransferPtr> controlPending_;
  std::optional<UsbFault> nextOutFault_;
  bool outNoAnswer_ = false;
  ULONG outLatencyMs_ = 0;
  ControlHandler controlHandler_;
  std::vector<OutRecord> outLog_;
  std::vector<ControlRecord> controlLog_;
  std::shared_ptr<bool> alive_;  // lets posted work see that the model is gone
};

}  // namespace kmdf_host
