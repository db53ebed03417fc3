#include "platform/posix/posix_event_loop.h"

#include "relay/pause.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <vector>

namespace cw {
namespace {

class Recorder : public WindowEvents {
 public:
  explicit Recorder(PosixEventLoop& loop) : loop_(loop) {}
  void OnTimer(TimerId timer) override {
    ticks.push_back(timer);
    if (timer == TimerId::kFileScan && inside_scan > 0) ++reentered;
    if (timer == TimerId::kFileScan && nested_pump) {
      ++inside_scan;
      // A handler pumping events re-entrantly, as a pause does.
      for (int i = 0; i < 30 && system_ticks_inside == 0; ++i) {
        loop_.ProcessPendingEvents();
        loop_.Sleep(10);
        loop_.ProcessPendingEvents();
        for (TimerId t : ticks) system_ticks_inside += t == TimerId::kSystem;
      }
      --inside_scan;
    }
  }
  void OnResize() override { ++resizes; }
  void OnCloseRequest(int16_t reason) override { reasons.push_back(reason); }
  void OnTransferStateChanged(int16_t) override {}
  void OnServiceStart(bool&) override {}
  void OnServicePause(bool&) override {}
  void OnServiceContinue(bool&) override {}
  void OnServiceStop() override { ++stops; }

  std::vector<TimerId> ticks;
  std::vector<int16_t> reasons;
  int resizes = 0;
  int stops = 0;
  bool nested_pump = false;
  int inside_scan = 0;
  int reentered = 0;
  int system_ticks_inside = 0;

 private:
  PosixEventLoop& loop_;
};

// Pumps until pred holds or about two seconds have passed.
template <typename Pred>
bool PumpUntil(PosixEventLoop& loop, Pred pred) {
  for (int i = 0; i < 200 && !pred(); ++i) {
    loop.ProcessPendingEvents();
    loop.Sleep(10);
  }
  loop.ProcessPendingEvents();
  return pred();
}

TEST(PosixEventLoopTest, TimersStartEnabledAndTickAfterTheirInterval) {
  PosixEventLoop loop;
  Recorder events(loop);
  loop.Attach(&events, nullptr, nullptr);
  EXPECT_TRUE(loop.TimerEnabled(TimerId::kSystem));
  EXPECT_EQ(loop.TimerInterval(TimerId::kSystem), 100);
  EXPECT_EQ(loop.TimerInterval(TimerId::kFileScan), 1000);
  loop.SetTimerEnabled(TimerId::kFileScan, false);
  loop.ProcessPendingEvents();
  EXPECT_TRUE(events.ticks.empty());  // nothing is due yet
  ASSERT_TRUE(PumpUntil(loop, [&] { return !events.ticks.empty(); }));
  EXPECT_EQ(events.ticks[0], TimerId::kSystem);
  EXPECT_THROW(loop.SetTimerInterval(TimerId::kSystem, -1), std::exception);
}

TEST(PosixEventLoopTest, IntervalZeroNeverTicksAndDisabledTimersStayQuiet) {
  PosixEventLoop loop;
  Recorder events(loop);
  loop.Attach(&events, nullptr, nullptr);
  loop.SetTimerInterval(TimerId::kSystem, 0);
  loop.SetTimerEnabled(TimerId::kFileScan, false);
  for (int i = 0; i < 20; ++i) {
    loop.Sleep(10);
    loop.ProcessPendingEvents();
  }
  EXPECT_TRUE(events.ticks.empty());
}

TEST(PosixEventLoopTest, HandlersMayPumpEventsInsideATick) {
  PosixEventLoop loop;
  Recorder events(loop);
  events.nested_pump = true;
  loop.Attach(&events, nullptr, nullptr);
  loop.SetTimerInterval(TimerId::kFileScan, 20);
  loop.SetTimerInterval(TimerId::kSystem, 60);
  ASSERT_TRUE(PumpUntil(loop, [&] { return events.system_ticks_inside > 0; }));
  // The scan timer's 20 ms ticks are not delivered into its own running handler.
  EXPECT_EQ(events.reentered, 0);
}

TEST(PosixEventLoopTest, SignalsBecomeCloseRequestsWithTheirReasons) {
  PosixEventLoop loop;
  Recorder events(loop);
  loop.Attach(&events, nullptr, nullptr);
  loop.SetTimerEnabled(TimerId::kSystem, false);
  loop.SetTimerEnabled(TimerId::kFileScan, false);
  kill(getpid(), SIGINT);
  ASSERT_TRUE(PumpUntil(loop, [&] { return events.reasons.size() == 1; }));
  kill(getpid(), SIGHUP);
  ASSERT_TRUE(PumpUntil(loop, [&] { return events.reasons.size() == 2; }));
  kill(getpid(), SIGTERM);
  ASSERT_TRUE(PumpUntil(loop, [&] { return events.reasons.size() == 3; }));
  EXPECT_EQ(events.reasons, (std::vector<int16_t>{0, 2, 3}));
  loop.RouteTermToServiceStop();
  kill(getpid(), SIGTERM);
  ASSERT_TRUE(PumpUntil(loop, [&] { return events.stops == 1; }));
  EXPECT_EQ(events.reasons.size(), 3u);
}

}  // namespace
}  // namespace cw

namespace cw {
namespace {

// The timed pause on the real loop: it lasts about its length, and a signal that arrives during
// it runs its handler inside the pause.
class PauseEvents : public Recorder {
 public:
  PauseEvents(PosixEventLoop& loop, int32_t& ticks) : Recorder(loop), loop_(loop), ticks_(ticks) {}
  void OnTimer(TimerId timer) override {
    if (timer == TimerId::kSystem) SystemTimerTick(loop_, ticks_);
  }

 private:
  PosixEventLoop& loop_;
  int32_t& ticks_;
};

TEST(PosixEventLoopTest, PauseOnTheRealLoopHandlesSignalsInside) {
  PosixEventLoop loop;
  int32_t ticks = 0;
  PauseEvents events(loop, ticks);
  loop.Attach(&events, nullptr, nullptr);
  loop.SetTimerEnabled(TimerId::kFileScan, false);
  kill(getpid(), SIGHUP);
  const auto start = std::chrono::steady_clock::now();
  PauseSeconds(loop, ticks, 1);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(events.reasons, std::vector<int16_t>{2});
  EXPECT_GE(seconds, 0.95);
  EXPECT_LT(seconds, 10);  // only a hang fails here
  EXPECT_FALSE(loop.TimerEnabled(TimerId::kSystem));
}

}  // namespace
}  // namespace cw
