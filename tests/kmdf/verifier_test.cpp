// Each verifier report fires on a deliberately wrong driver action.
#include "layer_fixture.h"

namespace layer_test {
namespace {

using kmdf_host::VerifierCheck;

struct World {
  test_driver::DeviceContext* ctx;
  kmdf_host::DeviceNode node;
  kmdf_host::FileHandle file;
};

struct WrongCase {
  const char* name;
  VerifierCheck expected;
  void (*install)();          // hooks set before the device is added
  void (*act)(const World&);  // the wrong action, from the test's side
};

void NoHooks() {}

void CompleteTwiceHooks() {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    WdfRequestComplete(request, STATUS_SUCCESS);
    WdfRequestComplete(request, STATUS_SUCCESS);
  };
}

void CompleteWhileQueuedHooks() {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    (void)WdfRequestForwardToIoQueue(request, test_driver::LastDevice()->HoldQueue);
    WdfRequestComplete(request, STATUS_SUCCESS);
  };
}

void CompleteWhileSentHooks() {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    WDFIOTARGET target = kmdf_host::CreateManualIoTarget(test_driver::LastDevice()->Device);
    (void)WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS);
    WdfRequestComplete(request, STATUS_SUCCESS);
    WdfRequestCancelSentRequest(request);
  };
}

void WaitUnderLockHooks() {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    WdfRequestComplete(request, STATUS_SUCCESS);
  };
}

void ReenterLockHooks() {
  test_driver::TheHooks().read = [](WDFQUEUE queue, WDFREQUEST request, size_t) {
    WdfObjectAcquireLock(WdfIoQueueGetDevice(queue));
    WdfRequestComplete(request, STATUS_SUCCESS);
  };
}

void WrongLevelHooks() {
  test_driver::TheHooks().read = [](WDFQUEUE queue, WDFREQUEST request, size_t) {
    WDFKEY key;
    NTSTATUS status = WdfDeviceOpenRegistryKey(WdfIoQueueGetDevice(queue), PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                               WDF_NO_OBJECT_ATTRIBUTES, &key);
    WdfRequestComplete(request, status);
  };
}

void LockKeptOnReturnHooks() {
  test_driver::TheHooks().fileCreate = [](WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT) {
    WdfObjectAcquireLock(device);
    WdfRequestComplete(request, STATUS_SUCCESS);
  };
}

void HoldForeverHooks() {
  auto& hooks = test_driver::TheHooks();
  hooks.read = [](WDFQUEUE, WDFREQUEST request, size_t) { test_driver::LastDevice()->Held = request; };
  hooks.stop = [](WDFQUEUE, WDFREQUEST, ULONG) {};
}

void ReadOne(const World& w) {
  (void)kmdf_host::Read(w.file, 4);
  kmdf_host::RunUntilIdle();
}

void WaitAtDispatch(const World&) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  KeLowerIrql(old);
}

void ReleaseLockFromOtherContext(const World& w) {
  static WDFDEVICE device;
  device = w.ctx->Device;
  WDFIOTARGET target = kmdf_host::CreateManualIoTarget(w.ctx->Device);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = w.ctx->Device;
  WDFREQUEST request;
  ASSERT_EQ(WdfRequestCreate(&attributes, nullptr, &request), STATUS_SUCCESS);
  WdfRequestSetCompletionRoutine(
      request, [](WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT) { WdfObjectReleaseLock(device); },
      nullptr);
  ASSERT_TRUE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
  WdfObjectAcquireLock(w.ctx->Device);
  kmdf_host::ManualTargetComplete(target, request, STATUS_SUCCESS, 0);
  kmdf_host::RunUntilIdle();
  WdfObjectReleaseLock(w.ctx->Device);
}

void UseDeletedObject(const World& w) {
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = w.ctx->Device;
  WDFCOLLECTION collection;
  ASSERT_EQ(WdfCollectionCreate(&attributes, &collection), STATUS_SUCCESS);
  WdfObjectDelete(collection);
  (void)WdfCollectionGetCount(collection);
}

