// The USB targets as a driver sees them, over simulated devices: descriptors and configuration
// selection, pipe information, bulk transfers and their completion, target stop, the continuous
// reader, and synchronous control transfers.
#include <gtest/gtest.h>
#include <kmdf_host/host.h>
#include <kmdf_host/usb_device.h>
#include <testbed/kmdf_test.h>
#include <testbed_usb/loopback_device.h>
#include <testbed_usb/modem_device.h>
#include <wdf.h>
#include <wdfusb.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using kmdf_host::UsbControlAnswer;
using kmdf_host::UsbDescriptorBuilder;
using kmdf_host::UsbDeviceModel;
using kmdf_host::UsbFault;

// ---- A driver that only creates its device ------------------------------------------------------

WDFDEVICE g_device = nullptr;

EVT_WDF_DRIVER_DEVICE_ADD TestDeviceAdd;
NTSTATUS TestDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
  WDFDEVICE device = nullptr;
  NTSTATUS status = WdfDeviceCreate(&DeviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
  if (NT_SUCCESS(status)) g_device = device;
  return status;
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, TestDeviceAdd);
  return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

// What a completion routine saw.
struct Completion {
  int calls = 0;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  KIRQL irql = HIGH_LEVEL;
  WDF_REQUEST_TYPE type = WdfRequestTypeNoFormat;
  bool hasUsb = false;
  WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
};

EVT_WDF_REQUEST_COMPLETION_ROUTINE RecordCompletion;
void RecordCompletion(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
  auto* c = static_cast<Completion*>(Context);
  ++c->calls;
  c->status = Params->IoStatus.Status;
  c->information = Params->IoStatus.Information;
  c->irql = KeGetCurrentIrql();
  c->type = Params->Type;
  c->hasUsb = Params->Parameters.Usb.Completion != nullptr;
  if (c->hasUsb) c->usb = *Params->Parameters.Usb.Completion;
}

// What the continuous reader delivered.
struct ReaderLog {
  std::vector<std::string> chunks;
  std::vector<KIRQL> irqls;
  int failures = 0;
  NTSTATUS failStatus = STATUS_SUCCESS;
  USBD_STATUS failUsbdStatus = USBD_STATUS_SUCCESS;
  KIRQL failIrql = HIGH_LEVEL;
  BOOLEAN restart = TRUE;
  size_t headerLength = 0;
};
ReaderLog* g_readerLog = nullptr;

EVT_WDF_USB_READER_COMPLETION_ROUTINE RecordRead;
void RecordRead(WDFUSBPIPE, WDFMEMORY Buffer, size_t NumBytesTransferred, WDFCONTEXT Context) {
  auto* log = static_cast<ReaderLog*>(Context);
  size_t size = 0;
  auto* data = static_cast<const char*>(WdfMemoryGetBuffer(Buffer, &size));
  log->chunks.emplace_back(data + log->headerLength, NumBytesTransferred);
  log->irqls.push_back(KeGetCurrentIrql());
}

EVT_WDF_USB_READERS_FAILED RecordReadersFailed;
BOOLEAN RecordReadersFailed(WDFUSBPIPE, NTSTATUS Status, USBD_STATUS UsbdStatus) {
  ++g_readerLog->failures;
  g_readerLog->failStatus = Status;
  g_readerLog->failUsbdStatus = UsbdStatus;
  g_readerLog->failIrql = KeGetCurrentIrql();
  return g_readerLog->restart;
}

// ---- Fixture ------------------------------------------------------------------------------------

class UsbTargetTest : public testbed::KmdfTest {
 protected:
  void TearDown() override {
    g_device = nullptr;
    g_readerLog = nullptr;
    testbed::KmdfTest::TearDown();
  }

