// DPCs and the periodic timer: coalescing, levels and locks, periods on the virtual clock, and a stop
// that waits for a callback already due.
#include "layer_fixture.h"

namespace layer_test {
namespace {

class DpcTimerTest : public LayerTest {
 protected:
  int Count(const char* what) {
    int n = 0;
    for (auto& o : test_driver::Observations()) n += o.what == what;
    return n;
  }
};

TEST_F(DpcTimerTest, DpcEnqueuedTwice_RunsOnceUnderTheDeviceLock) {
  StartDevice();
  EXPECT_TRUE(WdfDpcEnqueue(ctx_->Dpc));
  EXPECT_FALSE(WdfDpcEnqueue(ctx_->Dpc));
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(Count("EvtDpcFunc"), 1);
  const auto* observed = test_driver::Find("EvtDpcFunc");
  EXPECT_EQ(observed->irql, DISPATCH_LEVEL);
  EXPECT_TRUE(observed->lockHeld);
  EXPECT_EQ(WdfDpcGetParentObject(ctx_->Dpc), static_cast<WDFOBJECT>(ctx_->Device));
}

TEST_F(DpcTimerTest, DpcEnqueuedFromItsOwnCallback_RunsAgain) {
  static int runs;
  runs = 0;
  test_driver::TheHooks().dpc = [](WDFDPC dpc) {
    if (++runs == 1) {
      EXPECT_TRUE(WdfDpcEnqueue(dpc));
    }
  };
  StartDevice();
  WdfDpcEnqueue(ctx_->Dpc);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(runs, 2);
}

TEST_F(DpcTimerTest, PeriodicTimer_FiresAtDueTimeThenEveryPeriod) {
  static std::vector<LONGLONG> ticks;
  ticks.clear();
  test_driver::TheHooks().timer = [](WDFTIMER) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    ticks.push_back(now.QuadPart);
  };
  StartDevice();
  LONGLONG start = kmdf_host::Now();
  EXPECT_FALSE(WdfTimerStart(ctx_->Timer, WDF_REL_TIMEOUT_IN_MS(100)));
  kmdf_host::AdvanceBy(99);
  EXPECT_TRUE(ticks.empty());
  kmdf_host::AdvanceBy(251);
  ASSERT_EQ(ticks.size(), 3u);
  EXPECT_EQ(ticks[0] - start, 100 * 10000);
  EXPECT_EQ(ticks[1] - start, 200 * 10000);
  EXPECT_EQ(ticks[2] - start, 300 * 10000);
  const auto* observed = test_driver::Find("EvtTimerFunc");
  EXPECT_EQ(observed->irql, DISPATCH_LEVEL);
  EXPECT_TRUE(observed->lockHeld);
  EXPECT_TRUE(WdfTimerStop(ctx_->Timer, FALSE));
  kmdf_host::AdvanceBy(1000);
  EXPECT_EQ(ticks.size(), 3u);
}

TEST_F(DpcTimerTest, TimerStopWithWait_RunsAnExpiredCallbackBeforeReturning) {
  StartDevice();
  WdfTimerStart(ctx_->Timer, WDF_REL_TIMEOUT_IN_MS(100));
  // The timer expires, its callback is queued but has not run yet.
  ASSERT_TRUE(Sched().AdvanceToNextTimed());
  ASSERT_TRUE(Sched().RunOne());
  EXPECT_EQ(Count("EvtTimerFunc"), 0);
  WdfTimerStop(ctx_->Timer, TRUE);
  EXPECT_EQ(Count("EvtTimerFunc"), 1);
  kmdf_host::AdvanceBy(500);
  EXPECT_EQ(Count("EvtTimerFunc"), 1);
}

TEST_F(DpcTimerTest, TimerStopWithoutWait_LetsAnExpiredCallbackRunLater) {
  StartDevice();
  WdfTimerStart(ctx_->Timer, WDF_REL_TIMEOUT_IN_MS(100));
  ASSERT_TRUE(Sched().AdvanceToNextTimed());
  ASSERT_TRUE(Sched().RunOne());
  EXPECT_TRUE(WdfTimerStop(ctx_->Timer, FALSE));
  EXPECT_EQ(Count("EvtTimerFunc"), 0);
  kmdf_host::RunUntilIdle();
  EXPECT_EQ(Count("EvtTimerFunc"), 1);
  EXPECT_FALSE(kmdf_host::TimerWaiting(ctx_->Timer));
}

TEST_F(DpcTimerTest, TimerRestart_ReportsItWasWaitingAndUsesTheNewDueTime) {
  StartDevice();
  LONGLONG start = kmdf_host::Now();
  static LONGLONG fired;
  fired = 0;
  test_driver::TheHooks().timer = [](WDFTIMER timer) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (fired == 0) fired = now.QuadPart;
    WdfTimerStop(timer, FALSE);
  };
  EXPECT_FALSE(WdfTimerStart(ctx_->Timer, WDF_REL_TIMEOUT_IN_MS(100)));
  kmdf_host::AdvanceBy(50);
  EXPECT_TRUE(WdfTimerStart(ctx_->Timer, WDF_REL_TIMEOUT_IN_MS(100)));
  kmdf_host::AdvanceBy(200);
  EXPECT_EQ(fired - start, 150 * 10000);
}

TEST_F(DpcTimerTest, PassiveWait_DrivesTheClockUntilATimerSetsTheEvent) {
  static KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  test_driver::TheHooks().timer = [](WDFTIMER timer) {
    KeSetEvent(&event, 0, FALSE);
    WdfTimerStop(timer, FALSE);
  };
  StartDevice();
  LONGLONG start = kmdf_host::Now();
  WdfTimerStart(ctx_->Timer, WDF_REL_TIMEOUT_IN_MS(300));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(kmdf_host::Now() - start, 300 * 10000);
}

TEST_F(DpcTimerTest, PassiveWaitWithTimeout_ReturnsTimeoutWhenNothingSignals) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LONGLONG start = kmdf_host::Now();
  LARGE_INTEGER timeout;
  timeout.QuadPart = WDF_REL_TIMEOUT_IN_MS(40);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(kmdf_host::Now() - start, 40 * 10000);
  KeSetEvent(&event, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);  // a synchronisation event resets itself
}

}  // namespace
}  // namespace layer_test
