// Simulated USB device base: descriptors, transfer bookkeeping, pushed bulk-in data, faults.
//
// Runs on the scheduler's thread. A transfer's completion callback belongs to the layer, which defers
// the report to the driver through the scheduler, so completing a transfer here never runs driver code.
#include <kmdf_host/scheduler.h>
#include <kmdf_host/usb_device.h>

#include <algorithm>
#include <cstring>

namespace kmdf_host {

// ---------------------------------------------------------------------------------------------------
// Descriptors

std::vector<uint8_t> UsbDeviceConfig::ConfigurationDescriptorBytes() const {
  std::vector<uint8_t> bytes;
  auto append = [&bytes](const void* record, size_t size) {
    const auto* p = static_cast<const uint8_t*>(record);
    bytes.insert(bytes.end(), p, p + size);
  };

  USB_CONFIGURATION_DESCRIPTOR config{};
  config.bLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
  config.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
  UCHAR numInterfaces = 0;
  for (size_t i = 0; i < interfaces.size(); ++i) {
    bool seen = false;
    for (size_t j = 0; j < i; ++j) seen = seen || interfaces[j].number == interfaces[i].number;
    if (!seen) ++numInterfaces;
  }
  config.bNumInterfaces = numInterfaces;
  config.bConfigurationValue = configurationValue;
  config.iConfiguration = 0;
  config.bmAttributes = configurationAttributes;
  config.MaxPower = maxPower;
  append(&config, sizeof(config));

  for (const auto& itf : interfaces) {
    USB_INTERFACE_DESCRIPTOR desc{};
    desc.bLength = sizeof(USB_INTERFACE_DESCRIPTOR);
    desc.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
    desc.bInterfaceNumber = itf.number;
    desc.bAlternateSetting = itf.alternateSetting;
    desc.bNumEndpoints = static_cast<UCHAR>(itf.endpoints.size());
    desc.bInterfaceClass = itf.interfaceClass;
    desc.bInterfaceSubClass = itf.interfaceSubClass;
    desc.bInterfaceProtocol = itf.interfaceProtocol;
    append(&desc, sizeof(desc));
    for (const auto& ep : itf.endpoints) {
      USB_ENDPOINT_DESCRIPTOR e{};
      e.bLength = sizeof(USB_ENDPOINT_DESCRIPTOR);
      e.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
      e.bEndpointAddress = ep.address;
      e.bmAttributes = ep.type;
      e.wMaxPacketSize = ep.maxPacketSize;
      e.bInterval = ep.interval;
      append(&e, sizeof(e));
    }
  }
  const auto total = static_cast<USHORT>(bytes.size());
  std::memcpy(bytes.data() + offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength), &total, sizeof(total));
  return bytes;
}

const UsbEndpointConfig* UsbDeviceConfig::FindEndpoint(UCHAR address) const {
  for (const auto& itf : interfaces)
    for (const auto& ep : itf.endpoints)
      if (ep.address == address) return &ep;
  return nullptr;
}

std::optional<UCHAR> UsbDeviceConfig::FirstBulkEndpoint(bool in) const {
  for (const auto& itf : interfaces)
    for (const auto& ep : itf.endpoints)
      if (ep.type == USB_ENDPOINT_TYPE_BULK && ep.IsIn() == in) return ep.address;
  return std::nullopt;
}

UsbDescriptorBuilder::UsbDescriptorBuilder() {
  auto& d = config_.device;
  d.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
  d.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
  d.bcdUSB = 0x0200;
  d.bDeviceClass = USB_DEVICE_CLASS_RESERVED;
  d.bMaxPacketSize0 = 64;
  d.idVendor = 0x3759;
  d.idProduct = 0x0001;
  d.bcdDevice = 0x0100;
  d.bNumConfigurations = 1;
}

UsbDescriptorBuilder& UsbDescriptorBuilder::Vendor(USHORT vendorId) {
  config_.device.idVendor = vendorId;
  return *this;
}

UsbDescriptorBuilder& UsbDescriptorBuilder::Product(USHORT productId) {
  config_.device.idProduct = productId;
  return *this;
}

UsbDescriptorBuilder& UsbDescriptorBuilder::DeviceRelease(USHORT bcdDevice) {
  config_.device.bcdDevice = bcdDevice;
  return *this;
}

