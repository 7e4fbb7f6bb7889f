// A USB device that behaves like a modem behind a serial link: it answers AT commands on its bulk
// endpoints and, when dialled, says "CONNECT" and switches to data mode, where it sends back what it
// receives (the far end echoes) until "+++" brings it back to command mode.
//
// Command mode (lines end with CR; LF is ignored; commands are case-insensitive):
//   AT            OK                       ATE0 / ATE1   echo off / on, OK
//   ATZ           reset (echo on), OK      ATI           identification, OK
//   ATD<number>   after the dial delay: CONNECT (data mode), or BUSY when set busy
//   ATH / ATH0    hang up, OK              ATO           back to data mode if connected: CONNECT
//   AT&..., ATS..., ATV..., ATQ..., ATX..., ATL..., ATM...   OK (accepted, no effect)
//   anything else starting with AT: ERROR; lines not starting with AT are ignored.
// With echo on, every byte received in command mode is sent back first. Responses are framed as
// "\r\n<text>\r\n" and each goes out as its own bulk-in transfer.
//
// The class request SET_CONTROL_LINE_STATE (0x22) is acknowledged; a request with DTR (bit 0 of
// wValue) clear hangs up a connection ("NO CARRIER").
#pragma once

#include <kmdf_host/usb_device.h>

#include <string>
#include <vector>

namespace testbed {

class ModemUsbDevice : public kmdf_host::UsbDeviceModel {
 public:
  // Vendor 0x3759, product 0x0002; one vendor-specific interface 0 with bulk-in 0x81, bulk-out 0x01
  // (512-byte packets) and interrupt-in 0x83 (16 bytes, never sends).
  static kmdf_host::UsbDeviceConfig DefaultConfig();

  explicit ModemUsbDevice(kmdf_host::UsbDeviceConfig config = DefaultConfig());

  void SetDialDelay(ULONG ms) { dialDelayMs_ = ms; }                         // default 50 ms
  void SetConnectText(std::string text) { connectText_ = std::move(text); }  // default "CONNECT"
  void SetBusy(bool busy) { busy_ = busy; }

  bool Connected() const { return connected_; }
  bool InDataMode() const { return dataMode_; }
  bool EchoOn() const { return echo_; }
  bool DtrOn() const { return dtr_; }
  // Command lines received in command mode, without the line end.
  const std::vector<std::string>& Commands() const { return commands_; }

 protected:
  void OnDataReceived(UCHAR endpoint, std::span<const uint8_t> data) override;
  void OnControl(const kmdf_host::UsbTransferPtr& transfer) override;

 private:
  void Respond(const std::string& text);
  void RunCommand(const std::string& line);
  void HangUp(bool reportNoCarrier);

  ULONG dialDelayMs_ = 50;
  std::string connectText_ = "CONNECT";
  bool busy_ = false;
  bool echo_ = true;
  bool connected_ = false;
  bool dataMode_ = false;
  bool dialing_ = false;
  bool dtr_ = false;
  unsigned callId_ = 0;  // lets a dial that was hung up before it connected be forgotten
  std::string line_;
  std::vector<std::string> commands_;
};

}  // namespace testbed
