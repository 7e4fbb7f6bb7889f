// Simulated USB devices on their own, driven the way the layer's pipe targets drive them: descriptors,
// bulk-in delivery, bulk-out recording, control answers, faults, and the two ready models.
#include <gtest/gtest.h>
#include <kmdf_host/host.h>
#include <kmdf_host/usb_device.h>
#include <testbed/kmdf_test.h>
#include <testbed_usb/loopback_device.h>
#include <testbed_usb/modem_device.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using kmdf_host::UsbControlAnswer;
using kmdf_host::UsbDescriptorBuilder;
using kmdf_host::UsbDeviceModel;
using kmdf_host::UsbFault;
using kmdf_host::UsbSetupPacket;
using kmdf_host::UsbTransfer;
using kmdf_host::UsbTransferPtr;
using kmdf_host::UsbTransferResult;

// An IN transfer with its own buffer and the result it ended with.
struct Read {
  std::vector<uint8_t> buffer;
  std::optional<UsbTransferResult> result;
  UsbTransferPtr transfer;

  Read(UsbDeviceModel& model, size_t length, UCHAR endpoint = 0x81) : buffer(length) {
    transfer = UsbTransfer::MakeIn(endpoint, buffer, [this](const UsbTransferResult& r) { result = r; });
    model.Submit(transfer);
  }
  std::string Text() const {
    return result ? std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(result->bytes)) : "";
  }
};

std::optional<UsbTransferResult> Write(UsbDeviceModel& model, const std::string& text, UCHAR endpoint = 0x01) {
  std::optional<UsbTransferResult> out;
  auto t = UsbTransfer::MakeOut(endpoint, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                                [&out](const UsbTransferResult& r) { out = r; });
  model.Submit(t);
  return out;
}

UsbSetupPacket ClassOut(UCHAR request, USHORT value, USHORT index) {
  UsbSetupPacket p;
  p.bmRequestType = 0x21;
  p.bRequest = request;
  p.wValue = value;
  p.wIndex = index;
  return p;
}

struct Control {
  std::vector<uint8_t> buffer;
  std::optional<UsbTransferResult> result;
  UsbTransferPtr transfer;
  Control(UsbDeviceModel& model, const UsbSetupPacket& setup, size_t length = 0) : buffer(length) {
    transfer = UsbTransfer::MakeControl(setup, buffer, [this](const UsbTransferResult& r) { result = r; });
    model.Submit(transfer);
  }
};

class UsbDeviceModelTest : public testbed::KmdfTest {
 protected:
  UsbDeviceModel model_{UsbDescriptorBuilder().Interface(0).BulkIn(0x81, 64).BulkOut(0x02, 64).Build()};
};

