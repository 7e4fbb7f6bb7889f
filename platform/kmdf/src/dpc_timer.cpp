// Framework DPCs and timers. Callbacks run from scheduler tasks at DISPATCH_LEVEL, under the parent's
// synchronisation lock when automatic serialisation is on. A timer's expiry queues its callback like a
// DPC; WdfTimerStop with Wait runs a callback already due before it returns.
#include "device.h"
#include "system.h"

namespace kmdf {
namespace {

class FxDpc : public FxObject {
 public:
  FxDpc(FxObject* parent, const WDF_DPC_CONFIG& dpcConfig) : FxObject(ObjectType::Dpc, parent), config(dpcConfig) {}
  WDF_DPC_CONFIG config;
  bool queued = false;
  bool running = false;
  std::uint64_t task = 0;

  FxLock* Lock() {
    FxDevice* device = Device();
    return config.AutomaticSerialization && device ? device->LockFor(Parent()) : nullptr;
  }

  void Enqueue();

 protected:
  void OnDelete() override {
    if (queued) Sched().Cancel(task);
    queued = false;
  }
};

void RunDpc(WDFDPC handle);

void FxDpc::Enqueue() {
  queued = true;
  WDFDPC handle = HandleAs<WDFDPC>();
  task = Sched().Post([handle]() { RunDpc(handle); });
}

void RunDpc(WDFDPC handle) {
  auto* dpc = static_cast<FxDpc*>(ObjectTable::Find(handle));
  if (dpc == nullptr || !dpc->queued) return;
  FxLock* lock = dpc->Lock();
  if (lock != nullptr && !lock->TryAcquireForCallback()) {
    // The lock is held by a context that is waiting; try again later.
    dpc->task = Sched().PostAt(Sched().Now() + 1, [handle]() { RunDpc(handle); });
    return;
  }
  dpc->queued = false;
  dpc->running = true;
  {
    CurrentContext().activity = "EvtDpcFunc";
    ScopedIrql level(DISPATCH_LEVEL);
    dpc->config.EvtDpcFunc(handle);
  }
  if (ObjectTable::Find(handle) == dpc) dpc->running = false;
  if (lock != nullptr) ReleaseCallbackLock(lock, "EvtDpcFunc");
}

class FxTimer : public FxObject {
 public:
  FxTimer(FxObject* parent, const WDF_TIMER_CONFIG& timerConfig)
      : FxObject(ObjectType::Timer, parent), config(timerConfig) {}
  WDF_TIMER_CONFIG config;
  bool waiting = false;          // set in the kernel timer queue
  std::uint64_t expiryTask = 0;
  LONGLONG due = 0;
  bool callbackQueued = false;   // expired; the callback waits to run
  std::uint64_t callbackTask = 0;
  bool running = false;

  FxLock* Lock() {
    FxDevice* device = Device();
    return config.AutomaticSerialization && device ? device->LockFor(Parent()) : nullptr;
  }

  void Arm(LONGLONG when);
  void Expire();
  void QueueCallback();

 protected:
  void OnDelete() override {
    if (waiting) Sched().Cancel(expiryTask);
    if (callbackQueued) Sched().Cancel(callbackTask);
    waiting = false;
    callbackQueued = false;
  }
};

void RunTimerCallback(WDFTIMER handle);

void FxTimer::Arm(LONGLONG when) {
  due = when;
  waiting = true;
  WDFTIMER handle = HandleAs<WDFTIMER>();
  expiryTask = Sched().PostAt(when, [handle]() {
    auto* timer = static_cast<FxTimer*>(ObjectTable::Find(handle));
    if (timer != nullptr) timer->Expire();
  });
}

void FxTimer::Expire() {
  waiting = false;
  if (config.Period != 0) Arm(due + static_cast<LONGLONG>(config.Period) * 10000);
  QueueCallback();
}

void FxTimer::QueueCallback() {
  if (callbackQueued) return;  // like a DPC: an expiry while the callback waits adds nothing
  callbackQueued = true;
  WDFTIMER handle = HandleAs<WDFTIMER>();
  callbackTask = Sched().Post([handle]() { RunTimerCallback(handle); });
}

void RunTimerCallback(WDFTIMER handle) {
  auto* timer = static_cast<FxTimer*>(ObjectTable::Find(handle));
  if (timer == nullptr || !timer->callbackQueued) return;
  FxLock* lock = timer->Lock();
  if (lock != nullptr && !lock->TryAcquireForCallback()) {
    timer->callbackTask = Sched().PostAt(Sched().Now() + 1, [handle]() { RunTimerCallback(handle); });
    return;
  }
  timer->callbackQueued = false;
  timer->running = true;
  {
    CurrentContext().activity = "EvtTimerFunc";
    ScopedIrql level(DISPATCH_LEVEL);
    timer->config.EvtTimerFunc(handle);
  }
  if (ObjectTable::Find(handle) == timer) timer->running = false;
  if (lock != nullptr) ReleaseCallbackLock(lock, "EvtTimerFunc");
}

FxDpc* LookupDpc(WDFDPC handle, const char* call) { return LookupAs<FxDpc>(handle, ObjectType::Dpc, call); }
FxTimer* LookupTimer(WDFTIMER handle, const char* call) { return LookupAs<FxTimer>(handle, ObjectType::Timer, call); }

// DPC and timer parents: a device or a queue (or an object below one).
FxObject* CallbackParent(PWDF_OBJECT_ATTRIBUTES attributes, const char* call) {
  if (attributes == nullptr || attributes->ParentObject == nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall, std::string(call) + ": a parent object is required");
    return nullptr;
  }
  FxObject* parent = ObjectTable::Lookup(attributes->ParentObject, call);
  if (parent == nullptr) return nullptr;
  if (parent->Device() == nullptr) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::InvalidCall,
                              std::string(call) + ": the parent must be a device or a queue");
    return nullptr;
  }
  return parent;
}

}  // namespace
}  // namespace kmdf