UsbDescriptorBuilder& UsbDescriptorBuilder::DeviceClass(UCHAR cls, UCHAR subClass, UCHAR protocol) {
  config_.device.bDeviceClass = cls;
  config_.device.bDeviceSubClass = subClass;
  config_.device.bDeviceProtocol = protocol;
  return *this;
}

UsbDescriptorBuilder& UsbDescriptorBuilder::Interface(UCHAR number, UCHAR cls, UCHAR subClass, UCHAR protocol,
                                                      UCHAR alternateSetting) {
  UsbInterfaceConfig itf;
  itf.number = number;
  itf.alternateSetting = alternateSetting;
  itf.interfaceClass = cls;
  itf.interfaceSubClass = subClass;
  itf.interfaceProtocol = protocol;
  config_.interfaces.push_back(std::move(itf));
  return *this;
}

UsbDescriptorBuilder& UsbDescriptorBuilder::BulkIn(UCHAR address, USHORT maxPacketSize) {
  return Endpoint(static_cast<UCHAR>(address | USB_ENDPOINT_DIRECTION_MASK), USB_ENDPOINT_TYPE_BULK, maxPacketSize);
}

UsbDescriptorBuilder& UsbDescriptorBuilder::BulkOut(UCHAR address, USHORT maxPacketSize) {
  return Endpoint(static_cast<UCHAR>(address & ~USB_ENDPOINT_DIRECTION_MASK), USB_ENDPOINT_TYPE_BULK, maxPacketSize);
}

UsbDescriptorBuilder& UsbDescriptorBuilder::InterruptIn(UCHAR address, USHORT maxPacketSize, UCHAR interval) {
  return Endpoint(static_cast<UCHAR>(address | USB_ENDPOINT_DIRECTION_MASK), USB_ENDPOINT_TYPE_INTERRUPT, maxPacketSize,
                  interval);
}

UsbDescriptorBuilder& UsbDescriptorBuilder::Endpoint(UCHAR address, UCHAR type, USHORT maxPacketSize, UCHAR interval) {
  UsbEndpointConfig ep;
  ep.address = address;
  ep.type = type;
  ep.maxPacketSize = maxPacketSize;
  ep.interval = interval;
  CurrentInterface().endpoints.push_back(ep);
  return *this;
}

UsbInterfaceConfig& UsbDescriptorBuilder::CurrentInterface() {
  if (config_.interfaces.empty()) Interface(0);
  return config_.interfaces.back();
}

UsbDeviceConfig UsbDescriptorBuilder::Build() const { return config_; }

// ---------------------------------------------------------------------------------------------------
// Transfers

std::array<uint8_t, 8> UsbSetupPacket::ToBytes() const {
  return {bmRequestType,
          bRequest,
          static_cast<uint8_t>(wValue & 0xFF),
          static_cast<uint8_t>(wValue >> 8),
          static_cast<uint8_t>(wIndex & 0xFF),
          static_cast<uint8_t>(wIndex >> 8),
          static_cast<uint8_t>(wLength & 0xFF),
          static_cast<uint8_t>(wLength >> 8)};
}

UsbSetupPacket UsbSetupPacket::FromBytes(const uint8_t bytes[8]) {
  UsbSetupPacket p;
  p.bmRequestType = bytes[0];
  p.bRequest = bytes[1];
  p.wValue = static_cast<USHORT>(bytes[2] | (bytes[3] << 8));
  p.wIndex = static_cast<USHORT>(bytes[4] | (bytes[5] << 8));
  p.wLength = static_cast<USHORT>(bytes[6] | (bytes[7] << 8));
  return p;
}

UsbFault UsbFault::TransferError(size_t bytesMoved) {
  return UsbFault{STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR, bytesMoved};
}

UsbFault UsbFault::Stall() { return UsbFault{STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0}; }

UsbFault UsbFault::DeviceGone() { return UsbFault{STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0}; }

namespace {
UsbFault HaltedFault() { return UsbFault{STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, 0}; }
}  // namespace

std::shared_ptr<UsbTransfer> UsbTransfer::MakeIn(UCHAR endpoint, std::span<uint8_t> buffer, CompletionFn done) {
  std::shared_ptr<UsbTransfer> t(new UsbTransfer());
  t->kind_ = UsbTransferKind::In;
  t->endpoint_ = endpoint;
  t->inBuffer_ = buffer;
  t->done_ = std::move(done);
  return t;
}