TEST(UsbDescriptorBuilderTest, ConfigurationBytes_ListInterfacesAndEndpointsInOrder) {
  auto config = UsbDescriptorBuilder()
                    .Vendor(0x1234)
                    .Interface(0)
                    .BulkIn(0x01, 512)
                    .BulkOut(0x02, 64)
                    .Interface(1, 0x0A)
                    .InterruptIn(0x03, 16, 4)
                    .Build();
  EXPECT_EQ(config.device.idVendor, 0x1234);
  EXPECT_EQ(config.device.bLength, 18);
  const auto bytes = config.ConfigurationDescriptorBytes();
  ASSERT_EQ(bytes.size(), 9u + 9 + 7 + 7 + 9 + 7);
  const auto* cfg = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(bytes.data());
  EXPECT_EQ(cfg->bDescriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(cfg->wTotalLength, bytes.size());
  EXPECT_EQ(cfg->bNumInterfaces, 2);
  const auto* ep1 = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(bytes.data() + 18);
  EXPECT_EQ(ep1->bEndpointAddress, 0x81);  // BulkIn sets the direction bit
  EXPECT_EQ(ep1->bmAttributes, USB_ENDPOINT_TYPE_BULK);
  EXPECT_EQ(ep1->wMaxPacketSize, 512);
  const auto* itf1 = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(bytes.data() + 32);
  EXPECT_EQ(itf1->bInterfaceNumber, 1);
  EXPECT_EQ(itf1->bInterfaceClass, 0x0A);
  EXPECT_EQ(itf1->bNumEndpoints, 1);
  const auto* ep3 = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(bytes.data() + 41);
  EXPECT_EQ(ep3->bEndpointAddress, 0x83);
  EXPECT_EQ(ep3->bmAttributes, USB_ENDPOINT_TYPE_INTERRUPT);
  EXPECT_EQ(ep3->bInterval, 4);
}

TEST(UsbSetupPacketTest, ToBytes_IsLittleEndianAndRoundTrips) {
  UsbSetupPacket p = ClassOut(0x22, 0x0101, 0x0302);
  p.wLength = 0x0504;
  const auto bytes = p.ToBytes();
  const std::array<uint8_t, 8> expected{0x21, 0x22, 0x01, 0x01, 0x02, 0x03, 0x04, 0x05};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(UsbSetupPacket::FromBytes(bytes.data()), p);
}

TEST_F(UsbDeviceModelTest, PushIn_CompletesAPendingReadWithTheChunk) {
  Read read(model_, 4096);
  EXPECT_FALSE(read.result);
  model_.PushIn(std::string("hello"));
  ASSERT_TRUE(read.result);
  EXPECT_EQ(read.result->status, STATUS_SUCCESS);
  EXPECT_EQ(read.Text(), "hello");
}

TEST_F(UsbDeviceModelTest, PushIn_ChunksAreNotMergedIntoOneRead) {
  model_.PushIn(std::string("ab"));
  model_.PushIn(std::string("cd"));
  Read first(model_, 4096);
  Read second(model_, 4096);
  EXPECT_EQ(first.Text(), "ab");
  EXPECT_EQ(second.Text(), "cd");
}

TEST_F(UsbDeviceModelTest, PushIn_ChunkLongerThanTheBufferSpansReads) {
  model_.PushIn(std::string("0123456789"));
  Read first(model_, 4);
  Read second(model_, 4);
  Read third(model_, 4);
  EXPECT_EQ(first.Text(), "0123");
  EXPECT_EQ(second.Text(), "4567");
  EXPECT_EQ(third.Text(), "89");
  EXPECT_EQ(model_.QueuedInChunks(), 0u);
}

TEST_F(UsbDeviceModelTest, PushIn_EmptyChunkCompletesAReadWithZeroBytes) {
  Read read(model_, 64);
  model_.PushIn(std::string());
  ASSERT_TRUE(read.result);
  EXPECT_EQ(read.result->status, STATUS_SUCCESS);
  EXPECT_EQ(read.result->bytes, 0u);
}

TEST_F(UsbDeviceModelTest, PushInAfter_DeliversAtTheVirtualTime) {
  Read read(model_, 64);
  model_.PushInAfter(30, {'x'});
  kmdf_host::CurrentScheduler().AdvanceBy(29);
  EXPECT_FALSE(read.result);
  kmdf_host::CurrentScheduler().AdvanceBy(1);
  ASSERT_TRUE(read.result);
  EXPECT_EQ(read.Text(), "x");
}

TEST_F(UsbDeviceModelTest, CancelledRead_DoesNotConsumeData) {
  Read cancelled(model_, 64);
  Read next(model_, 64);
  EXPECT_TRUE(cancelled.transfer->Cancel(STATUS_CANCELLED));
  EXPECT_EQ(cancelled.result->status, STATUS_CANCELLED);
  EXPECT_EQ(cancelled.result->usbdStatus, USBD_STATUS_CANCELED);
  model_.PushIn(std::string("data"));
  EXPECT_EQ(next.Text(), "data");
  EXPECT_FALSE(cancelled.transfer->Cancel(STATUS_CANCELLED));  // ends once only
}

TEST_F(UsbDeviceModelTest, Out_RecordsDataAndZeroLengthPackets) {
  auto r = Write(model_, "abc", 0x02);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(r->bytes, 3u);
  (void)Write(model_, "", 0x02);
  ASSERT_EQ(model_.OutLog().size(), 2u);
  EXPECT_EQ(model_.OutLog()[0].endpoint, 0x02);
  EXPECT_EQ(model_.ReceivedText(), "abc");
  EXPECT_EQ(model_.ZeroLengthPackets(), 1u);
}

TEST_F(UsbDeviceModelTest, FailNextOut_KeepsThePartAlreadyMoved) {
  model_.FailNextOut(UsbFault::TransferError(2));
  auto r = Write(model_, "abcd", 0x02);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r->bytes, 2u);
  EXPECT_EQ(model_.ReceivedText(), "ab");
  auto next = Write(model_, "ef", 0x02);
  EXPECT_EQ(next->status, STATUS_SUCCESS);  // one failure only
}

