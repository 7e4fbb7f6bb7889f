// A USB device that sends back on its bulk-in endpoint whatever arrives on its bulk-out endpoint.
#pragma once

#include <kmdf_host/usb_device.h>

namespace testbed {

class LoopbackUsbDevice : public kmdf_host::UsbDeviceModel {
 public:
  // Vendor 0x3759, product 0x0001; one vendor-specific interface 0 with bulk-in 0x81 and bulk-out 0x01,
  // both with 512-byte packets.
  static kmdf_host::UsbDeviceConfig DefaultConfig();

  explicit LoopbackUsbDevice(kmdf_host::UsbDeviceConfig config = DefaultConfig());

  // Echoed data is queued this many virtual milliseconds after it arrived (0: at once).
  void SetEchoDelay(ULONG ms) { echoDelayMs_ = ms; }
  // While off, data is only recorded.
  void SetEchoEnabled(bool on) { echo_ = on; }

 protected:
  // Each non-empty OUT transfer becomes one IN chunk; zero-length packets are not echoed.
  void OnDataReceived(UCHAR endpoint, std::span<const uint8_t> data) override;

 private:
  ULONG echoDelayMs_ = 0;
  bool echo_ = true;
};

}  // namespace testbed