std::shared_ptr<UsbTransfer> UsbTransfer::MakeOut(UCHAR endpoint, std::span<const uint8_t> data, CompletionFn done) {
  std::shared_ptr<UsbTransfer> t(new UsbTransfer());
  t->kind_ = UsbTransferKind::Out;
  t->endpoint_ = endpoint;
  t->outData_.assign(data.begin(), data.end());
  t->done_ = std::move(done);
  return t;
}

std::shared_ptr<UsbTransfer> UsbTransfer::MakeControl(const UsbSetupPacket& setup, std::span<uint8_t> buffer,
                                                      CompletionFn done) {
  std::shared_ptr<UsbTransfer> t(new UsbTransfer());
  t->kind_ = UsbTransferKind::Control;
  t->endpoint_ = 0;
  t->setup_ = setup;
  if (setup.IsDeviceToHost())
    t->inBuffer_ = buffer;
  else
    t->outData_.assign(buffer.begin(), buffer.end());
  t->done_ = std::move(done);
  return t;
}

bool UsbTransfer::Finish(const UsbTransferResult& result) {
  if (!pending_) return false;
  pending_ = false;
  inBuffer_ = {};
  CompletionFn done = std::move(done_);
  done_ = nullptr;
  if (done) done(result);
  return true;
}

bool UsbTransfer::CompleteIn(std::span<const uint8_t> data) {
  if (!pending_) return false;
  const size_t n = std::min(data.size(), inBuffer_.size());
  if (n != 0) std::memcpy(inBuffer_.data(), data.data(), n);
  return Finish(UsbTransferResult{STATUS_SUCCESS, USBD_STATUS_SUCCESS, n});
}

bool UsbTransfer::CompleteOut(std::optional<size_t> bytes) {
  if (!pending_) return false;
  const size_t n = std::min(bytes.value_or(outData_.size()), outData_.size());
  return Finish(UsbTransferResult{STATUS_SUCCESS, USBD_STATUS_SUCCESS, n});
}

bool UsbTransfer::CompleteControl(std::span<const uint8_t> inData) {
  if (!pending_) return false;
  if (setup_.IsDeviceToHost()) {
    const size_t room = std::min<size_t>(inBuffer_.size(), setup_.wLength);
    const size_t n = std::min(inData.size(), room);
    if (n != 0) std::memcpy(inBuffer_.data(), inData.data(), n);
    return Finish(UsbTransferResult{STATUS_SUCCESS, USBD_STATUS_SUCCESS, n});
  }
  return Finish(UsbTransferResult{STATUS_SUCCESS, USBD_STATUS_SUCCESS, outData_.size()});
}

bool UsbTransfer::Fail(const UsbFault& fault, std::span<const uint8_t> partial) {
  if (!pending_) return false;
  size_t n = 0;
  if (kind_ == UsbTransferKind::Out) {
    n = std::min(fault.bytes, outData_.size());
  } else if (!inBuffer_.empty()) {
    n = std::min({fault.bytes, partial.size(), inBuffer_.size()});
    if (n != 0) std::memcpy(inBuffer_.data(), partial.data(), n);
  }
  return Finish(UsbTransferResult{fault.status, fault.usbdStatus, n});
}

bool UsbTransfer::Cancel(NTSTATUS status) { return Finish(UsbTransferResult{status, USBD_STATUS_CANCELED, 0}); }

// ---------------------------------------------------------------------------------------------------
// Device model

UsbControlAnswer UsbControlAnswer::Ack(std::vector<uint8_t> data, ULONG delayMs) {
  UsbControlAnswer a;
  a.kind = Kind::Ack;
  a.data = std::move(data);
  a.delayMs = delayMs;
  return a;
}

UsbControlAnswer UsbControlAnswer::Stall(ULONG delayMs) {
  UsbControlAnswer a;
  a.kind = Kind::Stall;
  a.delayMs = delayMs;
  return a;
}

UsbControlAnswer UsbControlAnswer::NoAnswer() {
  UsbControlAnswer a;
  a.kind = Kind::NoAnswer;
  return a;
}

UsbControlAnswer UsbControlAnswer::Failure(const UsbFault& fault, ULONG delayMs) {
  UsbControlAnswer a;
  a.kind = Kind::Fail;
  a.fault = fault;
  a.delayMs = delayMs;
  return a;
}

