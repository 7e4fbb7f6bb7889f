// The USB targets used from a driver's PnP and power callbacks, the way a USB function driver uses
// them: target and configuration at prepare hardware (with a control transfer), the continuous reader
// started at D0 entry and stopped at D0 exit, and reads handled under the device lock.
#include <gtest/gtest.h>
#include <kmdf_host/host.h>
#include <kmdf_host/usb_device.h>
#include <testbed/kmdf_test.h>
#include <testbed_usb/loopback_device.h>
#include <wdfusb.h>

#include <memory>
#include <string>
#include <vector>

#include "test_driver.h"

namespace {

struct UsbState {
  WDFUSBDEVICE usb = nullptr;
  WDFUSBPIPE in = nullptr;
  WDFUSBPIPE out = nullptr;
  WDFDEVICE device = nullptr;
  std::string received;
  int readersFailed = 0;
};
UsbState* g_state = nullptr;

EVT_WDF_USB_READER_COMPLETION_ROUTINE StoreRead;
void StoreRead(WDFUSBPIPE, WDFMEMORY Buffer, size_t NumBytesTransferred, WDFCONTEXT Context) {
  auto* state = static_cast<UsbState*>(Context);
  // As a serial driver does: the received bytes go into state the device lock guards.
  WdfObjectAcquireLock(state->device);
  auto* data = static_cast<const char*>(WdfMemoryGetBuffer(Buffer, nullptr));
  state->received.append(data, NumBytesTransferred);
  WdfObjectReleaseLock(state->device);
}

EVT_WDF_USB_READERS_FAILED ReadersFailed;
BOOLEAN ReadersFailed(WDFUSBPIPE, NTSTATUS, USBD_STATUS) {
  ++g_state->readersFailed;
  return TRUE;
}

NTSTATUS PrepareUsb(WDFDEVICE device) {
  UsbState& s = *g_state;
  s.device = device;
  NTSTATUS status = WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &s.usb);
  if (!NT_SUCCESS(status)) return status;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
  status = WdfUsbTargetDeviceSelectConfig(s.usb, WDF_NO_OBJECT_ATTRIBUTES, &params);
  if (!NT_SUCCESS(status)) return status;
  for (UCHAR i = 0; i < params.Types.SingleInterface.NumberConfiguredPipes; ++i) {
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(params.Types.SingleInterface.ConfiguredUsbInterface, i, &info);
    if (info.PipeType != WdfUsbPipeTypeBulk) continue;
    (WDF_USB_PIPE_DIRECTION_IN(info.EndpointAddress) ? s.in : s.out) = pipe;
  }
  WDF_USB_CONTROL_SETUP_PACKET setup;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&setup, BmRequestHostToDevice, BmRequestToInterface, 0x22, 0, 0);
  WDF_REQUEST_SEND_OPTIONS options;
  WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
  options.Timeout = WDF_REL_TIMEOUT_IN_SEC(5);
  status = WdfUsbTargetDeviceSendControlTransferSynchronously(s.usb, WDF_NO_HANDLE, &options, &setup, nullptr, nullptr);
  if (!NT_SUCCESS(status)) return status;
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, StoreRead, &s, 4096);
  config.EvtUsbTargetPipeReadersFailed = ReadersFailed;
  return WdfUsbTargetPipeConfigContinuousReader(s.in, &config);
}

class UsbLifecycleTest : public testbed::KmdfTest {
 protected:
  void SetUp() override {
    testbed::KmdfTest::SetUp();
    g_state = &state_;
    test_driver::Reset();
    auto& hooks = test_driver::TheHooks();
    hooks.prepareHardware = PrepareUsb;
    hooks.d0Entry = [](WDFDEVICE) { return WdfIoTargetStart(g_state->in); };
    hooks.d0Exit = [](WDFDEVICE) {
      WdfIoTargetStop(g_state->in, WdfIoTargetCancelSentIo);
      return STATUS_SUCCESS;
    };
    ASSERT_EQ(kmdf_host::LoadDriver(test_driver::TestDriverEntry, u"kmdftest"), STATUS_SUCCESS);
  }
  void TearDown() override {
    test_driver::Reset();
    g_state = nullptr;
    testbed::KmdfTest::TearDown();
  }

  NTSTATUS AddAndStart() {
    kmdf_host::DeviceSetup setup;
    setup.usb = device_;
    NTSTATUS status = kmdf_host::AddDevice(setup, &node_);
    if (!NT_SUCCESS(status)) return status;
    return kmdf_host::StartDevice(node_);
  }

  UsbState state_;
  std::shared_ptr<testbed::LoopbackUsbDevice> device_ = std::make_shared<testbed::LoopbackUsbDevice>();
  kmdf_host::DeviceNode node_ = 0;
};

TEST_F(UsbLifecycleTest, Start_RunsTheReaderAndDeliversDataUnderTheDeviceLock) {
  ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
  ASSERT_EQ(device_->ControlLog().size(), 1u);
  EXPECT_EQ(device_->PendingInTransfers(), static_cast<size_t>(WDF_USB_CONTINUOUS_READER_DEFAULT_PENDING_READS));
  device_->PushInAfter(10, {'h', 'i'});
  kmdf_host::AdvanceBy(10);
  EXPECT_EQ(state_.received, "hi");
}

TEST_F(UsbLifecycleTest, PowerDownAndUp_StopsAndRestartsTheReaderWithoutAFailure) {
  ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
  ASSERT_EQ(kmdf_host::PowerDown(node_), STATUS_SUCCESS);
  EXPECT_EQ(device_->PendingInTransfers(), 0u);
  device_->PushIn(std::string("while off"));
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(state_.received, "");
  ASSERT_EQ(kmdf_host::PowerUp(node_), STATUS_SUCCESS);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(state_.received, "while off");  // the device kept it until a read came
  EXPECT_EQ(state_.readersFailed, 0);
}

TEST_F(UsbLifecycleTest, Start_FailsWhenTheControlTransferIsNeverAnswered) {
  device_->SetControlAnswer(kmdf_host::UsbControlAnswer::NoAnswer());
  const LONGLONG start = kmdf_host::Now();
  EXPECT_EQ(AddAndStart(), STATUS_IO_TIMEOUT);
  EXPECT_EQ(kmdf_host::Now() - start, 5 * 10'000'000LL);
  EXPECT_EQ(device_->PendingControlTransfers(), 0u);
}

TEST_F(UsbLifecycleTest, Start_FailsWithTheStatusOfAStalledControlTransfer) {
  device_->SetControlAnswer(kmdf_host::UsbControlAnswer::Stall());
  EXPECT_EQ(AddAndStart(), STATUS_UNSUCCESSFUL);
}

TEST_F(UsbLifecycleTest, Remove_EndsTheReaderAndLeavesNoTransferAtTheDevice) {
  ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
  ASSERT_EQ(kmdf_host::RemoveDevice(node_), STATUS_SUCCESS);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(device_->PendingInTransfers(), 0u);
  EXPECT_EQ(state_.readersFailed, 0);
}

}  // namespace