  // Adds a device backed by `model` and makes its USB target.
  void Attach(std::shared_ptr<UsbDeviceModel> model) {
    model_ = std::move(model);
    ASSERT_EQ(kmdf_host::LoadDriver(TestDriverEntry), STATUS_SUCCESS);
    kmdf_host::DeviceSetup setup;
    setup.usb = model_;
    kmdf_host::DeviceNode node = 0;
    ASSERT_EQ(kmdf_host::AddDevice(setup, &node), STATUS_SUCCESS);
    ASSERT_NE(g_device, nullptr);
    ASSERT_EQ(WdfUsbTargetDeviceCreate(g_device, WDF_NO_OBJECT_ATTRIBUTES, &usb_), STATUS_SUCCESS);
  }

  // Attach, select the single interface and find the first bulk pipe of each direction.
  void AttachConfigured(std::shared_ptr<UsbDeviceModel> model) {
    Attach(std::move(model));
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb_, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    interface_ = params.Types.SingleInterface.ConfiguredUsbInterface;
    for (UCHAR i = 0; i < params.Types.SingleInterface.NumberConfiguredPipes; ++i) {
      WDF_USB_PIPE_INFORMATION info;
      WDF_USB_PIPE_INFORMATION_INIT(&info);
      WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(interface_, i, &info);
      if (info.PipeType != WdfUsbPipeTypeBulk) continue;
      if (WDF_USB_PIPE_DIRECTION_IN(info.EndpointAddress)) {
        if (in_ == nullptr) in_ = pipe;
      } else if (out_ == nullptr) {
        out_ = pipe;
      }
    }
    ASSERT_NE(in_, nullptr);
    ASSERT_NE(out_, nullptr);
  }

  WDFREQUEST NewRequest() {
    WDFREQUEST request = nullptr;
    EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &request), STATUS_SUCCESS);
    return request;
  }

  WDFMEMORY NewMemory(size_t size, const std::string& contents = "") {
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, size, &memory, &buffer), STATUS_SUCCESS);
    if (!contents.empty()) std::memcpy(buffer, contents.data(), contents.size());
    return memory;
  }

  static std::string MemoryText(WDFMEMORY memory, size_t length) {
    size_t size = 0;
    auto* data = static_cast<const char*>(WdfMemoryGetBuffer(memory, &size));
    return std::string(data, std::min(size, length));
  }

  // Sends a read of `length` bytes on the bulk-in pipe; the completion is recorded into `c`.
  WDFREQUEST SendRead(Completion* c, WDFMEMORY* memory, size_t length = 4096) {
    WDFREQUEST request = NewRequest();
    *memory = NewMemory(length);
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, request, *memory, nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(request, RecordCompletion, c);
    EXPECT_TRUE(WdfRequestSend(request, in_, WDF_NO_SEND_OPTIONS));
    return request;
  }

  WDFREQUEST SendWrite(Completion* c, const std::string& text, PWDF_REQUEST_SEND_OPTIONS options = nullptr) {
    WDFREQUEST request = NewRequest();
    WDFMEMORY memory = text.empty() ? nullptr : NewMemory(text.size(), text);
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForWrite(out_, request, memory, nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(request, RecordCompletion, c);
    EXPECT_TRUE(WdfRequestSend(request, out_, options));
    return request;
  }

  void ConfigReader(ReaderLog* log, UCHAR pendingReads = 0, size_t header = 0) {
    g_readerLog = log;
    log->headerLength = header;
    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, log, 4096);
    config.NumPendingReads = pendingReads;
    config.HeaderLength = header;
    config.EvtUsbTargetPipeReadersFailed = RecordReadersFailed;
    ASSERT_EQ(WdfUsbTargetPipeConfigContinuousReader(in_, &config), STATUS_SUCCESS);
  }

  NTSTATUS SendClassRequest(USHORT value, USHORT index, LONGLONG timeout) {
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&setup, BmRequestHostToDevice, BmRequestToInterface, 0x22, value, index);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    options.Timeout = timeout;
    return WdfUsbTargetDeviceSendControlTransferSynchronously(usb_, nullptr, timeout ? &options : nullptr, &setup,
                                                              nullptr, nullptr);
  }

  std::shared_ptr<UsbDeviceModel> model_;
  WDFUSBDEVICE usb_ = nullptr;
  WDFUSBINTERFACE interface_ = nullptr;
  WDFUSBPIPE in_ = nullptr;
  WDFUSBPIPE out_ = nullptr;
};