UsbDeviceModel::UsbDeviceModel(UsbDeviceConfig config)
    : config_(std::move(config)), alive_(std::make_shared<bool>(true)) {}

UsbDeviceModel::~UsbDeviceModel() { *alive_ = false; }

LONGLONG UsbDeviceModel::Now() const { return static_cast<LONGLONG>(CurrentScheduler().Now()); }

void UsbDeviceModel::After(ULONG delayMs, std::function<void()> work) {
  std::weak_ptr<bool> alive = alive_;
  auto guarded = [alive, work = std::move(work)] {
    auto flag = alive.lock();
    if (flag && *flag) work();
  };
  if (delayMs == 0) {
    CurrentScheduler().Post(std::move(guarded));
  } else {
    CurrentScheduler().PostAt(CurrentScheduler().Now() + static_cast<LONGLONG>(delayMs) * 10'000, std::move(guarded));
  }
}

UCHAR UsbDeviceModel::DefaultInEndpoint() const {
  return config_.FirstBulkEndpoint(true).value_or(static_cast<UCHAR>(0x81));
}

UsbDeviceModel::InEndpoint& UsbDeviceModel::InState(UCHAR endpoint) {
  for (auto& [address, state] : in_)
    if (address == endpoint) return state;
  in_.emplace_back(endpoint, InEndpoint{});
  return in_.back().second;
}

bool UsbDeviceModel::Halted(UCHAR endpoint) const {
  return std::find(halted_.begin(), halted_.end(), endpoint) != halted_.end();
}

void UsbDeviceModel::Submit(const UsbTransferPtr& transfer) {
  if (!transfer || !transfer->Pending()) return;
  Prune();
  if (gone_) {
    (void)transfer->Fail(UsbFault::DeviceGone());
    return;
  }
  switch (transfer->Kind()) {
    case UsbTransferKind::Control: {
      std::vector<uint8_t> data(transfer->OutData().begin(), transfer->OutData().end());
      controlLog_.push_back(ControlRecord{transfer->Setup(), std::move(data), Now()});
      OnControl(transfer);
      return;
    }
    case UsbTransferKind::Out: {
      const UCHAR ep = transfer->Endpoint();
      if (Halted(ep)) {
        (void)transfer->Fail(HaltedFault());
        return;
      }
      if (nextOutFault_) {
        const UsbFault fault = *nextOutFault_;
        nextOutFault_.reset();
        const auto data = transfer->OutData();
        const size_t kept = std::min(fault.bytes, data.size());
        std::vector<uint8_t> bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(kept));
        if (fault.usbdStatus == USBD_STATUS_STALL_PID) halted_.push_back(ep);
        outLog_.push_back(OutRecord{ep, bytes, Now()});
        (void)transfer->Fail(fault);
        if (kept != 0) OnDataReceived(ep, bytes);
        return;
      }
      OnOut(transfer);
      return;
    }
    case UsbTransferKind::In: {
      if (Halted(transfer->Endpoint())) {
        (void)transfer->Fail(HaltedFault());
        return;
      }
      OnIn(transfer);
      return;
    }
  }
}

void UsbDeviceModel::OnOut(const UsbTransferPtr& transfer) {
  if (outNoAnswer_) {
    // The device keeps NAKing: it takes nothing and the transfer waits until it is cancelled.
    outPending_.push_back(transfer);
    return;
  }
  auto accept = [this](const UsbTransferPtr& t) {
    if (!t->Pending()) return;
    const UCHAR ep = t->Endpoint();
    std::vector<uint8_t> data(t->OutData().begin(), t->OutData().end());
    outLog_.push_back(OutRecord{ep, data, Now()});
    (void)t->CompleteOut();
    OnDataReceived(ep, data);
  };
  if (outLatencyMs_ == 0) {
    accept(transfer);
    return;
  }
  outPending_.push_back(transfer);
  After(outLatencyMs_, [this, accept, transfer] {
    accept(transfer);
    Prune();
  });
}

void UsbDeviceModel::OnDataReceived(UCHAR, std::span<const uint8_t>) {}

void UsbDeviceModel::OnIn(const UsbTransferPtr& transfer) {
  InState(transfer->Endpoint()).reads.push_back(transfer);
  ServeIn(transfer->Endpoint());
}

