// The USB device target: creation over the device's simulated USB device, descriptors, configuration
// selection, interfaces, and control transfers (synchronous, and formatted requests sent on the target).
//
// The WdfUsbTargetDevice* calls that wait (selection is immediate here; control transfers are not) run
// at PASSIVE_LEVEL without a lock; misuse is reported to the verifier.
#include <algorithm>
#include <cstring>

#include "exec.h"
#include "system.h"
#include "usb_target.h"

namespace kmdf {

bool UsbCheckPassive(const char* call) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WrongLevel, std::string(call) + " called above PASSIVE_LEVEL");
    return false;
  }
  return true;
}

void UsbReportInvalid(const char* call, const std::string& what) {
  kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall, std::string(call) + ": " + what);
}

bool UsbDescriptorBuffer(const WDF_MEMORY_DESCRIPTOR* descriptor, std::uint8_t** buffer, size_t* length,
                         const char* call) {
  *buffer = nullptr;
  *length = 0;
  if (descriptor == nullptr) return true;
  switch (descriptor->Type) {
    case WdfMemoryDescriptorTypeBuffer:
      if (descriptor->u.BufferType.Buffer == nullptr && descriptor->u.BufferType.Length != 0) return false;
      *buffer = static_cast<std::uint8_t*>(descriptor->u.BufferType.Buffer);
      *length = descriptor->u.BufferType.Length;
      return true;
    case WdfMemoryDescriptorTypeHandle: {
      FxMemory* memory = LookupMemory(descriptor->u.HandleType.Memory, call);
      if (memory == nullptr) return false;
      size_t offset = 0;
      size_t size = memory->size;
      if (const WDFMEMORY_OFFSET* o = descriptor->u.HandleType.Offsets) {
        if (o->BufferOffset > memory->size) return false;
        offset = o->BufferOffset;
        size = o->BufferLength != 0 ? o->BufferLength : memory->size - offset;
        if (size > memory->size - offset) return false;
      }
      *buffer = memory->buffer + offset;
      *length = size;
      return true;
    }
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------------------------------
// Objects

FxUsbDevice* LookupUsbDevice(WDFUSBDEVICE handle, const char* call) {
  return LookupAs<FxUsbDevice>(handle, ObjectType::UsbDevice, call);
}

FxUsbInterface* LookupUsbInterface(WDFUSBINTERFACE handle, const char* call) {
  return LookupAs<FxUsbInterface>(handle, ObjectType::UsbInterface, call);
}

FxUsbDevice::FxUsbDevice(FxDevice* device, std::shared_ptr<kmdf_host::UsbDeviceModel> model)
    : FxIoTarget(ObjectType::UsbDevice, device, device), model_(std::move(model)) {}

void FxUsbDevice::OnDelete() {
  interfaces.clear();  // children, deleted with this object
  FxIoTarget::OnDelete();
}

NTSTATUS FxUsbDevice::Deliver(FxRequest* request) { return DeliverUsbTransfer(this, *model_, request); }

void FxUsbDevice::CancelDelivered(FxRequest* request) { CancelUsbTransfer(request); }

FxUsbInterface::FxUsbInterface(FxUsbDevice* device, UCHAR interfaceNumber)
    : FxObject(ObjectType::UsbInterface, device), usbDevice(device), number(interfaceNumber) {}

void FxUsbInterface::DropPipes() {
  std::vector<FxUsbPipe*> old;
  old.swap(pipes);
  for (FxUsbPipe* pipe : old) pipe->Delete();
}

NTSTATUS FxUsbInterface::Configure(UCHAR settingIndex, const WDF_OBJECT_ATTRIBUTES* pipeAttributes) {
  if (settingIndex >= settings.size()) return STATUS_INVALID_PARAMETER;
  DropPipes();
  configuredSetting = settingIndex;
  for (const auto& endpoint : settings[settingIndex].endpoints) {
    NTSTATUS status = STATUS_SUCCESS;
    FxUsbPipe* pipe = CreateObject<FxUsbPipe>(pipeAttributes, &status, this, endpoint, settingIndex);
    if (pipe == nullptr) {
      DropPipes();
      return status;
    }
    pipes.push_back(pipe);
  }
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------------
// Transfers shared by the device target and the pipes

NTSTATUS DeliverUsbTransfer(FxIoTarget* target, kmdf_host::UsbDeviceModel& model, FxRequest* request) {
  auto format = std::dynamic_pointer_cast<UsbRequestFormat>(request->format);
  if (!format) return STATUS_INVALID_DEVICE_REQUEST;

  std::span<const std::uint8_t> outData;
  if (format->kind != kmdf_host::UsbTransferKind::In && format->memory != nullptr) {
    FxMemory* memory = LookupMemory(format->memory, "WdfRequestSend");
    if (memory == nullptr) return STATUS_INVALID_PARAMETER;
    outData = std::span<const std::uint8_t>(memory->buffer + format->offset, format->length);
  }

  const WDFOBJECT targetHandle = target->Handle();
  const WDFOBJECT requestHandle = request->Handle();
  std::weak_ptr<UsbRequestFormat> weakFormat = format;
  // The model may end a transfer at any time, even inside Submit (inside WdfRequestSend) or inside a
  // cancellation; CompleteSent only posts the completion, so calling it from here is safe.
  auto done = [targetHandle, requestHandle, weakFormat](const kmdf_host::UsbTransferResult& result) {
    auto format = weakFormat.lock();
    auto* target = dynamic_cast<FxIoTarget*>(ObjectTable::Find(targetHandle));
    auto* request = dynamic_cast<FxRequest*>(ObjectTable::Find(requestHandle));
    if (!format || target == nullptr || request == nullptr || request->format != format) return;
    size_t bytes = result.bytes;
    if (format->kind == kmdf_host::UsbTransferKind::In ||
        (format->kind == kmdf_host::UsbTransferKind::Control && format->setup.IsDeviceToHost())) {
      bytes = std::min(bytes, format->data.size());
      auto* memory = format->memory ? dynamic_cast<FxMemory*>(ObjectTable::Find(format->memory)) : nullptr;
      if (memory != nullptr && bytes != 0 && format->offset + bytes <= memory->size)
        std::memcpy(memory->buffer + format->offset, format->data.data(), bytes);
    }
    format->usb.UsbdStatus = result.usbdStatus;
    switch (format->usb.Type) {
      case WdfUsbRequestTypePipeRead:
        format->usb.Parameters.PipeRead.Length = bytes;
        break;
      case WdfUsbRequestTypePipeWrite:
        format->usb.Parameters.PipeWrite.Length = bytes;
        break;
      case WdfUsbRequestTypeDeviceControlTransfer:
        format->usb.Parameters.DeviceControlTransfer.Length = static_cast<ULONG>(bytes);
        break;
      default:
        break;
    }
    request->completionParams.Parameters.Usb.Completion = &format->usb;
    target->CompleteSent(request, result.status, bytes);
  };

  kmdf_host::UsbTransferPtr transfer;
  switch (format->kind) {
    case kmdf_host::UsbTransferKind::In:
      format->data.assign(format->length, 0);
      transfer = kmdf_host::UsbTransfer::MakeIn(format->endpoint, format->data, std::move(done));
      break;
    case kmdf_host::UsbTransferKind::Out:
      transfer = kmdf_host::UsbTransfer::MakeOut(format->endpoint, outData, std::move(done));
      break;
    case kmdf_host::UsbTransferKind::Control:
      if (format->setup.IsDeviceToHost()) {
        format->data.assign(format->length, 0);
        transfer = kmdf_host::UsbTransfer::MakeControl(format->setup, format->data, std::move(done));
      } else {
        std::vector<std::uint8_t> copy(outData.begin(), outData.end());
        transfer = kmdf_host::UsbTransfer::MakeControl(format->setup, copy, std::move(done));
      }
      break;
  }
  format->transfer = transfer;
  model.Submit(transfer);
  return STATUS_SUCCESS;
}

void CancelUsbTransfer(FxRequest* request) {
  auto format = std::dynamic_pointer_cast<UsbRequestFormat>(request->format);
  if (format && format->transfer) {
    // Ends the transfer (if the device has not ended it already); its completion follows through
    // the usual path.
    (void)format->transfer->Cancel(STATUS_CANCELLED);
    return;
  }
  // Nothing at the device (already ended): its completion is on the way.
}

NTSTATUS RunUsbTransferSynchronously(kmdf_host::UsbDeviceModel& model, kmdf_host::UsbTransferKind kind, UCHAR endpoint,
                                     const kmdf_host::UsbSetupPacket& setup, std::uint8_t* buffer, size_t length,
                                     const WDF_REQUEST_SEND_OPTIONS* options, size_t* bytes, const char* call) {
  *bytes = 0;
  LONGLONG deadline = 0;
  if (options != nullptr && (options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 && options->Timeout != 0) {
    deadline = options->Timeout < 0 ? Sched().Now() - options->Timeout : options->Timeout;
  }

  struct State {
    bool done = false;
    kmdf_host::UsbTransferResult result;
    std::vector<std::uint8_t> data;
  };
  auto state = std::make_shared<State>();
  auto done = [state](const kmdf_host::UsbTransferResult& r) {
    state->done = true;
    state->result = r;
  };
  kmdf_host::UsbTransferPtr transfer;
  const bool in =
      kind == kmdf_host::UsbTransferKind::In || (kind == kmdf_host::UsbTransferKind::Control && setup.IsDeviceToHost());
  if (in) state->data.assign(length, 0);
  switch (kind) {
    case kmdf_host::UsbTransferKind::In:
      transfer = kmdf_host::UsbTransfer::MakeIn(endpoint, state->data, done);
      break;
    case kmdf_host::UsbTransferKind::Out:
      transfer = kmdf_host::UsbTransfer::MakeOut(endpoint, std::span<const std::uint8_t>(buffer, length), done);
      break;
    case kmdf_host::UsbTransferKind::Control:
      if (in) {
        transfer = kmdf_host::UsbTransfer::MakeControl(setup, state->data, done);
      } else {
        std::vector<std::uint8_t> copy(buffer, buffer + length);
        transfer = kmdf_host::UsbTransfer::MakeControl(setup, copy, done);
      }
      break;
  }
  model.Submit(transfer);

  if (!state->done) {
    const bool ended = WaitUntil([state] { return state->done; }, deadline, call);
    if (!ended) {
      // The time-out passed (or nothing could ever end the transfer, which the wait reported).
      (void)transfer->Cancel(deadline != 0 ? STATUS_IO_TIMEOUT : STATUS_CANCELLED);
    }
  }
  const auto& result = state->result;
  size_t moved = result.bytes;
  if (in) {
    moved = std::min(moved, length);
    if (moved != 0) std::memcpy(buffer, state->data.data(), moved);
  }
  *bytes = moved;
  return result.status;
}

}  // namespace kmdf

using namespace kmdf;

// ---------------------------------------------------------------------------------------------------
// USB device target

NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice) {
  const char* call = "WdfUsbTargetDeviceCreate";
  if (UsbDevice == nullptr) {
    UsbReportInvalid(call, "no output handle");
    return STATUS_INVALID_PARAMETER;
  }
  *UsbDevice = nullptr;
  FxDevice* device = LookupDevice(Device, call);
  if (device == nullptr) return STATUS_INVALID_HANDLE;
  if (!UsbCheckPassive(call)) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;
  if (!device->usbModel) return STATUS_NOT_SUPPORTED;  // no USB device behind this device

  FxUsbDevice* target = CreateObject<FxUsbDevice>(Attributes, &status, device, device->usbModel);
  if (target == nullptr) return status;

  // One interface object per interface number, with all its settings.
  for (const auto& config : target->Config().interfaces) {
    FxUsbInterface* itf = nullptr;
    for (FxUsbInterface* existing : target->interfaces)
      if (existing->number == config.number) itf = existing;
    if (itf == nullptr) {
      itf = CreateObject<FxUsbInterface>(nullptr, &status, target, config.number);
      if (itf == nullptr) {
        target->Delete();
        return status;
      }
      target->interfaces.push_back(itf);
    }
    itf->settings.push_back(config);
  }
  *UsbDevice = target->HandleAs<WDFUSBDEVICE>();
  return STATUS_SUCCESS;
}

void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor) {
  const char* call = "WdfUsbTargetDeviceGetDeviceDescriptor";
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, call);
  if (UsbDeviceDescriptor == nullptr) {
    UsbReportInvalid(call, "no descriptor buffer");
    return;
  }
  if (target == nullptr) {
    std::memset(UsbDeviceDescriptor, 0, sizeof(USB_DEVICE_DESCRIPTOR));
    return;
  }
  *UsbDeviceDescriptor = target->Config().device;
}

NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength) {
  const char* call = "WdfUsbTargetDeviceRetrieveConfigDescriptor";
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, call);
  if (target == nullptr) return STATUS_INVALID_HANDLE;
  if (ConfigDescriptorLength == nullptr) {
    UsbReportInvalid(call, "no length");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;
  const auto bytes = target->Config().ConfigurationDescriptorBytes();
  const auto size = static_cast<USHORT>(bytes.size());
  if (ConfigDescriptor == nullptr || *ConfigDescriptorLength < size) {
    *ConfigDescriptorLength = size;
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(ConfigDescriptor, bytes.data(), size);
  *ConfigDescriptorLength = size;
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice, PWDF_USB_DEVICE_INFORMATION Information) {
  const char* call = "WdfUsbTargetDeviceRetrieveInformation";
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, call);
  if (target == nullptr) return STATUS_INVALID_HANDLE;
  if (Information == nullptr || Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
    UsbReportInvalid(call, "information record without its size");
    return STATUS_INVALID_PARAMETER;
  }
  Information->UsbdVersionInformation.USBDI_Version = 0x600;
  Information->UsbdVersionInformation.Supported_USB_Version = target->Config().device.bcdUSB;
  Information->HcdPortCapabilities = 0;
  Information->Traits = WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED;
  if (target->Config().configurationAttributes & USB_CONFIG_SELF_POWERED)
    Information->Traits |= WDF_USB_DEVICE_TRAIT_SELF_POWERED;
  if (target->Config().configurationAttributes & USB_CONFIG_REMOTE_WAKEUP)
    Information->Traits |= WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE;
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
  const char* call = "WdfUsbTargetDeviceSelectConfig";
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, call);
  if (target == nullptr) return STATUS_INVALID_HANDLE;
  if (!UsbCheckPassive(call)) return STATUS_INVALID_DEVICE_STATE;
  if (Params == nullptr || Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS)) {
    UsbReportInvalid(call, "parameters not initialised");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;
  if (target->Model()->Gone()) return STATUS_DEVICE_NOT_CONNECTED;

  auto& model = *target->Model();
  switch (Params->Type) {
    case WdfUsbTargetDeviceSelectConfigTypeDeconfig:
      for (FxUsbInterface* itf : target->interfaces) itf->DropPipes();
      target->configured = false;
      model.SetConfiguration(0);
      return STATUS_SUCCESS;

    case WdfUsbTargetDeviceSelectConfigTypeSingleInterface: {
      // Only a configuration with exactly one interface can be selected this way.
      if (target->interfaces.size() != 1) return STATUS_INVALID_PARAMETER;
      FxUsbInterface* itf = target->interfaces.front();
      status = itf->Configure(0, PipeAttributes);
      if (!NT_SUCCESS(status)) return status;
      target->configured = true;
      model.SetConfiguration(target->Config().configurationValue);
      Params->Types.SingleInterface.ConfiguredUsbInterface = itf->HandleAs<WDFUSBINTERFACE>();
      Params->Types.SingleInterface.NumberConfiguredPipes = static_cast<UCHAR>(itf->pipes.size());
      return STATUS_SUCCESS;
    }

    case WdfUsbTargetDeviceSelectConfigTypeMultiInterface:
    case WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs: {
      // Every interface in its first setting, except those a pair names.
      std::vector<UCHAR> setting(target->interfaces.size(), 0);
      if (Params->Type == WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs) {
        const auto& multi = Params->Types.MultiInterface;
        if (multi.Pairs == nullptr) return STATUS_INVALID_PARAMETER;
        for (UCHAR i = 0; i < multi.NumberInterfaces; ++i) {
          auto found = std::find(target->interfaces.begin(), target->interfaces.end(),
                                 ObjectTable::Find(multi.Pairs[i].UsbInterface));
          if (found == target->interfaces.end()) return STATUS_INVALID_PARAMETER;
          setting[static_cast<size_t>(found - target->interfaces.begin())] = multi.Pairs[i].SettingIndex;
        }
      }
      for (size_t i = 0; i < target->interfaces.size(); ++i) {
        status = target->interfaces[i]->Configure(setting[i], PipeAttributes);
        if (!NT_SUCCESS(status)) {
          for (FxUsbInterface* itf : target->interfaces) itf->DropPipes();
          return status;
        }
      }
      target->configured = true;
      model.SetConfiguration(target->Config().configurationValue);
      Params->Types.MultiInterface.NumberOfConfiguredInterfaces = static_cast<UCHAR>(target->interfaces.size());
      return STATUS_SUCCESS;
    }

    default:
      return STATUS_NOT_SUPPORTED;
  }
}

UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice) {
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, "WdfUsbTargetDeviceGetNumInterfaces");
  return target ? static_cast<UCHAR>(target->interfaces.size()) : 0;
}

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex) {
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, "WdfUsbTargetDeviceGetInterface");
  if (target == nullptr || InterfaceIndex >= target->interfaces.size()) return nullptr;
  return target->interfaces[InterfaceIndex]->HandleAs<WDFUSBINTERFACE>();
}

WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice) {
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, "WdfUsbTargetDeviceGetIoTarget");
  return target ? target->HandleAs<WDFIOTARGET>() : nullptr;
}

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                            PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                            PULONG BytesTransferred) {
  const char* call = "WdfUsbTargetDeviceSendControlTransferSynchronously";
  if (BytesTransferred != nullptr) *BytesTransferred = 0;
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, call);
  if (target == nullptr) return STATUS_INVALID_HANDLE;
  if (SetupPacket == nullptr) {
    UsbReportInvalid(call, "no setup packet");
    return STATUS_INVALID_PARAMETER;
  }
  if (Request != nullptr) {
    FxRequest* request = LookupRequest(Request, call);
    if (request == nullptr || !CheckDriverOwns(request, call)) return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (!UsbCheckPassive(call) || !CheckMayWait(call)) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;
  if (!target->AcceptsIo(RequestOptions != nullptr ? RequestOptions->Flags : 0)) return STATUS_INVALID_DEVICE_STATE;

  std::uint8_t* buffer = nullptr;
  size_t length = 0;
  if (!UsbDescriptorBuffer(MemoryDescriptor, &buffer, &length, call)) {
    UsbReportInvalid(call, "unusable memory descriptor");
    return STATUS_INVALID_PARAMETER;
  }
  if (length > MAXUSHORT) return STATUS_INVALID_PARAMETER;
  // The data stage is the descriptor's buffer: wLength follows it.
  auto setup = kmdf_host::UsbSetupPacket::FromBytes(SetupPacket->Generic.Bytes);
  setup.wLength = static_cast<USHORT>(length);
  SetupPacket->Packet.wLength = setup.wLength;

  size_t bytes = 0;
  status = RunUsbTransferSynchronously(*target->Model(), kmdf_host::UsbTransferKind::Control, 0, setup, buffer, length,
                                       RequestOptions, &bytes, call);
  if (BytesTransferred != nullptr) *BytesTransferred = static_cast<ULONG>(bytes);
  return status;
}

