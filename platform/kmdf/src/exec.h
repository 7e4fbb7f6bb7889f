// Execution contexts, levels and locks of the simulated machine.
//
// Every piece of work runs in an execution context: the test's own context, or a fresh one per
// scheduler task. A context has a current level (PASSIVE_LEVEL or DISPATCH_LEVEL) and the list of locks
// it holds. The framework raises to DISPATCH_LEVEL and takes the device lock around the callbacks it
// serialises; the verifier checks waits, lock re-entry and release by another context against this.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kmdf {

class FxLock;

struct ExecContext {
  std::uint64_t id = 0;
  KIRQL irql = PASSIVE_LEVEL;
  KIRQL baseIrql = PASSIVE_LEVEL;
  std::vector<const void*> heldLocks;  // FxLock or KSPIN_LOCK addresses, in acquisition order
  const char* activity = "host";       // what the context is running, for reports
};

ExecContext& CurrentContext();
bool HoldsAnyLock();
void ResetExecContexts();

// Runs in a new execution context at PASSIVE_LEVEL with no lock; restores the previous context after.
// Reports locks still held when the work returns.
class ScopedExecContext {
 public:
  explicit ScopedExecContext(const char* activity);
  ~ScopedExecContext();
  ScopedExecContext(const ScopedExecContext&) = delete;
  ScopedExecContext& operator=(const ScopedExecContext&) = delete;

 private:
  ExecContext saved_;
};

// Raises the current context's level for the scope (never lowers it).
class ScopedIrql {
 public:
  explicit ScopedIrql(KIRQL level);
  ~ScopedIrql();

 private:
  KIRQL old_;
};

// The synchronisation lock of a device or queue: a spin lock, taken at DISPATCH_LEVEL.
class FxLock {
 public:
  explicit FxLock(std::string name) : name_(std::move(name)) {}
  // Reports re-entry by the holder (and does not take it again). Must be free otherwise.
  void Acquire();
  // Reports a release by a context that does not hold it.
  void Release();
  bool HeldByCurrent() const;
  bool Held() const { return owner_ != 0; }
  // Takes the lock when free and the caller holds no lock of its own; false otherwise.
  bool TryAcquireForCallback();
  const std::string& Name() const { return name_; }

 private:
  std::string name_;
  std::uint64_t owner_ = 0;
  KIRQL savedIrql_ = PASSIVE_LEVEL;
};

// Releases the lock the framework took around a callback; reports a callback that released it itself.
void ReleaseCallbackLock(FxLock* lock, const char* activity);

// Runs `callback` at DISPATCH_LEVEL in the current context, under `lock` when it is not null. When the
// lock cannot be taken now (held by a suspended context, or the current context holds a lock), the
// callback is posted to the scheduler and runs as soon as the lock is free. Returns true if it ran now.
bool RunSerialized(FxLock* lock, const char* activity, std::function<void()> callback);

// Posts work that runs in a fresh execution context at DISPATCH_LEVEL (under `lock` when not null).
std::uint64_t PostSerialized(FxLock* lock, const char* activity, std::function<void()> callback);
// Posts work that runs in a fresh execution context at PASSIVE_LEVEL.
std::uint64_t PostPassive(const char* activity, std::function<void()> callback);

// Wait helpers for PASSIVE_LEVEL waits: check the level and locks (reporting misuse), then run the
// scheduler until `done` holds: ready work first, then the clock moves to the next timed work. A
// deadline (absolute, 0 for none) ends the wait with false when the clock passes it. A wait that no
// pending work can end is reported and returns false. `what` names the waiting call in reports.
bool WaitUntil(const std::function<bool()>& done, LONGLONG deadline, const char* what);
// True when the current context may wait; reports misuse otherwise.
bool CheckMayWait(const char* what);

}  // namespace kmdf