void UsbDeviceModel::ServeIn(UCHAR endpoint) {
  InEndpoint& state = InState(endpoint);
  for (;;) {
    while (!state.reads.empty() && !state.reads.front()->Pending()) state.reads.pop_front();
    if (state.reads.empty() || state.items.empty() || gone_ || Halted(endpoint)) return;
    UsbTransferPtr read = state.reads.front();
    state.reads.pop_front();
    InItem& item = state.items.front();
    if (item.fault) {
      const UsbFault fault = *item.fault;
      state.items.pop_front();
      if (fault.usbdStatus == USBD_STATUS_STALL_PID) halted_.push_back(endpoint);
      (void)read->Fail(fault);
      continue;
    }
    const size_t remaining = item.data.size() - item.offset;
    const size_t n = std::min(remaining, read->InCapacity());
    std::vector<uint8_t> chunk(item.data.begin() + static_cast<std::ptrdiff_t>(item.offset),
                               item.data.begin() + static_cast<std::ptrdiff_t>(item.offset + n));
    item.offset += n;
    if (item.offset == item.data.size()) state.items.pop_front();
    (void)read->CompleteIn(chunk);
  }
}

void UsbDeviceModel::PushIn(std::span<const uint8_t> data, std::optional<UCHAR> endpoint) {
  if (gone_) return;
  const UCHAR ep = endpoint.value_or(DefaultInEndpoint());
  InState(ep).items.push_back(InItem{std::vector<uint8_t>(data.begin(), data.end()), 0, std::nullopt});
  ServeIn(ep);
}

void UsbDeviceModel::PushIn(const std::string& text, std::optional<UCHAR> endpoint) {
  PushIn(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()), endpoint);
}

void UsbDeviceModel::PushInAt(LONGLONG due, std::vector<uint8_t> data, std::optional<UCHAR> endpoint) {
  std::weak_ptr<bool> alive = alive_;
  CurrentScheduler().PostAt(due, [this, alive, data = std::move(data), endpoint] {
    auto flag = alive.lock();
    if (flag && *flag) PushIn(data, endpoint);
  });
}

