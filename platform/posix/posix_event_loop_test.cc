#include "platform/posix/posix_event_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace cw {
namespace {

struct Events : WindowEvents {
  std::vector<std::string> seen;
  void OnTimer(TimerId) override {}
  void OnResize() override {}
  void OnCloseRequest(int16_t reason) override {
    seen.push_back("close " + std::to_string(reason));
  }
  void OnTransferStateChanged(int16_t) override {}
  void OnServiceStart(bool&) override {}
  void OnServicePause(bool&) override {}
  void OnServiceContinue(bool&) override {}
  void OnServiceStop() override { seen.push_back("service stop"); }
};

TEST(PosixEventLoopTest, SignalsArriveAsCloseRequestsWithTheirReasons) {
  const struct {
    int signal;
    bool service_mode;
    const char* event;
  } cases[] = {
      {SIGINT, false, "close 0"},
      {SIGHUP, false, "close 2"},
      {SIGTERM, false, "close 3"},
      {SIGTERM, true, "service stop"},
  };
  PosixEventLoop loop;
  Events events;
  loop.Attach(&events, nullptr, nullptr);
  loop.SetTimerEnabled(TimerId::kSystem, false);
  loop.SetTimerEnabled(TimerId::kFileScan, false);
  for (const auto& c : cases) {
    events.seen.clear();
    if (c.service_mode) loop.RouteTermToServiceStop();
    kill(getpid(), c.signal);
    for (int i = 0; i < 200 && events.seen.empty(); ++i) {
      loop.ProcessPendingEvents();
      loop.Sleep(10);
    }
    EXPECT_EQ(events.seen, std::vector<std::string>{c.event}) << c.signal;
  }
}

}  // namespace
}  // namespace cw