NTSTATUS WdfUsbTargetDeviceIsConnectedSynchronous(WDFUSBDEVICE UsbDevice) {
  const char* call = "WdfUsbTargetDeviceIsConnectedSynchronous";
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, call);
  if (target == nullptr) return STATUS_INVALID_HANDLE;
  if (!UsbCheckPassive(call)) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;
  return target->Model()->Gone() ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceResetPortSynchronously(WDFUSBDEVICE UsbDevice) {
  const char* call = "WdfUsbTargetDeviceResetPortSynchronously";
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, call);
  if (target == nullptr) return STATUS_INVALID_HANDLE;
  if (!UsbCheckPassive(call)) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;
  auto& model = *target->Model();
  if (model.Gone()) return STATUS_DEVICE_NOT_CONNECTED;
  for (const auto& itf : model.Config().interfaces)
    for (const auto& endpoint : itf.endpoints) model.ResetEndpoint(endpoint.address);
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                           PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                           WDFMEMORY TransferMemory, PWDFMEMORY_OFFSET TransferOffset) {
  const char* call = "WdfUsbTargetDeviceFormatRequestForControlTransfer";
  FxUsbDevice* target = LookupUsbDevice(UsbDevice, call);
  FxRequest* request = LookupRequest(Request, call);
  if (target == nullptr || request == nullptr) return STATUS_INVALID_HANDLE;
  if (!CheckDriverOwns(request, call)) return STATUS_INVALID_DEVICE_REQUEST;
  if (SetupPacket == nullptr) {
    UsbReportInvalid(call, "no setup packet");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = kmdf_host::CheckFault(call);
  if (!NT_SUCCESS(status)) return status;

  auto format = std::make_shared<UsbRequestFormat>();
  format->kind = kmdf_host::UsbTransferKind::Control;
  format->setup = kmdf_host::UsbSetupPacket::FromBytes(SetupPacket->Generic.Bytes);
  if (TransferMemory != nullptr) {
    FxMemory* memory = LookupMemory(TransferMemory, call);
    if (memory == nullptr) return STATUS_INVALID_HANDLE;
    size_t offset = TransferOffset ? TransferOffset->BufferOffset : 0;
    if (offset > memory->size) return STATUS_INVALID_PARAMETER;
    size_t length =
        TransferOffset && TransferOffset->BufferLength ? TransferOffset->BufferLength : memory->size - offset;
    if (length > memory->size - offset || length > MAXUSHORT) return STATUS_INVALID_PARAMETER;
    format->memory = TransferMemory;
    format->offset = offset;
    format->length = length;
  }
  format->setup.wLength = static_cast<USHORT>(format->length);
  SetupPacket->Packet.wLength = format->setup.wLength;

  FxIoTarget::PrepareFormat(request, target, WdfRequestTypeUsb);
  format->usb.Type = WdfUsbRequestTypeDeviceControlTransfer;
  format->usb.Parameters.DeviceControlTransfer.Buffer = format->memory;
  std::memcpy(&format->usb.Parameters.DeviceControlTransfer.SetupPacket, SetupPacket,
              sizeof(WDF_USB_CONTROL_SETUP_PACKET));
  request->format = format;
  request->completionParams.Parameters.Usb.Completion = &format->usb;
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------------
// USB interfaces

BYTE WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface) {
  FxUsbInterface* itf = LookupUsbInterface(UsbInterface, "WdfUsbInterfaceGetInterfaceNumber");
  return itf ? itf->number : 0;
}

BYTE WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface) {
  FxUsbInterface* itf = LookupUsbInterface(UsbInterface, "WdfUsbInterfaceGetNumSettings");
  return itf ? static_cast<BYTE>(itf->settings.size()) : 0;
}