void UsbDeviceModel::PushInAfter(ULONG delayMs, std::vector<uint8_t> data, std::optional<UCHAR> endpoint) {
  PushInAt(Now() + static_cast<LONGLONG>(delayMs) * 10'000, std::move(data), endpoint);
}

void UsbDeviceModel::PushInFault(const UsbFault& fault, std::optional<UCHAR> endpoint) {
  if (gone_) return;
  const UCHAR ep = endpoint.value_or(DefaultInEndpoint());
  InState(ep).items.push_back(InItem{{}, 0, fault});
  ServeIn(ep);
}

void UsbDeviceModel::Unplug() {
  if (gone_) return;
  gone_ = true;
  std::vector<UsbTransferPtr> pending;
  for (auto& [address, state] : in_) {
    pending.insert(pending.end(), state.reads.begin(), state.reads.end());
    state.reads.clear();
    state.items.clear();
  }
  pending.insert(pending.end(), outPending_.begin(), outPending_.end());
  pending.insert(pending.end(), controlPending_.begin(), controlPending_.end());
  outPending_.clear();
  controlPending_.clear();
  for (auto& t : pending) (void)t->Fail(UsbFault::DeviceGone());
}

void UsbDeviceModel::FailNextOut(const UsbFault& fault) { nextOutFault_ = fault; }

void UsbDeviceModel::ResetEndpoint(UCHAR endpoint) {
  halted_.erase(std::remove(halted_.begin(), halted_.end(), endpoint), halted_.end());
  if (endpoint & USB_ENDPOINT_DIRECTION_MASK) ServeIn(endpoint);
}

void UsbDeviceModel::SetConfiguration(UCHAR value) { configuration_ = value; }

void UsbDeviceModel::SetControlAnswer(UsbControlAnswer answer) {
  controlHandler_ = [this, answer](const UsbSetupPacket& setup, std::span<const uint8_t>) {
    if (auto standard = StandardAnswer(setup)) return *standard;
    return answer;
  };
}

std::optional<UsbControlAnswer> UsbDeviceModel::StandardAnswer(const UsbSetupPacket& setup) const {
  if (setup.Type() != BMREQUEST_STANDARD) return std::nullopt;
  if (setup.IsDeviceToHost()) {
    switch (setup.bRequest) {
      case USB_REQUEST_GET_DESCRIPTOR: {
        const UCHAR type = static_cast<UCHAR>(setup.wValue >> 8);
        if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
          const auto* p = reinterpret_cast<const uint8_t*>(&config_.device);
          return UsbControlAnswer::Ack(std::vector<uint8_t>(p, p + sizeof(USB_DEVICE_DESCRIPTOR)));
        }
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
          return UsbControlAnswer::Ack(config_.ConfigurationDescriptorBytes());
        return UsbControlAnswer::Stall();
      }
      case USB_REQUEST_GET_STATUS:
        return UsbControlAnswer::Ack({0, 0});
      case USB_REQUEST_GET_CONFIGURATION:
        return UsbControlAnswer::Ack({configuration_});
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

void UsbDeviceModel::OnControl(const UsbTransferPtr& transfer) {
  const auto& setup = transfer->Setup();
  UsbControlAnswer answer;
  if (controlHandler_) {
    answer = controlHandler_(setup, transfer->OutData());
  } else if (auto standard = StandardAnswer(setup)) {
    answer = *standard;
  } else {
    answer = UsbControlAnswer::Ack();
  }
  Answer(transfer, answer);
}

void UsbDeviceModel::Answer(const UsbTransferPtr& transfer, const UsbControlAnswer& answer) {
  auto apply = [](const UsbTransferPtr& t, const UsbControlAnswer& a) {
    switch (a.kind) {
      case UsbControlAnswer::Kind::Ack:
        (void)t->CompleteControl(a.data);
        break;
      case UsbControlAnswer::Kind::Stall:
        (void)t->Fail(UsbFault::Stall());
        break;
      case UsbControlAnswer::Kind::Fail:
        (void)t->Fail(a.fault);
        break;
      case UsbControlAnswer::Kind::NoAnswer:
        break;
    }
  };
  if (answer.kind == UsbControlAnswer::Kind::NoAnswer) {
    controlPending_.push_back(transfer);
    return;
  }
  if (answer.delayMs == 0) {
    apply(transfer, answer);
    return;
  }
  controlPending_.push_back(transfer);
  After(answer.delayMs, [this, apply, transfer, answer] {
    if (transfer->Pending()) apply(transfer, answer);
    Prune();
  });
}

void UsbDeviceModel::Prune() {
  auto dead = [](const UsbTransferPtr& t) { return !t->Pending(); };
  outPending_.erase(std::remove_if(outPending_.begin(), outPending_.end(), dead), outPending_.end());
  controlPending_.erase(std::remove_if(controlPending_.begin(), controlPending_.end(), dead), controlPending_.end());
  for (auto& [address, state] : in_)
    state.reads.erase(std::remove_if(state.reads.begin(), state.reads.end(), dead), state.reads.end());
}

std::vector<uint8_t> UsbDeviceModel::ReceivedBytes() const {
  std::vector<uint8_t> all;
  for (const auto& r : outLog_) all.insert(all.end(), r.data.begin(), r.data.end());
  return all;
}

std::string UsbDeviceModel::ReceivedText() const {
  const auto bytes = ReceivedBytes();
  return std::string(bytes.begin(), bytes.end());
}

size_t UsbDeviceModel::ZeroLengthPackets() const {
  return static_cast<size_t>(
      std::count_if(outLog_.begin(), outLog_.end(), [](const OutRecord& r) { return r.data.empty(); }));
}

size_t UsbDeviceModel::PendingInTransfers() const {
  size_t n = 0;
  for (const auto& [address, state] : in_)
    n += static_cast<size_t>(
        std::count_if(state.reads.begin(), state.reads.end(), [](const UsbTransferPtr& t) { return t->Pending(); }));
  return n;
}

size_t UsbDeviceModel::PendingOutTransfers() const {
  return static_cast<size_t>(
      std::count_if(outPending_.begin(), outPending_.end(), [](const UsbTransferPtr& t) { return t->Pending(); }));
}

size_t UsbDeviceModel::PendingControlTransfers() const {
  return static_cast<size_t>(std::count_if(controlPending_.begin(), controlPending_.end(),
                                           [](const UsbTransferPtr& t) { return t->Pending(); }));
}

size_t UsbDeviceModel::QueuedInChunks() const {
  size_t n = 0;
  for (const auto& [address, state] : in_) n += state.items.size();
  return n;
}

void UsbDeviceModel::ClearLogs() {
  outLog_.clear();
  controlLog_.clear();
}

}  // namespace kmdf_host
