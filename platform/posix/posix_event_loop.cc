#include "platform/posix/posix_event_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "platform/errors.h"
#include "platform/posix/curl_transfer.h"
#include "platform/posix/terminal_window.h"

namespace cw {
namespace {

// Close reasons of a close request.
constexpr int16_t kReasonPerson = 0;
constexpr int16_t kReasonSessionEnd = 2;
constexpr int16_t kReasonTaskManager = 3;

// The longest the loop sleeps without a timer due; it bounds the damage of a missed wake-up.
constexpr int kMaxWaitMs = 60000;

sigset_t LoopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGWINCH);
  return set;
}

}  // namespace

PosixEventLoop::PosixEventLoop() {
  const auto now = Clock::now();
  // As created with the window: the system timer at 100 ms, the scan timer at 1000 ms, both on.
  timers_[0] = {100, true, now + std::chrono::milliseconds(100)};
  timers_[1] = {1000, true, now + std::chrono::milliseconds(1000)};
  sigset_t set = LoopSignals();
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) throw RelayError("cannot block signals");
  signal_fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd_ < 0) throw RelayError("cannot create the signal descriptor");
  // A server that closes its end must not kill the process; libcurl sees the error instead.
  signal(SIGPIPE, SIG_IGN);
}

PosixEventLoop::~PosixEventLoop() {
  if (signal_fd_ >= 0) close(signal_fd_);
}

void PosixEventLoop::Attach(WindowEvents* handlers, CurlTransfer* transfer,
                            TerminalWindow* terminal) {
  handlers_ = handlers;
  transfer_ = transfer;
  terminal_ = terminal;
}

void PosixEventLoop::SetTimerInterval(TimerId timer, int32_t milliseconds) {
  if (milliseconds < 0) throw RelayError("negative timer interval");
  Timer& t = At(timer);
  t.interval_ms = milliseconds;
  t.due = Clock::now() + std::chrono::milliseconds(milliseconds);
}

int32_t PosixEventLoop::TimerInterval(TimerId timer) const { return At(timer).interval_ms; }

void PosixEventLoop::SetTimerEnabled(TimerId timer, bool enabled) {
  Timer& t = At(timer);
  if (enabled && !t.enabled) t.due = Clock::now() + std::chrono::milliseconds(t.interval_ms);
  t.enabled = enabled;
}

bool PosixEventLoop::TimerEnabled(TimerId timer) const { return At(timer).enabled; }

void PosixEventLoop::ReadSignals() {
  signalfd_siginfo info;
  while (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (handlers_ == nullptr) continue;
    switch (info.ssi_signo) {
      case SIGINT:
        handlers_->OnCloseRequest(kReasonPerson);
        break;
      case SIGHUP:
        handlers_->OnCloseRequest(kReasonSessionEnd);
        break;
      case SIGTERM:
        if (term_is_service_stop_) {
          handlers_->OnServiceStop();
        } else {
          handlers_->OnCloseRequest(kReasonTaskManager);
        }
        break;
      case SIGWINCH:
        if (terminal_ != nullptr && terminal_->FollowTerminalSize()) handlers_->OnResize();
        break;
    }
  }
}

void PosixEventLoop::RunDueTimers() {
  for (TimerId id : {TimerId::kSystem, TimerId::kFileScan}) {
    Timer& t = At(id);
    if (!t.enabled || t.interval_ms == 0 || t.running || Clock::now() < t.due) continue;
    // Re-armed before the handler runs, so a handler that sets the interval or disables the
    // timer has the last word.
    t.due = Clock::now() + std::chrono::milliseconds(t.interval_ms);
    if (handlers_ == nullptr) continue;
    t.running = true;
    try {
      handlers_->OnTimer(id);
    } catch (...) {
      t.running = false;
      throw;
    }
    t.running = false;
  }
}

void PosixEventLoop::ProcessPendingEvents() {
  if (transfer_ != nullptr) transfer_->Drive();
  ReadSignals();
  if (terminal_ != nullptr && handlers_ != nullptr) {
    if (terminal_->ReadCloseKey()) handlers_->OnCloseRequest(kReasonPerson);
  }
  RunDueTimers();
  if (terminal_ != nullptr) terminal_->Redraw();
}

void PosixEventLoop::Sleep(int milliseconds) {
  timespec ts{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int PosixEventLoop::MillisecondsToNextTimer(int cap) const {
  const auto now = Clock::now();
  int wait = cap;
  for (const Timer& t : timers_) {
    if (!t.enabled || t.interval_ms == 0 || t.running) continue;
    // Rounded up, so the loop never wakes a little early and spins until the timer is due.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(t.due - now).count();
    wait = std::min<long long>(wait, std::max<long long>(left, 0));
  }
  return wait;
}

void PosixEventLoop::WaitForEvents(int timeout_ms) {
  pollfd fds[2];
  unsigned count = 0;
  fds[count++] = {signal_fd_, POLLIN, 0};
  if (terminal_ != nullptr && terminal_->KeyDescriptor() >= 0)
    fds[count++] = {terminal_->KeyDescriptor(), POLLIN, 0};
  if (transfer_ != nullptr) {
    curl_waitfd extra[2];
    for (unsigned i = 0; i < count; ++i) extra[i] = {fds[i].fd, CURL_WAIT_POLLIN, 0};
    transfer_->Wait(extra, count, timeout_ms);
  } else {
    poll(fds, count, timeout_ms);
  }
}

void PosixEventLoop::Run() {
  for (;;) {
    // A failure of libcurl's machinery must not end an unattended relay; the transfer it hit
    // ends by its own time-out, and the loop goes on. The short sleep keeps a failure that
    // repeats from spinning.
    try {
      ProcessPendingEvents();
      int timeout = MillisecondsToNextTimer(kMaxWaitMs);
      if (terminal_ != nullptr)
        timeout = std::min(timeout, terminal_->MillisecondsToNextClockChange());
      WaitForEvents(timeout);
    } catch (const std::exception&) {
      Sleep(50);
    }
  }
}

}  // namespace cw