// ---- Descriptors and configuration ---------------------------------------------------------------

TEST_F(UsbTargetTest, DeviceCreate_GivesTheModelsDescriptors) {
  Attach(std::make_shared<UsbDeviceModel>(
      UsbDescriptorBuilder().Vendor(0x12D1).Product(0x1001).BulkIn(1).BulkOut(2).Build()));
  USB_DEVICE_DESCRIPTOR device;
  WdfUsbTargetDeviceGetDeviceDescriptor(usb_, &device);
  EXPECT_EQ(device.idVendor, 0x12D1);
  EXPECT_EQ(device.idProduct, 0x1001);

  USHORT size = 0;
  EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb_, nullptr, &size), STATUS_BUFFER_TOO_SMALL);
  const auto expected = model_->Config().ConfigurationDescriptorBytes();
  ASSERT_EQ(size, expected.size());
  std::vector<uint8_t> bytes(size);
  EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb_, bytes.data(), &size), STATUS_SUCCESS);
  EXPECT_EQ(bytes, expected);
  USHORT small = static_cast<USHORT>(size - 1);
  EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb_, bytes.data(), &small), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(small, size);
}

TEST_F(UsbTargetTest, DeviceCreate_FailsForADeviceWithoutUsb) {
  ASSERT_EQ(kmdf_host::LoadDriver(TestDriverEntry), STATUS_SUCCESS);
  kmdf_host::DeviceNode node = 0;
  ASSERT_EQ(kmdf_host::AddDevice(kmdf_host::DeviceSetup{}, &node), STATUS_SUCCESS);
  WDFUSBDEVICE usb = nullptr;
  EXPECT_EQ(WdfUsbTargetDeviceCreate(g_device, WDF_NO_OBJECT_ATTRIBUTES, &usb), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(usb, nullptr);
}

TEST_F(UsbTargetTest, SelectSingleInterface_GivesPipesInEndpointOrderWithTheirInformation) {
  Attach(std::make_shared<UsbDeviceModel>(
      UsbDescriptorBuilder().Interface(2).BulkIn(0x01, 64).InterruptIn(0x03, 16, 8).BulkOut(0x02, 512).Build()));
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
  ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb_, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
  EXPECT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb_), 1);
  ASSERT_EQ(params.Types.SingleInterface.NumberConfiguredPipes, 3);
  WDFUSBINTERFACE itf = params.Types.SingleInterface.ConfiguredUsbInterface;
  EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(itf), 2);
  EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(itf), 3);

  struct Expected {
    UCHAR address;
    WDF_USB_PIPE_TYPE type;
    ULONG maxPacket;
  } expected[] = {{0x81, WdfUsbPipeTypeBulk, 64}, {0x83, WdfUsbPipeTypeInterrupt, 16}, {0x02, WdfUsbPipeTypeBulk, 512}};
  for (UCHAR i = 0; i < 3; ++i) {
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(itf, i, &info);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(info.EndpointAddress, expected[i].address);
    EXPECT_EQ(info.PipeType, expected[i].type);
    EXPECT_EQ(info.MaximumPacketSize, expected[i].maxPacket);
    WDF_USB_PIPE_INFORMATION again;
    WDF_USB_PIPE_INFORMATION_INIT(&again);
    WdfUsbTargetPipeGetInformation(pipe, &again);
    EXPECT_EQ(again.EndpointAddress, expected[i].address);
  }
  EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(itf, 3, nullptr), nullptr);
  EXPECT_EQ(model_->Configuration(), 1);
}

