// Loopback device: bulk-out data comes back on bulk-in, one IN chunk per OUT transfer.
#include <testbed_usb/loopback_device.h>

namespace testbed {

kmdf_host::UsbDeviceConfig LoopbackUsbDevice::DefaultConfig() {
  return kmdf_host::UsbDescriptorBuilder()
      .Vendor(0x3759)
      .Product(0x0001)
      .Interface(0)
      .BulkIn(0x81)
      .BulkOut(0x01)
      .Build();
}

LoopbackUsbDevice::LoopbackUsbDevice(kmdf_host::UsbDeviceConfig config) : UsbDeviceModel(std::move(config)) {}

void LoopbackUsbDevice::OnDataReceived(UCHAR, std::span<const uint8_t> data) {
  if (!echo_ || data.empty()) return;
  if (echoDelayMs_ == 0) {
    PushIn(data);
  } else {
    PushInAfter(echoDelayMs_, std::vector<uint8_t>(data.begin(), data.end()));
  }
}

}  // namespace testbed
