// Queues: dispatch levels and locks, zero-length requests, buffers, forwarding and retrieval, and
// power-managed stop, resume and purge with requests the driver owns.
#include "layer_fixture.h"

#include <algorithm>

namespace layer_test {
namespace {

class QueueTest : public LayerTest {};

TEST_F(QueueTest, IoCallbacks_RunAtDispatchUnderTheDeviceLock) {
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 8);
  kmdf_host::RunUntilIdle();
  const auto* observed = test_driver::Find("EvtIoRead");
  ASSERT_NE(observed, nullptr);
  EXPECT_EQ(observed->irql, DISPATCH_LEVEL);
  EXPECT_TRUE(observed->lockHeld);
  const auto* create = test_driver::Find("EvtDeviceFileCreate");
  ASSERT_NE(create, nullptr);
  EXPECT_EQ(create->irql, PASSIVE_LEVEL);
  EXPECT_FALSE(create->lockHeld);
  const auto* prepare = test_driver::Find("EvtDevicePrepareHardware");
  ASSERT_NE(prepare, nullptr);
  EXPECT_EQ(prepare->irql, PASSIVE_LEVEL);
  EXPECT_EQ(read->Status(), STATUS_SUCCESS);
}

TEST_F(QueueTest, ZeroLengthReadAndWrite_AreCompletedByTheFramework) {
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 0);
  auto write = kmdf_host::Write(file_, {});
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(read->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Information(), 0u);
  EXPECT_EQ(test_driver::Find("EvtIoRead"), nullptr);
  EXPECT_EQ(test_driver::Find("EvtIoWrite"), nullptr);
}

struct BufferCase {
  const char* name;
  ULONG inputLength;
  ULONG outputLength;
  bool output;
  size_t minimum;
  NTSTATUS expected;
};