TEST_F(UsbTargetTest, SelectSingleInterface_RefusesAConfigurationWithTwoInterfaces) {
  Attach(std::make_shared<UsbDeviceModel>(
      UsbDescriptorBuilder().Interface(0).InterruptIn(0x03).Interface(1).BulkIn(0x01).BulkOut(0x02).Build()));
  EXPECT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb_), 2);
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
  EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb_, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(model_->Configuration(), 0);
}

TEST_F(UsbTargetTest, SelectConfig_FailsWithAnInjectedFault) {
  Attach(std::make_shared<testbed::LoopbackUsbDevice>());
  kmdf_host::InjectFault("WdfUsbTargetDeviceSelectConfig", STATUS_INSUFFICIENT_RESOURCES);
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
  EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb_, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_INSUFFICIENT_RESOURCES);
}

// ---- Bulk transfers --------------------------------------------------------------------------------

TEST_F(UsbTargetTest, BulkWrite_ReachesTheLoopbackAndComesBackOnBulkIn) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  Completion read, write;
  WDFMEMORY readMemory = nullptr;
  SendRead(&read, &readMemory);
  SendWrite(&write, "hello");
  kmdf_host::RunUntilIdle();

  EXPECT_EQ(model_->ReceivedText(), "hello");
  ASSERT_EQ(write.calls, 1);
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(write.information, 5u);
  ASSERT_TRUE(write.hasUsb);
  EXPECT_EQ(write.usb.Type, WdfUsbRequestTypePipeWrite);
  EXPECT_EQ(write.usb.Parameters.PipeWrite.Length, 5u);

  ASSERT_EQ(read.calls, 1);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.information, 5u);
  EXPECT_EQ(read.irql, DISPATCH_LEVEL);
  EXPECT_EQ(read.type, WdfRequestTypeUsb);
  EXPECT_EQ(read.usb.Type, WdfUsbRequestTypePipeRead);
  EXPECT_EQ(read.usb.UsbdStatus, USBD_STATUS_SUCCESS);
  EXPECT_EQ(read.usb.Parameters.PipeRead.Length, 5u);
  EXPECT_EQ(MemoryText(readMemory, 5), "hello");
}

TEST_F(UsbTargetTest, Send_NeverCompletesInsideWdfRequestSend) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  model_->PushIn(std::string("ready"));  // the device answers the read at once
  Completion read;
  WDFMEMORY memory = nullptr;
  SendRead(&read, &memory);
  EXPECT_EQ(read.calls, 0);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(read.calls, 1);
  EXPECT_EQ(read.information, 5u);
}

TEST_F(UsbTargetTest, Read_ReturnsWhatTheDeviceHadUpToTheBufferLength) {
  AttachConfigured(std::make_shared<UsbDeviceModel>(UsbDescriptorBuilder().BulkIn(1, 64).BulkOut(2, 64).Build()));
  model_->PushIn(std::string(100, 'x'));
  Completion first, second;
  WDFMEMORY m1 = nullptr, m2 = nullptr;
  SendRead(&first, &m1, 64);
  SendRead(&second, &m2, 64);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(first.information, 64u);
  EXPECT_EQ(second.information, 36u);
}

TEST_F(UsbTargetTest, FormatRead_RefusesABufferThatIsNotWholePackets) {
  AttachConfigured(std::make_shared<UsbDeviceModel>(UsbDescriptorBuilder().BulkIn(1, 64).BulkOut(2, 64).Build()));
  WDFREQUEST request = NewRequest();
  EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, request, NewMemory(100), nullptr), STATUS_INVALID_BUFFER_SIZE);
  WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(in_);
  EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, request, NewMemory(100), nullptr), STATUS_SUCCESS);
}

TEST_F(UsbTargetTest, Format_RefusesTheWrongDirection) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  WDFREQUEST request = NewRequest();
  EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(out_, request, NewMemory(512), nullptr),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(WdfUsbTargetPipeFormatRequestForWrite(in_, request, NewMemory(512), nullptr),
            STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(UsbTargetTest, WriteWithoutMemory_IsAZeroLengthPacket) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  Completion zlp;
  SendWrite(&zlp, "");
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(zlp.status, STATUS_SUCCESS);
  EXPECT_EQ(zlp.information, 0u);
  EXPECT_EQ(model_->ZeroLengthPackets(), 1u);
}

