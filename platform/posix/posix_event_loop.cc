#include "platform/posix/posix_event_loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <exception>

#include "base/errors.h"

namespace cw {

PosixEventLoop::PosixEventLoop() : TimerLoop(&SteadyNow, nullptr) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGWINCH}) sigaddset(&set, signal);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) throw RelayError("cannot block signals");
  signal_fd_.Reset(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signal_fd_.valid()) throw RelayError("cannot create the signal descriptor");
  // A server that closes its end must not kill the process; libcurl sees the error instead.
  signal(SIGPIPE, SIG_IGN);
}

void PosixEventLoop::ReadSignals() {
  signalfd_siginfo info;
  while (read(signal_fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    const auto handler = on_signal_.find(static_cast<int>(info.ssi_signo));
    if (handler != on_signal_.end() && handler->second) handler->second();
  }
}

void PosixEventLoop::Turn(int max_wait_ms) {
  int timeout_ms = timers().MillisecondsToNext(max_wait_ms);
  if (before_wait_) timeout_ms = std::min(timeout_ms, before_wait_());
  // Only what is ready is read: a descriptor that is not would only answer EAGAIN.
  std::array<pollfd, 8> fds;
  std::array<const Source*, 8> owners{};
  unsigned count = 0;
  fds[count++] = {signal_fd_.get(), POLLIN, 0};
  for (const Source& source : sources_) {
    const int fd = source.descriptor();
    if (fd < 0 || count == fds.size()) continue;
    owners[count] = &source;
    fds[count++] = {fd, POLLIN, 0};
  }
  if (wait_) {
    wait_(fds.data(), count, timeout_ms);
  } else {
    poll(fds.data(), count, std::max(timeout_ms, 0));
  }
  if (fds[0].revents != 0) ReadSignals();
  for (unsigned i = 1; i < count; ++i) {
    if (fds[i].revents != 0) owners[i]->on_ready();
  }
  timers().RunDue();
}

void PosixEventLoop::Run() {
  for (;;) {
    // A failure of libcurl's machinery must not end an unattended relay; the transfer it hit
    // ends by its own time-out, and the loop goes on. The short sleep keeps a failure that
    // repeats from spinning.
    try {
      Turn(kMaxWaitMs);
    } catch (const std::exception&) {
      const timespec ts{0, 50 * 1000000L};
      nanosleep(&ts, nullptr);
    }
  }
}

}  // namespace cw
