// Cancellation of application requests against the driver's cancel marks: before the mark, while
// marked, and an unmark that comes after cancellation began; and cancellation while queued.
#include "layer_fixture.h"

#include <algorithm>

namespace layer_test {
namespace {

NTSTATUS g_markStatus;
NTSTATUS g_unmarkStatus;
int g_cancelRoutineRuns;
KIRQL g_cancelIrql;
bool g_cancelUnderLock;

void EvtReadCancel(WDFREQUEST request) {
  ++g_cancelRoutineRuns;
  g_cancelIrql = KeGetCurrentIrql();
  g_cancelUnderLock = KmdfObjectIsLockHeld(test_driver::LastDevice()->Device) != FALSE;
  test_driver::LastDevice()->Held = nullptr;
  WdfRequestComplete(request, STATUS_CANCELLED);
}

class CancelTest : public LayerTest {
 protected:
  void SetUp() override {
    LayerTest::SetUp();
    g_markStatus = STATUS_PENDING;
    g_unmarkStatus = STATUS_PENDING;
    g_cancelRoutineRuns = 0;
    g_cancelIrql = PASSIVE_LEVEL;
    g_cancelUnderLock = false;
  }
};

TEST_F(CancelTest, CancelBeforeMark_MarkReturnsCancelledWithoutRunningTheRoutine) {
  auto& hooks = test_driver::TheHooks();
  hooks.read = [](WDFQUEUE, WDFREQUEST request, size_t) { test_driver::LastDevice()->Held = request; };
  hooks.dpc = [](WDFDPC) {
    auto* ctx = test_driver::LastDevice();
    g_markStatus = WdfRequestMarkCancelableEx(ctx->Held, EvtReadCancel);
    if (g_markStatus == STATUS_CANCELLED) {
      WDFREQUEST request = ctx->Held;
      ctx->Held = nullptr;
      WdfRequestComplete(request, STATUS_CANCELLED);
    }
  };
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 10);
  kmdf_host::RunUntilIdle();
  ASSERT_NE(ctx_->Held, nullptr);
  EXPECT_TRUE(kmdf_host::Cancel(read));
  kmdf_host::RunUntilIdle();
  EXPECT_FALSE(read->Completed());  // unmarked: the driver keeps it
  WdfDpcEnqueue(ctx_->Dpc);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(g_markStatus, STATUS_CANCELLED);
  EXPECT_EQ(g_cancelRoutineRuns, 0);
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->CompletionCount(), 1);
}

TEST_F(CancelTest, CancelWhileMarked_RunsTheRoutineUnderTheDeviceLockAtDispatch) {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    test_driver::LastDevice()->Held = request;
    g_markStatus = WdfRequestMarkCancelableEx(request, EvtReadCancel);
  };
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 10);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(g_markStatus, STATUS_SUCCESS);
  EXPECT_TRUE(kmdf_host::Cancel(read));
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(g_cancelRoutineRuns, 1);
  EXPECT_EQ(g_cancelIrql, DISPATCH_LEVEL);
  EXPECT_TRUE(g_cancelUnderLock);
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->Information(), 0u);
}

TEST_F(CancelTest, UnmarkAfterCancelBegan_ReturnsCancelledAndTheRoutineCompletesOnce) {
  auto& hooks = test_driver::TheHooks();
  hooks.read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    auto* ctx = test_driver::LastDevice();
    ctx->Held = request;
    g_markStatus = WdfRequestMarkCancelableEx(request, EvtReadCancel);
    WdfDpcEnqueue(ctx->Dpc);
  };
  hooks.dpc = [](WDFDPC) {
    auto* ctx = test_driver::LastDevice();
    WDFREQUEST request = ctx->Held;
    if (request == nullptr) return;
    g_unmarkStatus = WdfRequestUnmarkCancelable(request);
    if (g_unmarkStatus == STATUS_SUCCESS) {
      ctx->Held = nullptr;
      WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 5);
    }
    // STATUS_CANCELLED: the cancel routine owns the completion.
  };
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 10);
  ASSERT_TRUE(Sched().RunOne());  // presents the read: marked, DPC queued
  ASSERT_TRUE(kmdf_host::DpcQueued(ctx_->Dpc));
  EXPECT_TRUE(kmdf_host::Cancel(read));  // the cancel routine is now due after the DPC
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(g_unmarkStatus, STATUS_CANCELLED);
  EXPECT_EQ(g_cancelRoutineRuns, 1);
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->CompletionCount(), 1);
}

TEST_F(CancelTest, UnmarkBeforeCancel_SucceedsAndCancelHasNoEffect) {
  auto& hooks = test_driver::TheHooks();
  hooks.read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    test_driver::LastDevice()->Held = request;
    (void)WdfRequestMarkCancelableEx(request, EvtReadCancel);
  };
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 10);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(WdfRequestUnmarkCancelable(ctx_->Held), STATUS_SUCCESS);
  EXPECT_TRUE(kmdf_host::Cancel(read));
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(g_cancelRoutineRuns, 0);
  EXPECT_FALSE(read->Completed());
  EXPECT_TRUE(WdfRequestIsCanceled(ctx_->Held));
  WdfRequestComplete(ctx_->Held, STATUS_CANCELLED);
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
}