TEST_F(UsbTargetTest, WriteFailure_ReportsTheBytesMovedAndTheUsbdStatus) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  model_->FailNextOut(UsbFault::TransferError(512));
  Completion write;
  SendWrite(&write, std::string(1024, 'a'));
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(write.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(write.information, 512u);
  EXPECT_EQ(write.usb.UsbdStatus, USBD_STATUS_XACT_ERROR);
}

TEST_F(UsbTargetTest, WriteTimeout_CancelsAnUnansweredTransferWithIoTimeout) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  model_->SetOutNoAnswer(true);
  WDF_REQUEST_SEND_OPTIONS options;
  WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
  options.Timeout = -7'400'000;  // 740 ms
  Completion write;
  SendWrite(&write, "stuck", &options);
  kmdf_host::AdvanceBy(739);
  EXPECT_EQ(write.calls, 0);
  kmdf_host::AdvanceBy(1);
  ASSERT_EQ(write.calls, 1);
  EXPECT_EQ(write.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(model_->PendingOutTransfers(), 0u);
}

TEST_F(UsbTargetTest, TargetStopCancelSentIo_CancelsAPendingReadBeforeReturning) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  Completion read;
  WDFMEMORY memory = nullptr;
  WDFREQUEST request = SendRead(&read, &memory);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(read.calls, 0);
  WdfIoTargetStop(in_, WdfIoTargetCancelSentIo);
  ASSERT_EQ(read.calls, 1);
  EXPECT_EQ(read.status, STATUS_CANCELLED);
  EXPECT_EQ(read.usb.UsbdStatus, USBD_STATUS_CANCELED);
  EXPECT_EQ(model_->PendingInTransfers(), 0u);

  // A stopped pipe refuses sends until it is started again.
  WDF_REQUEST_REUSE_PARAMS reuse;
  WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
  ASSERT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
  ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, request, memory, nullptr), STATUS_SUCCESS);
  WdfRequestSetCompletionRoutine(request, RecordCompletion, &read);
  EXPECT_FALSE(WdfRequestSend(request, in_, WDF_NO_SEND_OPTIONS));
  EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  EXPECT_TRUE(WdfRequestSend(request, in_, WDF_NO_SEND_OPTIONS));
  model_->PushIn(std::string("again"));
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(read.calls, 2);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
}

TEST_F(UsbTargetTest, CancelSentRequest_EndsTheTransferWithCancelled) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  Completion read;
  WDFMEMORY memory = nullptr;
  WDFREQUEST request = SendRead(&read, &memory);
  EXPECT_TRUE(WdfRequestCancelSentRequest(request));
  EXPECT_EQ(read.calls, 0);  // later, through the scheduler
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(read.status, STATUS_CANCELLED);
  model_->PushIn(std::string("unread"));
  EXPECT_EQ(model_->QueuedInChunks(), 1u);  // the cancelled read took nothing
}

TEST_F(UsbTargetTest, Unplug_FailsThePendingRead) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  Completion read;
  WDFMEMORY memory = nullptr;
  SendRead(&read, &memory);
  model_->Unplug();
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(read.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(read.usb.UsbdStatus, USBD_STATUS_DEVICE_GONE);
}

