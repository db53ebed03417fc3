#include "platform/posix/posix_event_loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "base/errors.h"
#include "platform/posix/curl_transfer.h"
#include "platform/posix/inotify_watch.h"
#include "platform/posix/terminal_window.h"

namespace cw {
namespace {

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
                            TerminalWindow* terminal, InotifyWatch* watch) {
  handlers_ = handlers;
  transfer_ = transfer;
  terminal_ = terminal;
  watch_ = watch;
}

void PosixEventLoop::SetTimerInterval(TimerId timer, int32_t milliseconds) {
  timers_.SetInterval(timer, milliseconds, Clock::now());
}

void PosixEventLoop::SetTimerEnabled(TimerId timer, bool enabled) {
  timers_.SetEnabled(timer, enabled, Clock::now());
}

void PosixEventLoop::ReadSignals() {
  signalfd_siginfo info;
  while (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (handlers_ == nullptr) continue;
    switch (info.ssi_signo) {
      case SIGINT:
        handlers_->OnCloseRequest(kCloseByPerson);
        break;
      case SIGHUP:
        handlers_->OnCloseRequest(kCloseBySessionEnd);
        break;
      case SIGTERM:
        if (term_is_service_stop_) {
          handlers_->OnServiceStop();
        } else {
          handlers_->OnCloseRequest(kCloseByTaskManager);
        }
        break;
      case SIGWINCH:
        if (terminal_ != nullptr && terminal_->FollowTerminalSize()) handlers_->OnResize();
        break;
    }
  }
}

void PosixEventLoop::ProcessPendingEvents() {
  if (transfer_ != nullptr) {
    transfer_->Perform();
    transfer_->Report();
  }
  // After a wait that found the signal and watch descriptors idle, reading them would only be
  // told EAGAIN; whatever comes later keeps them ready for the next wait.
  const bool quiet = std::exchange(quiet_wait_, false);
  if (!quiet) ReadSignals();
  if (terminal_ != nullptr && handlers_ != nullptr) {
    if (terminal_->ReadCloseKey()) handlers_->OnCloseRequest(kCloseByPerson);
  }
  // The incoming file appeared: the scan runs now, unless one is running already.
  if (!quiet && watch_ != nullptr && watch_->ReadAppeared())
    timers_.FireNow(TimerId::kFileScan, Clock::now());
  timers_.RunDue(Clock::now(), [this](TimerId id) {
    if (handlers_ != nullptr) handlers_->OnTimer(id);
  });
  if (terminal_ != nullptr) terminal_->Redraw();
}

void PosixEventLoop::Sleep(int milliseconds) {
  const auto end = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now);
    if (transfer_ != nullptr) {
      // With nothing running libcurl's wait simply sleeps.
      transfer_->Wait(nullptr, 0, static_cast<int>(left.count()));
      transfer_->Perform();
    } else {
      const timespec ts{left.count() / 1000, (left.count() % 1000) * 1000000L};
      nanosleep(&ts, nullptr);
    }
  }
}

void PosixEventLoop::WaitForEvents(int timeout_ms) {
  curl_waitfd fds[3];
  unsigned count = 0;
  fds[count++] = {signal_fd_, CURL_WAIT_POLLIN, 0};
  if (terminal_ != nullptr && terminal_->KeyDescriptor() >= 0)
    fds[count++] = {terminal_->KeyDescriptor(), CURL_WAIT_POLLIN, 0};
  if (watch_ != nullptr && watch_->Descriptor() >= 0)
    fds[count++] = {watch_->Descriptor(), CURL_WAIT_POLLIN, 0};
  if (transfer_ != nullptr) {
    transfer_->Wait(fds, count, timeout_ms);
  } else {
    PollDescriptors(fds, count, timeout_ms);
  }
  quiet_wait_ =
      std::all_of(fds, fds + count, [](const curl_waitfd& fd) { return fd.revents == 0; });
}

void PosixEventLoop::Run() {
  for (;;) {
    // A failure of libcurl's machinery must not end an unattended relay; the transfer it hit
    // ends by its own time-out, and the loop goes on. The short sleep keeps a failure that
    // repeats from spinning.
    try {
      ProcessPendingEvents();
      int timeout = timers_.MillisecondsToNext(Clock::now(), kMaxWaitMs);
      if (terminal_ != nullptr)
        timeout = std::min(timeout, terminal_->MillisecondsToNextClockChange());
      WaitForEvents(timeout);
    } catch (const std::exception&) {
      const timespec ts{0, 50 * 1000000L};
      nanosleep(&ts, nullptr);
    }
  }
}

}  // namespace cw
