// The scheduler that runs all pending work of the simulated machine: DPCs, timer expiries, request
// completions, queue dispatch, cancel routines and device-side events. Time is a virtual clock in
// 100-ns units; nothing reads the wall clock.
//
// The single-threaded implementation runs tasks one at a time in a deterministic order: ready tasks in
// the order they were posted, timed tasks in order of due time (then posting order) once the clock
// reaches them. A wait at PASSIVE_LEVEL runs the scheduler until its condition holds. The interface
// leaves room for a multi-threaded implementation that runs ready tasks on several threads.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace kmdf_host {

using Task = std::function<void()>;
using TaskId = std::uint64_t;

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  virtual LONGLONG Now() const = 0;                  // virtual system time, 100-ns units
  virtual TaskId Post(Task t) = 0;                   // run soon, FIFO among ready work
  virtual TaskId PostAt(LONGLONG due, Task t) = 0;   // run when the clock reaches due
  virtual bool Cancel(TaskId id) = 0;                // false if already ran or unknown
  virtual bool RunOne() = 0;                         // runs one ready task; false if none ready
  virtual void RunUntilIdle() = 0;                   // runs ready work, never moves the clock
  virtual void AdvanceBy(ULONG milliseconds) = 0;    // moves the clock, running work in time order
};

// The scheduler of the current system (replaced by ResetSystem).
Scheduler& CurrentScheduler();

// Deterministic single-threaded scheduler on a virtual clock.
class VirtualScheduler : public Scheduler {
 public:
  explicit VirtualScheduler(LONGLONG startTime);
  ~VirtualScheduler() override;

  LONGLONG Now() const override;
  TaskId Post(Task t) override;
  TaskId PostAt(LONGLONG due, Task t) override;
  bool Cancel(TaskId id) override;
  bool RunOne() override;
  void RunUntilIdle() override;
  void AdvanceBy(ULONG milliseconds) override;

  // Moves the clock to the due time of the earliest timed task (never backwards) and makes it ready.
  // False when no timed task exists.
  bool AdvanceToNextTimed();
  // Moves the clock forward to `time` (no task runs).
  void SetTimeForward(LONGLONG time);
  // Due time of the earliest timed task, or MAXLONGLONG when there is none.
  LONGLONG NextTimedDue() const;
  bool HasReadyWork() const;
  bool HasTimedWork() const;
  std::size_t PendingCount() const;
  // RunUntilIdle and AdvanceBy stop after this many tasks without reaching idle (work that keeps
  // queuing itself), calling the runaway handler; 0 disables the limit.
  void SetRunawayLimit(std::uint64_t tasks, std::function<void()> onRunaway);
  // Every task runs through this wrapper when set (the layer gives each task a fresh execution
  // context at PASSIVE_LEVEL).
  void SetTaskWrapper(std::function<void(const Task&)> wrapper);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kmdf_host