TEST_F(UsbTargetTest, Modem_AnswersAtAndSaysConnectWhenDialled) {
  auto modem = std::make_shared<testbed::ModemUsbDevice>();
  modem->SetDialDelay(2000);
  AttachConfigured(modem);
  std::string received;
  auto readAll = [&] {
    for (;;) {
      Completion c;
      WDFMEMORY memory = nullptr;
      WDFREQUEST request = SendRead(&c, &memory);
      kmdf_host::RunUntilIdle();
      if (c.calls == 0) {
        WdfRequestCancelSentRequest(request);
        kmdf_host::RunUntilIdle();
        return;
      }
      received += MemoryText(memory, c.information);
    }
  };
  Completion write;
  SendWrite(&write, "ATE0\r");
  kmdf_host::RunUntilIdle();
  readAll();
  EXPECT_EQ(received, "ATE0\r\r\nOK\r\n");
  received.clear();
  SendWrite(&write, "ATD5551234\r");
  kmdf_host::RunUntilIdle();
  readAll();
  EXPECT_EQ(received, "");
  kmdf_host::AdvanceBy(2000);
  readAll();
  EXPECT_EQ(received, "\r\nCONNECT\r\n");
  EXPECT_TRUE(modem->Connected());
}

// ---- Continuous reader -------------------------------------------------------------------------------

TEST_F(UsbTargetTest, ContinuousReader_RunsOnlyOnceTheTargetIsStarted) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  ReaderLog log;
  ConfigReader(&log, 3);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(model_->PendingInTransfers(), 0u);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  EXPECT_EQ(model_->PendingInTransfers(), 3u);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);  // starting again adds nothing
  EXPECT_EQ(model_->PendingInTransfers(), 3u);
}

TEST_F(UsbTargetTest, ContinuousReader_DeliversEachTransferAndKeepsReadsOutstanding) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  ReaderLog log;
  ConfigReader(&log, 0, 8);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  EXPECT_EQ(model_->PendingInTransfers(), static_cast<size_t>(WDF_USB_CONTINUOUS_READER_DEFAULT_PENDING_READS));
  model_->PushIn(std::string("abc"));
  model_->PushIn(std::string("defg"));
  model_->PushIn(std::string());
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(log.chunks.size(), 3u);
  EXPECT_EQ(log.chunks[0], "abc");
  EXPECT_EQ(log.chunks[1], "defg");
  EXPECT_EQ(log.chunks[2], "");
  EXPECT_EQ(log.irqls[0], DISPATCH_LEVEL);
  EXPECT_EQ(model_->PendingInTransfers(), static_cast<size_t>(WDF_USB_CONTINUOUS_READER_DEFAULT_PENDING_READS));
  EXPECT_EQ(log.failures, 0);
}

TEST_F(UsbTargetTest, ContinuousReader_StopCancelsReadsWithoutReportingAFailure) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  ReaderLog log;
  ConfigReader(&log, 2);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  WdfIoTargetStop(in_, WdfIoTargetCancelSentIo);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(model_->PendingInTransfers(), 0u);
  EXPECT_EQ(log.failures, 0);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  model_->PushIn(std::string("back"));
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(log.chunks.size(), 1u);
  EXPECT_EQ(log.chunks[0], "back");
}

TEST_F(UsbTargetTest, ContinuousReader_FailureCallsReadersFailedThenResetsAndRestarts) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  ReaderLog log;
  ConfigReader(&log, 2);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  model_->PushInFault(UsbFault::Stall());
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(log.failures, 1);
  EXPECT_EQ(log.failStatus, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(log.failUsbdStatus, USBD_STATUS_STALL_PID);
  EXPECT_EQ(log.failIrql, PASSIVE_LEVEL);
  EXPECT_FALSE(model_->Halted(0x81));  // the pipe was reset
  EXPECT_EQ(model_->PendingInTransfers(), 2u);
  model_->PushIn(std::string("after"));
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(log.chunks.size(), 1u);
  EXPECT_EQ(log.chunks[0], "after");
}

TEST_F(UsbTargetTest, ContinuousReader_ReadersFailedFalseLeavesTheReaderIdle) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  ReaderLog log;
  log.restart = FALSE;
  ConfigReader(&log, 2);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  model_->PushInFault(UsbFault::TransferError());
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(log.failures, 1);
  EXPECT_EQ(model_->PendingInTransfers(), 0u);
  WdfIoTargetStop(in_, WdfIoTargetCancelSentIo);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  EXPECT_EQ(model_->PendingInTransfers(), 2u);
}

