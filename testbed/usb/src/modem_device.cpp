// Modem-like device: AT command interpreter on the bulk pipes, dial to CONNECT, data mode echo.
#include <testbed_usb/modem_device.h>

#include <algorithm>
#include <cctype>

namespace testbed {

namespace {
constexpr UCHAR kSetControlLineState = 0x22;

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}
}  // namespace

kmdf_host::UsbDeviceConfig ModemUsbDevice::DefaultConfig() {
  return kmdf_host::UsbDescriptorBuilder()
      .Vendor(0x3759)
      .Product(0x0002)
      .Interface(0)
      .BulkIn(0x81)
      .BulkOut(0x01)
      .InterruptIn(0x83)
      .Build();
}

ModemUsbDevice::ModemUsbDevice(kmdf_host::UsbDeviceConfig config) : UsbDeviceModel(std::move(config)) {}

void ModemUsbDevice::Respond(const std::string& text) { PushIn("\r\n" + text + "\r\n"); }

void ModemUsbDevice::OnDataReceived(UCHAR, std::span<const uint8_t> data) {
  if (data.empty()) return;
  if (dataMode_) {
    const std::string chunk(data.begin(), data.end());
    if (chunk == "+++") {
      dataMode_ = false;
      Respond("OK");
      return;
    }
    PushIn(data);  // the far end echoes
    return;
  }
  if (echo_) PushIn(data);
  for (uint8_t byte : data) {
    const char c = static_cast<char>(byte);
    if (c == '\n') continue;
    if (c != '\r') {
      line_.push_back(c);
      continue;
    }
    std::string line;
    line.swap(line_);
    RunCommand(line);
  }
}

void ModemUsbDevice::RunCommand(const std::string& raw) {
  const std::string line = Upper(raw);
  if (line.size() < 2 || line.compare(0, 2, "AT") != 0) return;
  commands_.push_back(raw);
  const std::string cmd = line.substr(2);

  if (cmd.empty()) return Respond("OK");
  if (cmd == "E0" || cmd == "E1") {
    echo_ = cmd == "E1";
    return Respond("OK");
  }
  if (cmd == "Z") {
    HangUp(false);
    echo_ = true;
    return Respond("OK");
  }
  if (cmd == "I") {
    Respond("SIMULATED USB MODEM");
    return Respond("OK");
  }
  if (cmd == "H" || cmd == "H0") {
    HangUp(false);
    return Respond("OK");
  }
  if (cmd == "O") {
    if (!connected_) return Respond("NO CARRIER");
    dataMode_ = true;
    return Respond(connectText_);
  }
  if (cmd[0] == 'D') {
    if (connected_ || dialing_) return Respond("ERROR");
    if (busy_) return Respond("BUSY");
    dialing_ = true;
    const unsigned call = ++callId_;
    auto connect = [this, call] {
      if (!dialing_ || call != callId_ || Gone()) return;
      dialing_ = false;
      connected_ = true;
      dataMode_ = true;
      Respond(connectText_);
    };
    if (dialDelayMs_ == 0)
      connect();
    else
      After(dialDelayMs_, connect);
    return;
  }
  if (std::string("&SVQXLM").find(cmd[0]) != std::string::npos) return Respond("OK");
  Respond("ERROR");
}

void ModemUsbDevice::HangUp(bool reportNoCarrier) {
  const bool hadCall = connected_ || dialing_;
  connected_ = false;
  dataMode_ = false;
  dialing_ = false;
  ++callId_;
  if (hadCall && reportNoCarrier) Respond("NO CARRIER");
}

void ModemUsbDevice::OnControl(const kmdf_host::UsbTransferPtr& transfer) {
  const auto& setup = transfer->Setup();
  if (setup.Type() == BMREQUEST_CLASS && setup.bRequest == kSetControlLineState && !setup.IsDeviceToHost()) {
    const bool dtr = (setup.wValue & 0x0001) != 0;
    if (dtr_ && !dtr) HangUp(true);
    dtr_ = dtr;
  }
  UsbDeviceModel::OnControl(transfer);
}

}  // namespace testbed