class BufferTest : public LayerTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(BufferTest, RetrieveBuffer_ChecksTheMinimumLength) {
  static NTSTATUS result;
  static BufferCase current;
  current = GetParam();
  result = STATUS_PENDING;
  test_driver::TheHooks().ioctl = [](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    PVOID buffer = nullptr;
    size_t length = 0;
    result = current.output ? WdfRequestRetrieveOutputBuffer(request, current.minimum, &buffer, &length)
                            : WdfRequestRetrieveInputBuffer(request, current.minimum, &buffer, &length);
    WdfRequestComplete(request, result);
  };
  StartAndOpen();
  std::vector<std::uint8_t> input(GetParam().inputLength, 0x11);
  auto op = kmdf_host::DeviceIoControl(file_, 0x1B0004, input, GetParam().outputLength);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(result, GetParam().expected);
  EXPECT_EQ(op->Status(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, BufferTest,
                         ::testing::Values(BufferCase{"OutputLongEnough", 0, 4, true, 4, STATUS_SUCCESS},
                                           BufferCase{"OutputShort", 0, 3, true, 4, STATUS_BUFFER_TOO_SMALL},
                                           BufferCase{"OutputAbsent", 0, 0, true, 0, STATUS_BUFFER_TOO_SMALL},
                                           BufferCase{"InputLongEnough", 12, 0, false, 12, STATUS_SUCCESS},
                                           BufferCase{"InputShort", 11, 0, false, 12, STATUS_BUFFER_TOO_SMALL},
                                           BufferCase{"InputAbsent", 0, 8, false, 1, STATUS_BUFFER_TOO_SMALL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(QueueTest, BufferedControlCode_SharesOneBufferForInputAndOutput) {
  test_driver::TheHooks().ioctl = [](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    PVOID in = nullptr;
    PVOID out = nullptr;
    ASSERT_EQ(WdfRequestRetrieveInputBuffer(request, 4, &in, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestRetrieveOutputBuffer(request, 4, &out, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(in, out);
    ULONG value;
    std::memcpy(&value, in, 4);
    value += 1;
    std::memcpy(out, &value, 4);
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 4);
  };
  StartAndOpen();
  ULONG value = 41;
  auto op = kmdf_host::DeviceIoControl(file_, 0x1B0008, {reinterpret_cast<std::uint8_t*>(&value), 4}, 4);
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(op->Output().size(), 4u);
  ULONG result;
  std::memcpy(&result, op->Output().data(), 4);
  EXPECT_EQ(result, 42u);
}

TEST_F(QueueTest, WriteInputMemory_DescribesTheCallersBytes) {
  test_driver::TheHooks().write = [](WDFQUEUE, WDFREQUEST request, size_t) {
    WDFMEMORY memory;
    ASSERT_EQ(WdfRequestRetrieveInputMemory(request, &memory), STATUS_SUCCESS);
    size_t length = 0;
    auto* data = static_cast<const char*>(WdfMemoryGetBuffer(memory, &length));
    WdfRequestCompleteWithInformation(request, std::string(data, length) == "hello" ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL,
                                      length);
  };
  StartAndOpen();
  auto write = kmdf_host::Write(file_, testbed::Bytes("hello"));
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Information(), 5u);
}

TEST_F(QueueTest, ManualQueue_RetrievesInOrderThenReportsEmpty) {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    (void)WdfRequestForwardToIoQueue(request, test_driver::LastDevice()->HoldQueue);
  };
  StartAndOpen();
  auto first = kmdf_host::Read(file_, 1);
  auto second = kmdf_host::Read(file_, 2);
  kmdf_host::RunUntilIdle();
  WDFREQUEST request;
  ASSERT_EQ(WdfIoQueueRetrieveNextRequest(ctx_->HoldQueue, &request), STATUS_SUCCESS);
  WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 1);
  ASSERT_EQ(WdfIoQueueRetrieveNextRequest(ctx_->HoldQueue, &request), STATUS_SUCCESS);
  WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 2);
  EXPECT_EQ(WdfIoQueueRetrieveNextRequest(ctx_->HoldQueue, &request), STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(request, nullptr);
  EXPECT_EQ(first->Information(), 1u);
  EXPECT_EQ(second->Information(), 2u);
}

TEST_F(QueueTest, PowerDown_StopsOwnedRequestsAndPausesRetrieval) {
  static ULONG stopFlags;
  stopFlags = 0;
  auto& hooks = test_driver::TheHooks();
  hooks.read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    auto* ctx = test_driver::LastDevice();
    if (ctx->Held == nullptr) {
      ctx->Held = request;
      (void)WdfRequestMarkCancelableEx(request, [](WDFREQUEST r) { WdfRequestComplete(r, STATUS_CANCELLED); });
    } else {
      (void)WdfRequestForwardToIoQueue(request, ctx->HoldQueue);
    }
  };
  hooks.stop = [](WDFQUEUE, WDFREQUEST request, ULONG flags) {
    stopFlags = flags;
    if (flags & WdfRequestStopRequestCancelable) {
      EXPECT_EQ(WdfRequestUnmarkCancelable(request), STATUS_SUCCESS);
    }
    WdfRequestStopAcknowledge(request, FALSE);
  };
  hooks.resume = [](WDFQUEUE, WDFREQUEST request) {
    EXPECT_EQ(WdfRequestMarkCancelableEx(request, [](WDFREQUEST r) { WdfRequestComplete(r, STATUS_CANCELLED); }),
              STATUS_SUCCESS);
  };
  StartAndOpen();
  auto held = kmdf_host::Read(file_, 1);
  auto queued = kmdf_host::Read(file_, 1);
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(kmdf_host::PowerDown(node_), STATUS_SUCCESS);
  EXPECT_EQ(stopFlags, static_cast<ULONG>(WdfRequestStopActionSuspend | WdfRequestStopRequestCancelable));
  auto names = test_driver::Names();
  EXPECT_LT(std::find(names.begin(), names.end(), "EvtIoStop"), std::find(names.begin(), names.end(), "EvtDeviceD0Exit"));
  WDFREQUEST request;
  EXPECT_EQ(WdfIoQueueRetrieveNextRequest(ctx_->HoldQueue, &request), STATUS_WDF_PAUSED);
  // A read arriving while powered down waits in the default queue.
  auto late = kmdf_host::Read(file_, 1);
  kmdf_host::RunUntilIdle();
  names = test_driver::Names();
  EXPECT_EQ(std::count(names.begin(), names.end(), "EvtIoRead"), 2);
  ASSERT_EQ(kmdf_host::PowerUp(node_), STATUS_SUCCESS);
  kmdf_host::RunUntilIdle();
  EXPECT_NE(test_driver::Find("EvtIoResume"), nullptr);
  names = test_driver::Names();
  EXPECT_EQ(std::count(names.begin(), names.end(), "EvtIoRead"), 3);
  // Resumed read is cancelable again.
  EXPECT_TRUE(kmdf_host::Cancel(held));
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(held->Status(), STATUS_CANCELLED);
  EXPECT_FALSE(queued->Completed());
  EXPECT_FALSE(late->Completed());
  kmdf_host::CancelAll(file_);
  kmdf_host::RunUntilIdle();
}

TEST_F(QueueTest, StopAcknowledgeWithRequeue_PresentsTheRequestAgainAfterResume) {
  static int reads;
  reads = 0;
  auto& hooks = test_driver::TheHooks();
  hooks.read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    if (++reads == 1) {
      test_driver::LastDevice()->Held = request;
    } else {
      WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 7);
    }
  };
  hooks.stop = [](WDFQUEUE, WDFREQUEST request, ULONG) {
    test_driver::LastDevice()->Held = nullptr;
    WdfRequestStopAcknowledge(request, TRUE);
  };
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 8);
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(kmdf_host::PowerDown(node_), STATUS_SUCCESS);
  kmdf_host::RunUntilIdle();
  EXPECT_FALSE(read->Completed());
  ASSERT_EQ(kmdf_host::PowerUp(node_), STATUS_SUCCESS);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(read->Information(), 7u);
}