TEST_F(UsbTargetTest, ContinuousReader_StopDuringAFailureLetsTheNextStartRunAgain) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  ReaderLog log;
  ConfigReader(&log, 2);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  model_->PushInFault(UsbFault::TransferError());
  ASSERT_TRUE(kmdf_host::CurrentScheduler().RunOne());  // the failed read comes back; the other is cancelled
  WdfIoTargetStop(in_, WdfIoTargetCancelSentIo);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(log.failures, 0);  // stopped before the failure could be reported
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  EXPECT_EQ(model_->PendingInTransfers(), 2u);
  model_->PushIn(std::string("ok"));
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(log.chunks.size(), 1u);
}

TEST_F(UsbTargetTest, ContinuousReader_DeviceGoneIsReportedOnceAndNotRestarted) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  ReaderLog log;
  ConfigReader(&log, 2);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  model_->Unplug();
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(log.failures, 1);
  EXPECT_EQ(log.failStatus, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(model_->PendingInTransfers(), 0u);
}

TEST_F(UsbTargetTest, ContinuousReader_RefusesATransferLengthThatIsNotWholePackets) {
  AttachConfigured(std::make_shared<UsbDeviceModel>(UsbDescriptorBuilder().BulkIn(1, 64).BulkOut(2, 64).Build()));
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, nullptr, 100);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(in_, &config), STATUS_INVALID_BUFFER_SIZE);
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, nullptr, 4096);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(out_, &config), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(UsbTargetTest, RemoveDevice_WithTheReaderRunningEndsItsReads) {
  AttachConfigured(std::make_shared<testbed::LoopbackUsbDevice>());
  ReaderLog log;
  ConfigReader(&log, 2);
  ASSERT_EQ(WdfIoTargetStart(in_), STATUS_SUCCESS);
  const auto nodes = kmdf_host::Devices();
  ASSERT_EQ(nodes.size(), 1u);
  ASSERT_EQ(kmdf_host::StartDevice(nodes[0]), STATUS_SUCCESS);
  EXPECT_EQ(kmdf_host::RemoveDevice(nodes[0]), STATUS_SUCCESS);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(model_->PendingInTransfers(), 0u);
  EXPECT_EQ(log.failures, 0);
}

// ---- Control transfers -------------------------------------------------------------------------------

TEST_F(UsbTargetTest, ControlTransfer_SendsTheClassSetupPacket) {
  Attach(std::make_shared<testbed::LoopbackUsbDevice>());
  EXPECT_EQ(SendClassRequest(0x0101, 2, -50'000'000), STATUS_SUCCESS);
  ASSERT_EQ(model_->ControlLog().size(), 1u);
  const auto& setup = model_->ControlLog()[0].setup;
  EXPECT_EQ(setup.bmRequestType, 0x21);
  EXPECT_EQ(setup.bRequest, 0x22);
  EXPECT_EQ(setup.wValue, 0x0101);
  EXPECT_EQ(setup.wIndex, 2);
  EXPECT_EQ(setup.wLength, 0);
}

struct ControlCase {
  const char* name;
  UsbControlAnswer answer;
  LONGLONG timeout;  // send option, 100-ns units (0: none)
  NTSTATUS status;
  LONGLONG elapsed;  // virtual time the call took, 100-ns units
};