TEST_F(UsbDeviceModelTest, OutNoAnswer_LeavesTheTransferPendingUntilCancelled) {
  model_.SetOutNoAnswer(true);
  std::optional<UsbTransferResult> result;
  auto t = UsbTransfer::MakeOut(0x02, std::vector<uint8_t>{1, 2}, [&](const UsbTransferResult& r) { result = r; });
  model_.Submit(t);
  EXPECT_FALSE(result);
  EXPECT_EQ(model_.PendingOutTransfers(), 1u);
  EXPECT_TRUE(t->Cancel(STATUS_IO_TIMEOUT));
  EXPECT_EQ(result->status, STATUS_IO_TIMEOUT);
  EXPECT_TRUE(model_.ReceivedBytes().empty());
}

TEST_F(UsbDeviceModelTest, StalledInEndpoint_StaysHaltedUntilReset) {
  model_.PushInFault(UsbFault::Stall());
  Read stalled(model_, 64);
  EXPECT_EQ(stalled.result->usbdStatus, USBD_STATUS_STALL_PID);
  EXPECT_TRUE(model_.Halted(0x81));
  Read refused(model_, 64);
  EXPECT_EQ(refused.result->usbdStatus, USBD_STATUS_ENDPOINT_HALTED);
  model_.ResetEndpoint(0x81);
  Read after(model_, 64);
  model_.PushIn(std::string("ok"));
  EXPECT_EQ(after.Text(), "ok");
}