void RemoveWithHeldRequest(const World& w) {
  ReadOne(w);
  (void)kmdf_host::RemoveDevice(w.node);
}

void NoAction(const World&) {}

void WaitForNothing(const World&) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
}

void SelfRequeueHooks() {
  test_driver::TheHooks().dpc = [](WDFDPC dpc) { WdfDpcEnqueue(dpc); };
}

void StartRunaway(const World& w) {
  kmdf_host::SetRunawayLimit(1000);
  WdfDpcEnqueue(w.ctx->Dpc);
  kmdf_host::RunUntilIdle();
  test_driver::TheHooks().dpc = nullptr;
}

void FailedAssertHooks() {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    WdfRequestComplete(request, STATUS_SUCCESS);
  };
}

void AcknowledgeWithoutStopHooks() {
  test_driver::TheHooks().read = [](WDFQUEUE, WDFREQUEST request, size_t) {
    WdfRequestStopAcknowledge(request, FALSE);
    WdfRequestComplete(request, STATUS_SUCCESS);
  };
}

class VerifierTest : public LayerTest, public ::testing::WithParamInterface<WrongCase> {};

TEST_P(VerifierTest, WrongAction_IsReported) {
  ExpectVerifier(GetParam().expected);
  GetParam().install();
  StartAndOpen();
  GetParam().act(World{ctx_, node_, file_});
  kmdf_host::RunUntilIdle();
  auto reports = TakeReports();
  bool found = false;
  for (auto& report : reports) found |= report.check == GetParam().expected;
  EXPECT_TRUE(found) << "expected " << kmdf_host::ToString(GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifierTest,
    ::testing::Values(WrongCase{"CompletedTwice", VerifierCheck::RequestCompletedTwice, CompleteTwiceHooks, ReadOne},
                      WrongCase{"CompletedWhileQueued", VerifierCheck::RequestNotOwned, CompleteWhileQueuedHooks, ReadOne},
                      WrongCase{"CompletedWhileSent", VerifierCheck::RequestNotOwned, CompleteWhileSentHooks, ReadOne},
                      WrongCase{"WaitAtDispatch", VerifierCheck::WaitAtDispatch, NoHooks, WaitAtDispatch},
                      WrongCase{"WaitUnderDeviceLock", VerifierCheck::WaitUnderLock, WaitUnderLockHooks, ReadOne},
                      WrongCase{"LockReentered", VerifierCheck::LockReentered, ReenterLockHooks, ReadOne},
                      WrongCase{"LockReleasedByOther", VerifierCheck::LockReleasedByOther, NoHooks,
                                ReleaseLockFromOtherContext},
                      WrongCase{"LockHeldOnReturn", VerifierCheck::LockHeldOnReturn, LockKeptOnReturnHooks, NoAction},
                      WrongCase{"DeletedObjectUsed", VerifierCheck::DeletedObjectUsed, NoHooks, UseDeletedObject},
                      WrongCase{"PendingAtRemoval", VerifierCheck::RequestPendingAtRemoval, HoldForeverHooks,
                                RemoveWithHeldRequest},
                      WrongCase{"RegistryAtDispatch", VerifierCheck::WrongLevel, WrongLevelHooks, ReadOne},
                      WrongCase{"WaitNeverSatisfied", VerifierCheck::WaitNeverSatisfied, NoHooks, WaitForNothing},
                      WrongCase{"RunawayWork", VerifierCheck::RunawayWork, SelfRequeueHooks, StartRunaway},
                      WrongCase{"AssertionFailed", VerifierCheck::AssertionFailed, FailedAssertHooks, ReadOne},
                      WrongCase{"StopAcknowledgeWithoutStop", VerifierCheck::InvalidCall, AcknowledgeWithoutStopHooks,
                                ReadOne}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace layer_test