TEST_F(CancelTest, CancelInQueue_CallsCanceledOnQueueWithCancelledStatus) {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    NTSTATUS status = WdfRequestForwardToIoQueue(request, test_driver::LastDevice()->HoldQueue);
    if (!NT_SUCCESS(status)) WdfRequestComplete(request, status);
  };
  StartAndOpen();
  auto first = kmdf_host::Read(file_, 4);
  auto second = kmdf_host::Read(file_, 4);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(kmdf_host::QueueRequestCount(ctx_->HoldQueue), 2u);
  EXPECT_TRUE(kmdf_host::Cancel(second));
  kmdf_host::RunUntilIdle();
  const auto* observed = test_driver::Find("EvtIoCanceledOnQueue");
  ASSERT_NE(observed, nullptr);
  EXPECT_EQ(observed->irql, DISPATCH_LEVEL);
  EXPECT_TRUE(observed->lockHeld);
  EXPECT_EQ(second->Status(), STATUS_CANCELLED);
  EXPECT_FALSE(first->Completed());
  EXPECT_EQ(kmdf_host::QueueRequestCount(ctx_->HoldQueue), 1u);
  // The remaining one is still retrievable.
  WDFREQUEST request = nullptr;
  EXPECT_EQ(WdfIoQueueRetrieveNextRequest(ctx_->HoldQueue, &request), STATUS_SUCCESS);
  WdfRequestComplete(request, STATUS_SUCCESS);
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);
}

TEST_F(CancelTest, CloseWithRequestsQueued_CancelsThemBeforeClose) {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    (void)WdfRequestForwardToIoQueue(request, test_driver::LastDevice()->HoldQueue);
  };
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 4);
  kmdf_host::RunUntilIdle();
  auto close = kmdf_host::Close(file_);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_TRUE(close->Completed());
  auto names = test_driver::Names();
  auto canceled = std::find(names.begin(), names.end(), "EvtIoCanceledOnQueue");
  auto closed = std::find(names.begin(), names.end(), "EvtFileClose");
  EXPECT_LT(canceled, closed);
}

TEST_F(CancelTest, CloseWithRequestHeldByDriver_WaitsForItsCompletion) {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) { test_driver::LastDevice()->Held = request; };
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 4);
  kmdf_host::RunUntilIdle();
  auto close = kmdf_host::Close(file_);
  kmdf_host::RunUntilIdle();
  EXPECT_FALSE(close->Completed());
  EXPECT_EQ(test_driver::Find("EvtFileClose"), nullptr);
  WdfRequestComplete(ctx_->Held, STATUS_SUCCESS);
  kmdf_host::RunUntilIdle();
  EXPECT_TRUE(close->Completed());
  const auto* closeObserved = test_driver::Find("EvtFileClose");
  ASSERT_NE(closeObserved, nullptr);
  EXPECT_EQ(closeObserved->irql, PASSIVE_LEVEL);
  EXPECT_FALSE(closeObserved->lockHeld);
}

TEST_F(CancelTest, ForwardAfterCancel_CancelsTheRequestInItsNewQueue) {
  auto& hooks = test_driver::TheHooks();
  hooks.read = [](WDFQUEUE, WDFREQUEST request, size_t) { test_driver::LastDevice()->Held = request; };
  hooks.dpc = [](WDFDPC) {
    auto* ctx = test_driver::LastDevice();
    EXPECT_EQ(WdfRequestForwardToIoQueue(ctx->Held, ctx->HoldQueue), STATUS_SUCCESS);
    ctx->Held = nullptr;
  };
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 4);
  kmdf_host::RunUntilIdle();
  EXPECT_TRUE(kmdf_host::Cancel(read));
  WdfDpcEnqueue(ctx_->Dpc);
  kmdf_host::RunUntilIdle();
  EXPECT_NE(test_driver::Find("EvtIoCanceledOnQueue"), nullptr);
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(kmdf_host::QueueRequestCount(ctx_->HoldQueue), 0u);
}

TEST_F(CancelTest, MarkTwice_IsReportedAndRefused) {
  ExpectVerifier(kmdf_host::VerifierCheck::InvalidCall);
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    test_driver::LastDevice()->Held = request;
    EXPECT_EQ(WdfRequestMarkCancelableEx(request, EvtReadCancel), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestMarkCancelableEx(request, EvtReadCancel), STATUS_INVALID_DEVICE_REQUEST);
  };
  StartAndOpen();
  auto read = kmdf_host::Read(file_, 4);
  kmdf_host::RunUntilIdle();
  EXPECT_TRUE(Reported(kmdf_host::VerifierCheck::InvalidCall));
  kmdf_host::Cancel(read);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(g_cancelRoutineRuns, 1);
}

}  // namespace
}  // namespace layer_test