TEST_F(UsbDeviceModelTest, Unplug_FailsPendingAndNewTransfers) {
  Read pending(model_, 64);
  model_.Unplug();
  EXPECT_EQ(pending.result->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(pending.result->usbdStatus, USBD_STATUS_DEVICE_GONE);
  auto w = Write(model_, "x", 0x02);
  EXPECT_EQ(w->status, STATUS_DEVICE_NOT_CONNECTED);
  Control c(model_, ClassOut(0x22, 1, 0));
  EXPECT_EQ(c.result->status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbDeviceModelTest, Control_IsRecordedAndAcknowledgedByDefault) {
  Control c(model_, ClassOut(0x22, 0x0101, 0));
  ASSERT_TRUE(c.result);
  EXPECT_EQ(c.result->status, STATUS_SUCCESS);
  ASSERT_EQ(model_.ControlLog().size(), 1u);
  EXPECT_EQ(model_.ControlLog()[0].setup, ClassOut(0x22, 0x0101, 0));
}

struct ControlAnswerCase {
  const char* name;
  UsbControlAnswer answer;
  bool completesAtOnce;
  NTSTATUS status;
  USBD_STATUS usbdStatus;
};

class UsbControlAnswerTest : public UsbDeviceModelTest, public ::testing::WithParamInterface<ControlAnswerCase> {};

TEST_P(UsbControlAnswerTest, Control_EndsAsTheAnswerSays) {
  model_.SetControlAnswer(GetParam().answer);
  Control c(model_, ClassOut(0x22, 0, 0));
  ASSERT_EQ(c.result.has_value(), GetParam().completesAtOnce);
  if (!c.result) {
    EXPECT_EQ(model_.PendingControlTransfers(), 1u);
    return;
  }
  EXPECT_EQ(c.result->status, GetParam().status);
  EXPECT_EQ(c.result->usbdStatus, GetParam().usbdStatus);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UsbControlAnswerTest,
    ::testing::Values(ControlAnswerCase{"Ack", UsbControlAnswer::Ack(), true, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
                      ControlAnswerCase{"Stall", UsbControlAnswer::Stall(), true, STATUS_UNSUCCESSFUL,
                                        USBD_STATUS_STALL_PID},
                      ControlAnswerCase{"Failure", UsbControlAnswer::Failure(UsbFault::TransferError()), true,
                                        STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR},
                      ControlAnswerCase{"NoAnswer", UsbControlAnswer::NoAnswer(), false, 0, 0},
                      ControlAnswerCase{"Delayed", UsbControlAnswer::Ack({}, 10), false, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbDeviceModelTest, Control_StandardGetDescriptorAnswersFromTheDescriptors) {
  UsbSetupPacket get;
  get.bmRequestType = 0x80;
  get.bRequest = USB_REQUEST_GET_DESCRIPTOR;
  get.wValue = USB_DEVICE_DESCRIPTOR_TYPE << 8;
  get.wLength = 64;
  Control c(model_, get, 64);
  ASSERT_TRUE(c.result);
  EXPECT_EQ(c.result->bytes, 18u);
  EXPECT_EQ(std::memcmp(c.buffer.data(), &model_.Config().device, 18), 0);
}

// ---- Ready models ----------------------------------------------------------------------------------

class LoopbackDeviceTest : public testbed::KmdfTest {
 protected:
  testbed::LoopbackUsbDevice device_;
};

TEST_F(LoopbackDeviceTest, Write_ComesBackOnBulkIn) {
  Read read(device_, 4096);
  (void)Write(device_, "ping");
  EXPECT_EQ(read.Text(), "ping");
  EXPECT_EQ(device_.ReceivedText(), "ping");
}

TEST_F(LoopbackDeviceTest, ZeroLengthPacket_IsNotEchoed) {
  (void)Write(device_, "");
  EXPECT_EQ(device_.QueuedInChunks(), 0u);
  EXPECT_EQ(device_.ZeroLengthPackets(), 1u);
}

TEST_F(LoopbackDeviceTest, EchoDelay_HoldsTheEchoUntilItPasses) {
  device_.SetEchoDelay(5);
  Read read(device_, 4096);
  (void)Write(device_, "later");
  kmdf_host::CurrentScheduler().AdvanceBy(4);
  EXPECT_FALSE(read.result);
  kmdf_host::CurrentScheduler().AdvanceBy(1);
  EXPECT_EQ(read.Text(), "later");
}

class ModemDeviceTest : public testbed::KmdfTest {
 protected:
  // Everything the modem has queued on bulk-in, read chunk by chunk.
  std::string Drain() {
    std::string all;
    while (modem_.QueuedInChunks() != 0) {
      Read r(modem_, 4096);
      all += r.Text();
    }
    return all;
  }
  testbed::ModemUsbDevice modem_;
};

TEST_F(ModemDeviceTest, At_EchoesAndAnswersOk) {
  (void)Write(modem_, "AT\r");
  EXPECT_EQ(Drain(), "AT\r\r\nOK\r\n");
}

TEST_F(ModemDeviceTest, Ate0_StopsTheEcho) {
  (void)Write(modem_, "ATE0\r");
  EXPECT_EQ(Drain(), "ATE0\r\r\nOK\r\n");
  (void)Write(modem_, "at\r");
  EXPECT_EQ(Drain(), "\r\nOK\r\n");
}

TEST_F(ModemDeviceTest, Dial_SaysConnectAfterTheDialDelayAndEntersDataMode) {
  modem_.SetDialDelay(100);
  (void)Write(modem_, "ATE0\r");
  (void)Drain();
  (void)Write(modem_, "ATD5551234\r");
  kmdf_host::CurrentScheduler().AdvanceBy(99);
  EXPECT_EQ(Drain(), "");
  kmdf_host::CurrentScheduler().AdvanceBy(1);
  EXPECT_EQ(Drain(), "\r\nCONNECT\r\n");
  EXPECT_TRUE(modem_.Connected());
  (void)Write(modem_, "data");
  EXPECT_EQ(Drain(), "data");
  (void)Write(modem_, "+++");
  EXPECT_EQ(Drain(), "\r\nOK\r\n");
  (void)Write(modem_, "ATH\r");
  EXPECT_EQ(Drain(), "\r\nOK\r\n");
  EXPECT_FALSE(modem_.Connected());
}

TEST_F(ModemDeviceTest, Dial_WhenBusyAnswersBusy) {
  modem_.SetBusy(true);
  (void)Write(modem_, "ATE0\r");
  (void)Drain();
  (void)Write(modem_, "ATDT1\r");
  kmdf_host::CurrentScheduler().AdvanceBy(1000);
  EXPECT_EQ(Drain(), "\r\nBUSY\r\n");
  EXPECT_FALSE(modem_.Connected());
}

struct ModemCase {
  const char* name;
  const char* command;  // sent with echo off, followed by CR
  const char* answer;
};

class ModemCommandTest : public ModemDeviceTest, public ::testing::WithParamInterface<ModemCase> {};

TEST_P(ModemCommandTest, Command_GetsItsAnswer) {
  (void)Write(modem_, "ATE0\r");
  (void)Drain();
  (void)Write(modem_, std::string(GetParam().command) + "\r");
  EXPECT_EQ(Drain(), GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ModemCommandTest,
    ::testing::Values(ModemCase{"Attention", "AT", "\r\nOK\r\n"}, ModemCase{"LowerCase", "at", "\r\nOK\r\n"},
                      ModemCase{"Identify", "ATI", "\r\nSIMULATED USB MODEM\r\n\r\nOK\r\n"},
                      ModemCase{"FactoryDefaults", "AT&F", "\r\nOK\r\n"}, ModemCase{"Register", "ATS0=0", "\r\nOK\r\n"},
                      ModemCase{"HangUpIdle", "ATH", "\r\nOK\r\n"},
                      ModemCase{"OnlineWithoutCall", "ATO", "\r\nNO CARRIER\r\n"},
                      ModemCase{"Unknown", "AT#BOGUS", "\r\nERROR\r\n"}, ModemCase{"NotACommand", "HELLO", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModemDeviceTest, CommandSplitOverTransfers_IsJoinedAtTheCarriageReturn) {
  (void)Write(modem_, "ATE0\r");
  (void)Drain();
  (void)Write(modem_, "A");
  (void)Write(modem_, "T\r\n");
  EXPECT_EQ(Drain(), "\r\nOK\r\n");
  EXPECT_EQ(modem_.Commands().back(), "AT");
}

TEST_F(ModemDeviceTest, DtrDrop_HangsUpWithNoCarrier) {
  modem_.SetDialDelay(0);
  Control on(modem_, ClassOut(0x22, 0x0001, 0));
  (void)Write(modem_, "ATE0\r");
  (void)Write(modem_, "ATD1\r");
  EXPECT_TRUE(modem_.Connected());
  (void)Drain();
  Control off(modem_, ClassOut(0x22, 0x0000, 0));
  EXPECT_EQ(off.result->status, STATUS_SUCCESS);
  EXPECT_FALSE(modem_.Connected());
  EXPECT_EQ(Drain(), "\r\nNO CARRIER\r\n");
}

}  // namespace
