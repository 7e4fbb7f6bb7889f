// The generic I/O target: asynchronous completion, time-outs, cancellation of sent requests, and stop.
#include "layer_fixture.h"

namespace layer_test {
namespace {

struct Completion {
  WDFREQUEST request;
  NTSTATUS status;
  KIRQL irql;
  bool lockHeld;
};
std::vector<Completion> g_completions;

void EvtComplete(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
  g_completions.push_back(Completion{request, params->IoStatus.Status, KeGetCurrentIrql(),
                                     KmdfObjectIsLockHeld(static_cast<WDFDEVICE>(context)) != FALSE});
}

class IoTargetTest : public LayerTest {
 protected:
  void SetUp() override {
    LayerTest::SetUp();
    g_completions.clear();
    StartDevice();
    target_ = kmdf_host::CreateManualIoTarget(ctx_->Device);
    ASSERT_NE(target_, nullptr);
  }
  WDFREQUEST NewRequest() {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = ctx_->Device;
    WDFREQUEST request = nullptr;
    EXPECT_EQ(WdfRequestCreate(&attributes, nullptr, &request), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(request, EvtComplete, ctx_->Device);
    return request;
  }
  BOOLEAN Send(WDFREQUEST request, LONGLONG timeout = 0, ULONG flags = 0) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, flags);
    if (timeout != 0) WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, timeout);
    return WdfRequestSend(request, target_, &options);
  }
  WDFIOTARGET target_ = nullptr;
};

TEST_F(IoTargetTest, Completion_ArrivesLaterAtDispatchWithoutTheLock) {
  WDFREQUEST request = NewRequest();
  ASSERT_TRUE(Send(request));
  auto pending = kmdf_host::ManualTargetPending(target_);
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_TRUE(kmdf_host::ManualTargetComplete(target_, request, STATUS_SUCCESS, 12));
  EXPECT_TRUE(g_completions.empty());  // never inside the device side's call
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(g_completions.size(), 1u);
  EXPECT_EQ(g_completions[0].status, STATUS_SUCCESS);
  EXPECT_EQ(g_completions[0].irql, DISPATCH_LEVEL);
  EXPECT_FALSE(g_completions[0].lockHeld);
  EXPECT_EQ(WdfRequestGetStatus(request), STATUS_SUCCESS);
  EXPECT_EQ(WdfRequestGetInformation(request), 12u);
}

TEST_F(IoTargetTest, SendWithTimeout_CompletesWithIoTimeoutWhenTimePasses) {
  WDFREQUEST request = NewRequest();
  ASSERT_TRUE(Send(request, WDF_REL_TIMEOUT_IN_MS(50)));
  kmdf_host::AdvanceBy(49);
  EXPECT_TRUE(g_completions.empty());
  kmdf_host::AdvanceBy(1);
  ASSERT_EQ(g_completions.size(), 1u);
  EXPECT_EQ(g_completions[0].status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(WdfRequestGetStatus(request), STATUS_IO_TIMEOUT);
}

TEST_F(IoTargetTest, SendWithTimeout_CompletedInTimeKeepsItsStatus) {
  WDFREQUEST request = NewRequest();
  ASSERT_TRUE(Send(request, WDF_REL_TIMEOUT_IN_MS(50)));
  kmdf_host::AdvanceBy(10);
  kmdf_host::ManualTargetComplete(target_, request, STATUS_SUCCESS, 1);
  kmdf_host::AdvanceBy(100);
  ASSERT_EQ(g_completions.size(), 1u);
  EXPECT_EQ(g_completions[0].status, STATUS_SUCCESS);
}

TEST_F(IoTargetTest, CancelSentRequest_CompletesWithCancelled) {
  WDFREQUEST request = NewRequest();
  EXPECT_FALSE(WdfRequestCancelSentRequest(request));  // not sent yet
  ASSERT_TRUE(Send(request));
  EXPECT_TRUE(WdfRequestCancelSentRequest(request));
  kmdf_host::RunUntilIdle();
  ASSERT_EQ(g_completions.size(), 1u);
  EXPECT_EQ(g_completions[0].status, STATUS_CANCELLED);
}

TEST_F(IoTargetTest, StopCancelSentIo_CancelsAndWaitsForEverySentRequest) {
  WDFREQUEST a = NewRequest();
  WDFREQUEST b = NewRequest();
  ASSERT_TRUE(Send(a));
  ASSERT_TRUE(Send(b));
  WdfIoTargetStop(target_, WdfIoTargetCancelSentIo);
  ASSERT_EQ(g_completions.size(), 2u);
  EXPECT_EQ(g_completions[0].status, STATUS_CANCELLED);
  EXPECT_EQ(g_completions[1].status, STATUS_CANCELLED);
  EXPECT_EQ(WdfIoTargetGetState(target_), WdfIoTargetStopped);
}

TEST_F(IoTargetTest, StoppedTarget_RefusesSendsUnlessTargetStateIsIgnored) {
  WdfIoTargetStop(target_, WdfIoTargetLeaveSentIoPending);
  WDFREQUEST request = NewRequest();
  EXPECT_FALSE(Send(request));
  EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(Send(request, 0, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE));
  kmdf_host::ManualTargetComplete(target_, request, STATUS_SUCCESS, 0);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(WdfIoTargetStart(target_), STATUS_SUCCESS);
  WDF_REQUEST_REUSE_PARAMS reuse;
  WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
  ASSERT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
  WdfRequestSetCompletionRoutine(request, EvtComplete, ctx_->Device);
  EXPECT_TRUE(Send(request));
}

TEST_F(IoTargetTest, InjectedSendFailure_ReturnsFalseWithTheStatus) {
  kmdf_host::InjectFault("WdfRequestSend", STATUS_INSUFFICIENT_RESOURCES, 0, 1);
  WDFREQUEST request = NewRequest();
  EXPECT_FALSE(Send(request));
  EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(Send(request));
}

TEST_F(IoTargetTest, QueueRequestSentWithoutRoutine_IsCompletedByTheFramework) {
  static WDFIOTARGET target;
  target = target_;
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    if (!WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS)) WdfRequestComplete(request, WdfRequestGetStatus(request));
  };
  ASSERT_EQ(kmdf_host::Open(u"KTEST1", &file_)->Status(), STATUS_SUCCESS);
  auto read = kmdf_host::Read(file_, 4);
  kmdf_host::RunUntilIdle();
  auto pending = kmdf_host::ManualTargetPending(target_);
  ASSERT_EQ(pending.size(), 1u);
  // The application's cancel reaches the target.
  EXPECT_TRUE(kmdf_host::Cancel(read));
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(kmdf_host::ManualTargetCancelCount(target_), 1);
}

}  // namespace
}  // namespace layer_test
