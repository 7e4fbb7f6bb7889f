// The deterministic single-threaded scheduler on a virtual clock.
#include <kmdf_host/scheduler.h>

#include <deque>
#include <map>
#include <unordered_map>

namespace kmdf_host {

struct VirtualScheduler::Impl {
  LONGLONG now = 0;
  TaskId nextId = 1;
  std::uint64_t nextSequence = 1;
  std::deque<std::pair<TaskId, Task>> ready;
  // Timed tasks by (due, sequence).
  std::map<std::pair<LONGLONG, std::uint64_t>, std::pair<TaskId, Task>> timed;
  std::unordered_map<TaskId, std::pair<LONGLONG, std::uint64_t>> timedIndex;
  std::function<void(const Task&)> wrapper;
  std::uint64_t runawayLimit = 0;
  std::function<void()> onRunaway;

  // Runs ready work until idle; false when the runaway limit stopped it.
  bool Drain(VirtualScheduler& self) {
    std::uint64_t count = 0;
    while (self.RunOne()) {
      if (runawayLimit != 0 && ++count >= runawayLimit) {
        if (onRunaway) onRunaway();
        return false;
      }
    }
    return true;
  }

  void PromoteDue() {
    while (!timed.empty() && timed.begin()->first.first <= now) {
      auto node = timed.extract(timed.begin());
      timedIndex.erase(node.mapped().first);
      ready.push_back(std::move(node.mapped()));
    }
  }
};

VirtualScheduler::VirtualScheduler(LONGLONG startTime) : impl_(std::make_unique<Impl>()) { impl_->now = startTime; }
VirtualScheduler::~VirtualScheduler() = default;

LONGLONG VirtualScheduler::Now() const { return impl_->now; }

TaskId VirtualScheduler::Post(Task t) {
  TaskId id = impl_->nextId++;
  impl_->ready.emplace_back(id, std::move(t));
  return id;
}

TaskId VirtualScheduler::PostAt(LONGLONG due, Task t) {
  TaskId id = impl_->nextId++;
  auto key = std::make_pair(due, impl_->nextSequence++);
  impl_->timed.emplace(key, std::make_pair(id, std::move(t)));
  impl_->timedIndex.emplace(id, key);
  return id;
}

bool VirtualScheduler::Cancel(TaskId id) {
  auto it = impl_->timedIndex.find(id);
  if (it != impl_->timedIndex.end()) {
    impl_->timed.erase(it->second);
    impl_->timedIndex.erase(it);
    return true;
  }
  for (auto r = impl_->ready.begin(); r != impl_->ready.end(); ++r) {
    if (r->first == id) {
      impl_->ready.erase(r);
      return true;
    }
  }
  return false;
}

bool VirtualScheduler::RunOne() {
  impl_->PromoteDue();
  if (impl_->ready.empty()) return false;
  Task task = std::move(impl_->ready.front().second);
  impl_->ready.pop_front();
  if (impl_->wrapper) {
    impl_->wrapper(task);
  } else {
    task();
  }
  return true;
}

void VirtualScheduler::RunUntilIdle() { (void)impl_->Drain(*this); }

void VirtualScheduler::SetRunawayLimit(std::uint64_t tasks, std::function<void()> onRunaway) {
  impl_->runawayLimit = tasks;
  impl_->onRunaway = std::move(onRunaway);
}

void VirtualScheduler::AdvanceBy(ULONG milliseconds) {
  LONGLONG target = impl_->now + static_cast<LONGLONG>(milliseconds) * 10000;
  if (!impl_->Drain(*this)) return;
  while (!impl_->timed.empty() && impl_->timed.begin()->first.first <= target) {
    if (impl_->timed.begin()->first.first > impl_->now) impl_->now = impl_->timed.begin()->first.first;
    if (!impl_->Drain(*this)) return;
  }
  if (impl_->now < target) impl_->now = target;
  (void)impl_->Drain(*this);
}

bool VirtualScheduler::AdvanceToNextTimed() {
  if (impl_->timed.empty()) return false;
  LONGLONG due = impl_->timed.begin()->first.first;
  if (due > impl_->now) impl_->now = due;
  impl_->PromoteDue();
  return true;
}

void VirtualScheduler::SetTimeForward(LONGLONG time) {
  if (time > impl_->now) impl_->now = time;
}

LONGLONG VirtualScheduler::NextTimedDue() const {
  return impl_->timed.empty() ? MAXLONGLONG : impl_->timed.begin()->first.first;
}

bool VirtualScheduler::HasReadyWork() const {
  return !impl_->ready.empty() || (!impl_->timed.empty() && impl_->timed.begin()->first.first <= impl_->now);
}

bool VirtualScheduler::HasTimedWork() const { return !impl_->timed.empty(); }

std::size_t VirtualScheduler::PendingCount() const { return impl_->ready.size() + impl_->timed.size(); }

void VirtualScheduler::SetTaskWrapper(std::function<void(const Task&)> wrapper) { impl_->wrapper = std::move(wrapper); }

}  // namespace kmdf_host