class UsbControlTransferTest : public UsbTargetTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(UsbControlTransferTest, ControlTransfer_EndsAsTheDeviceAnswers) {
  Attach(std::make_shared<testbed::LoopbackUsbDevice>());
  model_->SetControlAnswer(GetParam().answer);
  const LONGLONG start = kmdf_host::Now();
  EXPECT_EQ(SendClassRequest(0x0001, 0, GetParam().timeout), GetParam().status);
  EXPECT_EQ(kmdf_host::Now() - start, GetParam().elapsed);
  EXPECT_EQ(model_->PendingControlTransfers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UsbControlTransferTest,
    ::testing::Values(
        ControlCase{"Ack", UsbControlAnswer::Ack(), -50'000'000, STATUS_SUCCESS, 0},
        ControlCase{"Stall", UsbControlAnswer::Stall(), -50'000'000, STATUS_UNSUCCESSFUL, 0},
        ControlCase{"LateAck", UsbControlAnswer::Ack({}, 300), -50'000'000, STATUS_SUCCESS, 3'000'000},
        ControlCase{"AckAfterTimeout", UsbControlAnswer::Ack({}, 6000), -50'000'000, STATUS_IO_TIMEOUT, 50'000'000},
        ControlCase{"NoAnswer", UsbControlAnswer::NoAnswer(), -50'000'000, STATUS_IO_TIMEOUT, 50'000'000},
        ControlCase{"LateAckWithoutTimeout", UsbControlAnswer::Ack({}, 9000), 0, STATUS_SUCCESS, 90'000'000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbTargetTest, ControlTransfer_ReadsTheDataStage) {
  Attach(std::make_shared<testbed::LoopbackUsbDevice>());
  WDF_USB_CONTROL_SETUP_PACKET setup;
  WDF_USB_CONTROL_SETUP_PACKET_INIT(&setup, BmRequestDeviceToHost, BmRequestToDevice, USB_REQUEST_GET_DESCRIPTOR,
                                    USB_DEVICE_DESCRIPTOR_TYPE << 8, 0);
  USB_DEVICE_DESCRIPTOR descriptor{};
  WDF_MEMORY_DESCRIPTOR memory;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, &descriptor, sizeof(descriptor));
  ULONG bytes = 0;
  EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(usb_, nullptr, nullptr, &setup, &memory, &bytes),
            STATUS_SUCCESS);
  EXPECT_EQ(bytes, sizeof(descriptor));
  EXPECT_EQ(descriptor.idVendor, 0x3759);
}

TEST_F(UsbTargetTest, FormattedControlTransfer_CompletesLaterWithItsSetupPacket) {
  Attach(std::make_shared<testbed::LoopbackUsbDevice>());
  WDF_USB_CONTROL_SETUP_PACKET setup;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&setup, BmRequestDeviceToHost, BmRequestToDevice, 0x01, 0, 0);
  model_->SetControlAnswer(UsbControlAnswer::Ack({0xAB, 0xCD}));
  WDFREQUEST request = NewRequest();
  WDFMEMORY memory = NewMemory(4);
  ASSERT_EQ(WdfUsbTargetDeviceFormatRequestForControlTransfer(usb_, request, &setup, memory, nullptr), STATUS_SUCCESS);
  Completion c;
  WdfRequestSetCompletionRoutine(request, RecordCompletion, &c);
  ASSERT_TRUE(WdfRequestSend(request, usb_, WDF_NO_SEND_OPTIONS));
  EXPECT_EQ(c.calls, 0);
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(c.calls, 1);
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(c.information, 2u);
  EXPECT_EQ(c.usb.Type, WdfUsbRequestTypeDeviceControlTransfer);
  EXPECT_EQ(c.usb.Parameters.DeviceControlTransfer.Length, 2u);
  EXPECT_EQ(c.usb.Parameters.DeviceControlTransfer.SetupPacket.Generic.Bytes[0], 0xC0);
  EXPECT_EQ(MemoryText(memory, 2), "\xAB\xCD");
  EXPECT_EQ(model_->ControlLog().at(0).setup.wLength, 4);
}

TEST_F(UsbTargetTest, ControlTransfer_AtDispatchLevelIsReported) {
  Attach(std::make_shared<testbed::LoopbackUsbDevice>());
  ExpectVerifier(kmdf_host::VerifierCheck::WrongLevel);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const NTSTATUS status = SendClassRequest(0, 0, 0);
  KeLowerIrql(old);
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_TRUE(Reported(kmdf_host::VerifierCheck::WrongLevel));
  EXPECT_TRUE(model_->ControlLog().empty());
}

}  // namespace