TEST_F(QueueTest, Removal_PurgesQueuedRequestsAndStopsOwnedOnesWithPurge) {
  static ULONG stopFlags;
  stopFlags = 0;
  auto& hooks = test_driver::TheHooks();
  hooks.read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    auto* ctx = test_driver::LastDevice();
    if (ctx->Held == nullptr) {
      ctx->Held = request;
    } else {
      (void)WdfRequestForwardToIoQueue(request, ctx->HoldQueue);
    }
  };
  hooks.stop = [](WDFQUEUE, WDFREQUEST request, ULONG flags) {
    stopFlags = flags;
    test_driver::LastDevice()->Held = nullptr;
    WdfRequestComplete(request, STATUS_CANCELLED);
  };
  StartDevice();
  // A handle left open: the removal closes it for the application.
  ASSERT_EQ(kmdf_host::Open(u"\\Device\\kmdftest1", &file_)->Status(), STATUS_SUCCESS);
  auto owned = kmdf_host::Read(file_, 1);
  kmdf_host::RunUntilIdle();
  auto queued = kmdf_host::Read(file_, 1);
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(kmdf_host::RemoveDevice(node_), STATUS_SUCCESS);
  EXPECT_EQ(owned->Status(), STATUS_CANCELLED);
  EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
  EXPECT_TRUE(stopFlags & WdfRequestStopActionPurge);
  EXPECT_NE(test_driver::Find("EvtFileClose"), nullptr);
  EXPECT_NE(test_driver::Find("EvtDeviceReleaseHardware"), nullptr);
}

TEST_F(QueueTest, StaticStopRemove_RefusesOrderlyRemovalUntilAllowed) {
  StartDevice();
  WdfDeviceSetStaticStopRemove(ctx_->Device, FALSE);
  EXPECT_EQ(kmdf_host::RemoveDevice(node_), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(kmdf_host::StopDevice(node_), STATUS_UNSUCCESSFUL);
  WdfDeviceSetStaticStopRemove(ctx_->Device, TRUE);
  EXPECT_EQ(kmdf_host::StopDevice(node_), STATUS_SUCCESS);
  EXPECT_EQ(kmdf_host::StartDevice(node_), STATUS_SUCCESS);
  EXPECT_EQ(kmdf_host::RemoveDevice(node_), STATUS_SUCCESS);
}

TEST_F(QueueTest, ExclusiveDevice_RefusesASecondOpen) {
  StartAndOpen();
  kmdf_host::FileHandle second = 0;
  EXPECT_EQ(kmdf_host::Open(u"\\\\.\\KTEST1", &second)->Status(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(second, 0u);
  EXPECT_EQ(kmdf_host::Open(u"KTEST1", &second, {true})->Status(), STATUS_SUCCESS);
  EXPECT_EQ(kmdf_host::Open(u"COM99", &second)->Status(), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(QueueTest, SurpriseRemoval_FailsNewIoAndOpens) {
  StartAndOpen();
  kmdf_host::SurpriseRemoveDevice(node_);
  auto read = kmdf_host::Read(file_, 4);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(read->Status(), STATUS_INVALID_DEVICE_STATE);
  kmdf_host::FileHandle other;
  EXPECT_EQ(kmdf_host::Open(u"KTEST1", &other)->Status(), STATUS_DELETE_PENDING);
  kmdf_host::CompleteRemoval(node_);
  EXPECT_TRUE(kmdf_host::Devices().empty());
  EXPECT_NE(test_driver::Find("EvtFileClose"), nullptr);
}

}  // namespace
}  // namespace layer_test