BYTE WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE Interface) {
  FxUsbInterface* itf = LookupUsbInterface(Interface, "WdfUsbInterfaceGetConfiguredSettingIndex");
  return itf ? itf->configuredSetting : 0;
}

BYTE WdfUsbInterfaceGetNumEndpoints(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex) {
  FxUsbInterface* itf = LookupUsbInterface(UsbInterface, "WdfUsbInterfaceGetNumEndpoints");
  if (itf == nullptr || SettingIndex >= itf->settings.size()) return 0;
  return static_cast<BYTE>(itf->settings[SettingIndex].endpoints.size());
}

void WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor) {
  const char* call = "WdfUsbInterfaceGetDescriptor";
  FxUsbInterface* itf = LookupUsbInterface(UsbInterface, call);
  if (InterfaceDescriptor == nullptr) {
    UsbReportInvalid(call, "no descriptor buffer");
    return;
  }
  std::memset(InterfaceDescriptor, 0, sizeof(USB_INTERFACE_DESCRIPTOR));
  if (itf == nullptr || SettingIndex >= itf->settings.size()) return;
  const auto& s = itf->settings[SettingIndex];
  InterfaceDescriptor->bLength = sizeof(USB_INTERFACE_DESCRIPTOR);
  InterfaceDescriptor->bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
  InterfaceDescriptor->bInterfaceNumber = s.number;
  InterfaceDescriptor->bAlternateSetting = s.alternateSetting;
  InterfaceDescriptor->bNumEndpoints = static_cast<UCHAR>(s.endpoints.size());
  InterfaceDescriptor->bInterfaceClass = s.interfaceClass;
  InterfaceDescriptor->bInterfaceSubClass = s.interfaceSubClass;
  InterfaceDescriptor->bInterfaceProtocol = s.interfaceProtocol;
}

