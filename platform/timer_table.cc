#include "platform/timer_table.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "base/errors.h"

namespace cw {

using std::chrono::milliseconds;

// What the loop hands out: each call changes its entry in the table.
class TimerTable::Handle final : public Timer {
 public:
  Handle(TimerTable& table, int id) : table_(table), id_(id) {}
  ~Handle() override { table_.entries_.erase(id_); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  void Restart(milliseconds interval) override {
    if (interval.count() < 0) throw RelayError("A timer's interval cannot be negative");
    Entry& entry = Get();
    entry.interval = interval;
    entry.started = true;
    entry.due = table_.now_() + interval;
    table_.Changed();
  }
  void Stop() override {
    Get().started = false;
    table_.Changed();
  }
  void FireNow() override {
    Entry& entry = Get();
    if (Ticks(entry)) entry.due = table_.now_();
    table_.Changed();
  }

 private:
  Entry& Get() { return table_.entries_.at(id_); }
  TimerTable& table_;
  const int id_;
};

TimerTable::TimerTable(std::function<TimePoint()> now, std::function<void()> changed)
    : now_(std::move(now)), changed_(std::move(changed)) {}

std::unique_ptr<Timer> TimerTable::Add(milliseconds interval, std::function<void()> on_tick) {
  const int id = next_id_++;
  entries_[id] = {interval, true, now_() + interval, false, std::move(on_tick)};
  Changed();
  return std::make_unique<Handle>(*this, id);
}

void TimerTable::RunDue() {
  std::vector<int> due;
  const TimePoint now = now_();
  for (const auto& [id, entry] : entries_) {
    if (Ticks(entry) && entry.due <= now) due.push_back(id);
  }
  for (int id : due) {
    // A handler before this one may have removed or changed it.
    auto it = entries_.find(id);
    if (it == entries_.end() || !Ticks(it->second) || now < it->second.due) continue;
    it->second.due = now + it->second.interval;
    it->second.running = true;
    // A copy: the handler may remove its own timer.
    const std::function<void()> on_tick = it->second.on_tick;
    auto finished = [&] {
      if (auto left = entries_.find(id); left != entries_.end()) left->second.running = false;
    };
    try {
      on_tick();
    } catch (...) {
      finished();
      Changed();
      throw;
    }
    finished();
  }
  Changed();
}

int TimerTable::MillisecondsToNext(int cap) const {
  long long wait = cap < 0 ? LLONG_MAX : cap;  // no cap: only the timers bound the wait
  const TimePoint now = now_();
  for (const auto& [id, entry] : entries_) {
    if (!Ticks(entry)) continue;
    // Rounded up, so a loop never wakes a little early and spins until the timer is due.
    const long long left = std::chrono::ceil<milliseconds>(entry.due - now).count();
    wait = std::min(wait, std::max(left, 0LL));
  }
  return wait == LLONG_MAX ? -1 : static_cast<int>(std::min<long long>(wait, INT_MAX));
}

void TimerLoop::RunUntil(TimePoint deadline, const std::function<bool()>& done) {
  for (TimePoint now = Now(); now < deadline && !(done && done()); now = Now()) {
    const long long left = std::chrono::ceil<milliseconds>(deadline - now).count();
    Turn(static_cast<int>(std::min<long long>(left, kMaxWaitMs)));
  }
}

}  // namespace cw
