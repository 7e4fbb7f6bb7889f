// Device lifecycle on the layer: start order and failure, objects that stop with their device, and
// synchronous sends.
#include "layer_fixture.h"

#include <algorithm>

namespace layer_test {
namespace {

class LifecycleTest : public LayerTest {
 protected:
  int Count(const char* what) {
    auto names = test_driver::Names();
    return static_cast<int>(std::count(names.begin(), names.end(), what));
  }
};

TEST_F(LifecycleTest, Start_PreparesHardwareThenEntersD0AtPassive) {
  StartDevice();
  auto names = test_driver::Names();
  auto prepare = std::find(names.begin(), names.end(), "EvtDevicePrepareHardware");
  auto d0 = std::find(names.begin(), names.end(), "EvtDeviceD0Entry");
  ASSERT_NE(prepare, names.end());
  ASSERT_NE(d0, names.end());
  EXPECT_LT(prepare, d0);
  EXPECT_EQ(test_driver::Find("EvtDeviceD0Entry")->irql, PASSIVE_LEVEL);
  EXPECT_FALSE(test_driver::Find("EvtDeviceD0Entry")->lockHeld);
  EXPECT_TRUE(kmdf_host::DeviceStarted(node_));
  EXPECT_TRUE(kmdf_host::DeviceInD0(node_));
}

TEST_F(LifecycleTest, FailedPrepare_ReleasesHardwareAndLeavesTheDeviceStopped) {
  test_driver::TheHooks().prepareHardware = [](WDFDEVICE) { return STATUS_DEVICE_NOT_CONNECTED; };
  ASSERT_EQ(kmdf_host::AddDevice({}, &node_), STATUS_SUCCESS);
  EXPECT_EQ(kmdf_host::StartDevice(node_), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Count("EvtDeviceD0Entry"), 0);
  EXPECT_EQ(Count("EvtDeviceReleaseHardware"), 1);
  EXPECT_FALSE(kmdf_host::DeviceStarted(node_));
  EXPECT_EQ(kmdf_host::RemoveDevice(node_), STATUS_SUCCESS);
}

TEST_F(LifecycleTest, Removal_StopsTheTimerAndNoCallbackRunsAfterIt) {
  StartDevice();
  WdfTimerStart(ctx_->Timer, WDF_REL_TIMEOUT_IN_MS(100));
  kmdf_host::AdvanceBy(250);
  EXPECT_EQ(Count("EvtTimerFunc"), 2);
  WdfDpcEnqueue(ctx_->Dpc);
  ASSERT_EQ(kmdf_host::RemoveDevice(node_), STATUS_SUCCESS);
  int dpcRuns = Count("EvtDpcFunc");
  EXPECT_LE(dpcRuns, 1);
  kmdf_host::AdvanceBy(1000);
  EXPECT_EQ(Count("EvtTimerFunc"), 2);
  EXPECT_EQ(Count("EvtDpcFunc"), dpcRuns);
}

TEST_F(LifecycleTest, PowerTransitions_CallD0ExitAndD0EntryOnce) {
  StartDevice();
  ASSERT_EQ(kmdf_host::PowerDown(node_), STATUS_SUCCESS);
  EXPECT_FALSE(kmdf_host::DeviceInD0(node_));
  EXPECT_EQ(kmdf_host::PowerDown(node_), STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(kmdf_host::PowerUp(node_), STATUS_SUCCESS);
  EXPECT_EQ(Count("EvtDeviceD0Exit"), 1);
  EXPECT_EQ(Count("EvtDeviceD0Entry"), 2);
}

TEST_F(LifecycleTest, SynchronousSend_WaitsAtPassiveForTheCompletion) {
  StartDevice();
  WDFIOTARGET target = kmdf_host::CreateManualIoTarget(ctx_->Device);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = ctx_->Device;
  WDFREQUEST request;
  ASSERT_EQ(WdfRequestCreate(&attributes, nullptr, &request), STATUS_SUCCESS);
  // The far side answers 20 ms later.
  kmdf_host::CurrentScheduler().PostAt(kmdf_host::Now() + 20 * 10000, [target, request] {
    kmdf_host::ManualTargetComplete(target, request, STATUS_SUCCESS, 3);
  });
  WDF_REQUEST_SEND_OPTIONS options;
  WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
  LONGLONG start = kmdf_host::Now();
  EXPECT_TRUE(WdfRequestSend(request, target, &options));
  EXPECT_EQ(kmdf_host::Now() - start, 20 * 10000);
  EXPECT_EQ(WdfRequestGetStatus(request), STATUS_SUCCESS);
}

TEST_F(LifecycleTest, UnloadDriver_RemovesDevicesAndDeletesTheDriver) {
  StartAndOpen();
  kmdf_host::UnloadDriver();
  EXPECT_TRUE(kmdf_host::Devices().empty());
  EXPECT_EQ(kmdf_host::LoadedDriver(), nullptr);
  EXPECT_EQ(kmdf_host::LiveObjectCount(), 0u);
  EXPECT_NE(test_driver::Find("EvtFileClose"), nullptr);
}

}  // namespace
}  // namespace layer_test