void WdfUsbInterfaceGetEndpointInformation(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex, UCHAR EndpointIndex,
                                           PWDF_USB_PIPE_INFORMATION EndpointInfo) {
  const char* call = "WdfUsbInterfaceGetEndpointInformation";
  FxUsbInterface* itf = LookupUsbInterface(UsbInterface, call);
  if (EndpointInfo == nullptr || EndpointInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
    UsbReportInvalid(call, "pipe information not initialised");
    return;
  }
  if (itf == nullptr || SettingIndex >= itf->settings.size() ||
      EndpointIndex >= itf->settings[SettingIndex].endpoints.size())
    return;
  FillPipeInformation(itf->settings[SettingIndex].endpoints[EndpointIndex], SettingIndex, EndpointInfo);
}

BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface) {
  FxUsbInterface* itf = LookupUsbInterface(UsbInterface, "WdfUsbInterfaceGetNumConfiguredPipes");
  return itf ? static_cast<BYTE>(itf->pipes.size()) : 0;
}

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo) {
  const char* call = "WdfUsbInterfaceGetConfiguredPipe";
  FxUsbInterface* itf = LookupUsbInterface(UsbInterface, call);
  if (PipeInfo != nullptr && PipeInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
    UsbReportInvalid(call, "pipe information not initialised");
    return nullptr;
  }
  if (itf == nullptr || PipeIndex >= itf->pipes.size()) return nullptr;
  FxUsbPipe* pipe = itf->pipes[PipeIndex];
  if (PipeInfo != nullptr) FillPipeInformation(pipe->endpoint, pipe->settingIndex, PipeInfo);
  return pipe->HandleAs<WDFUSBPIPE>();
}