using namespace kmdf;

NTSTATUS WdfDpcCreate(PWDF_DPC_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFDPC* Dpc) {
  if (Dpc) *Dpc = nullptr;
  if (Config == nullptr || Config->Size != sizeof(WDF_DPC_CONFIG) || Config->EvtDpcFunc == nullptr || Dpc == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = kmdf_host::CheckFault("WdfDpcCreate");
  if (!NT_SUCCESS(status)) return status;
  FxObject* parent = CallbackParent(Attributes, "WdfDpcCreate");
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  FxDpc* dpc = CreateObject<FxDpc>(Attributes, &status, parent, *Config);
  if (dpc == nullptr) return status;
  *Dpc = dpc->HandleAs<WDFDPC>();
  return STATUS_SUCCESS;
}

BOOLEAN WdfDpcEnqueue(WDFDPC Dpc) {
  FxDpc* dpc = LookupDpc(Dpc, "WdfDpcEnqueue");
  if (dpc == nullptr || dpc->queued) return FALSE;
  dpc->Enqueue();
  return TRUE;
}

BOOLEAN WdfDpcCancel(WDFDPC Dpc, BOOLEAN Wait) {
  FxDpc* dpc = LookupDpc(Dpc, "WdfDpcCancel");
  if (dpc == nullptr) return FALSE;
  BOOLEAN removed = FALSE;
  if (dpc->queued) {
    Sched().Cancel(dpc->task);
    dpc->queued = false;
    removed = TRUE;
  }
  if (Wait) {
    if (dpc->running) {
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WaitAtDispatch,
                                "WdfDpcCancel(Wait) from inside the DPC's own callback");
    } else {
      (void)CheckMayWait("WdfDpcCancel(Wait)");
    }
  }
  return removed;
}

WDFOBJECT WdfDpcGetParentObject(WDFDPC Dpc) {
  FxDpc* dpc = LookupDpc(Dpc, "WdfDpcGetParentObject");
  return dpc && dpc->Parent() ? dpc->Parent()->Handle() : nullptr;
}

NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer) {
  if (Timer) *Timer = nullptr;
  if (Config == nullptr || Config->Size != sizeof(WDF_TIMER_CONFIG) || Config->EvtTimerFunc == nullptr ||
      Timer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Config->Period > static_cast<ULONG>(MAXLONG)) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = kmdf_host::CheckFault("WdfTimerCreate");
  if (!NT_SUCCESS(status)) return status;
  FxObject* parent = CallbackParent(Attributes, "WdfTimerCreate");
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  FxTimer* timer = CreateObject<FxTimer>(Attributes, &status, parent, *Config);
  if (timer == nullptr) return status;
  *Timer = timer->HandleAs<WDFTIMER>();
  return STATUS_SUCCESS;
}

BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime) {
  FxTimer* timer = LookupTimer(Timer, "WdfTimerStart");
  if (timer == nullptr) return FALSE;
  BOOLEAN wasWaiting = timer->waiting ? TRUE : FALSE;
  if (timer->waiting) Sched().Cancel(timer->expiryTask);
  timer->waiting = false;
  LONGLONG now = Sched().Now();
  LONGLONG when = DueTime < 0 ? now - DueTime : (DueTime < now ? now : DueTime);
  timer->Arm(when);
  return wasWaiting;
}

BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait) {
  FxTimer* timer = LookupTimer(Timer, "WdfTimerStop");
  if (timer == nullptr) return FALSE;
  BOOLEAN wasWaiting = timer->waiting ? TRUE : FALSE;
  if (timer->waiting) Sched().Cancel(timer->expiryTask);
  timer->waiting = false;
  if (Wait) {
    if (timer->running) {
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WaitAtDispatch,
                                "WdfTimerStop(Wait) from inside the timer's own callback");
      return wasWaiting;
    }
    if (!CheckMayWait("WdfTimerStop(Wait)")) return wasWaiting;
    // A callback already due runs before the stop returns.
    WDFOBJECT handle = timer->Handle();
    WaitUntil(
        [handle, timer]() {
          return ObjectTable::Find(handle) != timer || (!timer->callbackQueued && !timer->running);
        },
        0, "WdfTimerStop(Wait)");
  }
  return wasWaiting;
}

WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer) {
  FxTimer* timer = LookupTimer(Timer, "WdfTimerGetParentObject");
  return timer && timer->Parent() ? timer->Parent()->Handle() : nullptr;
}

namespace kmdf_host {
bool DpcQueued(WDFDPC dpc) {
  FxDpc* d = LookupDpc(dpc, "DpcQueued");
  return d && d->queued;
}
bool TimerWaiting(WDFTIMER timer) {
  FxTimer* t = LookupTimer(timer, "TimerWaiting");
  return t && t->waiting;
}
}  // namespace kmdf_host
