// Execution contexts, levels, framework locks and PASSIVE_LEVEL waits.
#include "exec.h"

#include "system.h"

#include <algorithm>

namespace kmdf {
namespace {

ExecContext g_context{1, PASSIVE_LEVEL, PASSIVE_LEVEL, {}, "host"};
std::uint64_t g_nextContextId = 2;

}  // namespace

ExecContext& CurrentContext() { return g_context; }
bool HoldsAnyLock() { return !g_context.heldLocks.empty(); }

void ResetExecContexts() {
  g_context = ExecContext{1, PASSIVE_LEVEL, PASSIVE_LEVEL, {}, "host"};
  g_nextContextId = 2;
}

ScopedExecContext::ScopedExecContext(const char* activity) : saved_(g_context) {
  g_context = ExecContext{g_nextContextId++, PASSIVE_LEVEL, PASSIVE_LEVEL, {}, activity};
}

ScopedExecContext::~ScopedExecContext() {
  if (!g_context.heldLocks.empty()) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::LockHeldOnReturn,
                              std::string(g_context.activity) + " returned with a lock still held");
  }
  g_context = saved_;
}

ScopedIrql::ScopedIrql(KIRQL level) : old_(g_context.irql) {
  if (level > g_context.irql) g_context.irql = level;
}

ScopedIrql::~ScopedIrql() { g_context.irql = old_; }

void FxLock::Acquire() {
  if (owner_ == g_context.id) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::LockReentered,
                              "lock '" + name_ + "' taken again by its holder (" + g_context.activity + ")");
    return;
  }
  if (owner_ != 0) {
    // Only a context suspended in a wait can hold it here, which is reported at that wait.
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WaitUnderLock,
                              "lock '" + name_ + "' is held by a context that waits");
  }
  owner_ = g_context.id;
  savedIrql_ = g_context.irql;
  if (g_context.irql < DISPATCH_LEVEL) g_context.irql = DISPATCH_LEVEL;
  g_context.heldLocks.push_back(this);
}

void FxLock::Release() {
  if (owner_ == 0) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::LockReleasedByOther,
                              "lock '" + name_ + "' released while not held (" + g_context.activity + ")");
    return;
  }
  if (owner_ != g_context.id) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::LockReleasedByOther,
                              "lock '" + name_ + "' released by a context that does not hold it (" +
                                  g_context.activity + ")");
    return;
  }
  owner_ = 0;
  auto& held = g_context.heldLocks;
  held.erase(std::remove(held.begin(), held.end(), static_cast<const void*>(this)), held.end());
  g_context.irql = savedIrql_;
}

bool FxLock::HeldByCurrent() const { return owner_ != 0 && owner_ == g_context.id; }

bool FxLock::TryAcquireForCallback() {
  if (owner_ != 0 || !g_context.heldLocks.empty()) return false;
  Acquire();
  return true;
}

void ReleaseCallbackLock(FxLock* lock, const char* activity) {
  if (lock->HeldByCurrent()) {
    lock->Release();
    return;
  }
  kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::LockReleasedByOther,
                            std::string(activity) + " released the lock the framework holds for it");
}

namespace {

bool RunNow(FxLock* lock, const std::function<void()>& callback) {
  if (lock != nullptr) {
    if (!lock->TryAcquireForCallback()) return false;
    callback();
    ReleaseCallbackLock(lock, g_context.activity);
    return true;
  }
  ScopedIrql level(DISPATCH_LEVEL);
  callback();
  return true;
}

void RunOrRepost(FxLock* lock, const char* activity, std::function<void()> callback) {
  bool ran = false;
  {
    ScopedExecContext context(activity);
    ran = RunNow(lock, callback);
  }
  if (!ran) {
    // The lock belongs to a context that is not running (it waits, or the host holds it): try again a
    // moment later rather than spinning on ready work.
    Sched().PostAt(Sched().Now() + 1, [lock, activity, callback = std::move(callback)]() mutable {
      RunOrRepost(lock, activity, std::move(callback));
    });
  }
}

}  // namespace

bool RunSerialized(FxLock* lock, const char* activity, std::function<void()> callback) {
  const char* savedActivity = g_context.activity;
  g_context.activity = activity;
  bool ran = RunNow(lock, callback);
  g_context.activity = savedActivity;
  if (!ran) PostSerialized(lock, activity, std::move(callback));
  return ran;
}

std::uint64_t PostSerialized(FxLock* lock, const char* activity, std::function<void()> callback) {
  return Sched().Post([lock, activity, callback = std::move(callback)]() mutable {
    RunOrRepost(lock, activity, std::move(callback));
  });
}

std::uint64_t PostPassive(const char* activity, std::function<void()> callback) {
  return Sched().Post([activity, callback = std::move(callback)]() {
    ScopedExecContext context(activity);
    callback();
  });
}

bool CheckMayWait(const char* what) {
  if (!g_context.heldLocks.empty()) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WaitUnderLock,
                              std::string(what) + " waits while holding a lock (" + g_context.activity + ")");
    return false;
  }
  if (g_context.irql > PASSIVE_LEVEL) {
    kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WaitAtDispatch,
                              std::string(what) + " waits at DISPATCH_LEVEL (" + g_context.activity + ")");
    return false;
  }
  return true;
}

bool WaitUntil(const std::function<bool()>& done, LONGLONG deadline, const char* what) {
  auto& sched = Sched();
  // A wait without deadline that lets this much virtual time pass is taken as never satisfied (a
  // periodic timer alone keeps timed work pending forever).
  const LONGLONG giveUp = sched.Now() + 3600LL * 10000000LL;
  std::uint64_t readyRun = 0;
  while (!done()) {
    if (sched.RunOne()) {
      if (RunawayLimit() != 0 && ++readyRun >= RunawayLimit()) {
        kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::RunawayWork,
                                  std::string(what) + ": ready work never ends (" + g_context.activity + ")");
        return false;
      }
      continue;
    }
    readyRun = 0;
    LONGLONG next = sched.NextTimedDue();
    if (deadline != 0 && next > deadline) {
      // Nothing can happen before the deadline: the wait times out.
      sched.SetTimeForward(deadline);
      return done();
    }
    if (deadline == 0 && (next == MAXLONGLONG || next > giveUp)) {
      kmdf_host::ReportVerifier(kmdf_host::VerifierCheck::WaitNeverSatisfied,
                                std::string(what) + " waits for something no pending work brings (" +
                                    g_context.activity + ")");
      return false;
    }
    sched.AdvanceToNextTimed();
  }
  return true;
}

}  // namespace kmdf
