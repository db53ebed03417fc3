// The program entry on Linux: builds the platform, loads the main window and runs the loop.
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <exception>
#include <string>

#include "app/command_line.h"
#include "app/feed_posix.h"
#include "app/program.h"
#include "platform/kept_profile.h"
#include "platform/posix/curl_transfer.h"
#include "platform/posix/inotify_watch.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_process.h"
#include "platform/posix/systemd_service_host.h"
#include "platform/posix/terminal_window.h"

namespace {

// What each signal and source of the loop does in the program. SIGTERM's meaning
// depends on whether the service has started by then, which is asked when it comes.
void WireEvents(cw::PosixEventLoop& loop, cw::Program& program, cw::TerminalWindow& window,
                cw::InotifyWatch& watch, cw::CurlTransfer& transfer,
                const cw::SystemdServiceHost& service) {
  loop.OnSignal(SIGINT, [&] { program.OnCloseRequest(cw::kCloseByPerson); });
  loop.OnSignal(SIGHUP, [&] { program.OnCloseRequest(cw::kCloseBySessionEnd); });
  // Once the service has started, SIGTERM is the service manager's stop; before, or in
  // application mode, it is a process manager's. Either lets the message in flight finish.
  loop.OnSignal(SIGTERM, [&] {
    if (service.Started()) {
      program.OnServiceStop();
    } else {
      program.OnStopRequest(cw::kCloseByTaskManager);
    }
  });
  loop.OnSignal(SIGWINCH, [&] { window.FollowTerminalSize(); });
  loop.AddSource([&] { return window.KeyDescriptor(); },
                 [&] {
                   if (window.ReadCloseKey()) program.OnCloseRequest(cw::kCloseByPerson);
                 });
  // The incoming file appeared: the scan runs now, unless one is running already.
  loop.AddSource([&] { return watch.Descriptor(); },
                 [&] {
                   if (watch.ReadAppeared()) program.OnFileAppeared();
                 });
  loop.BeforeWait([&] {
    window.Redraw();
    return window.MillisecondsToNextClockChange();
  });
  loop.SetWait(
      [&](pollfd* fds, unsigned count, int timeout_ms) { transfer.Wait(fds, count, timeout_ms); });
}

int Run(int argc, char** argv) {
  switch (cw::ActionFor(cw::PosixProcess::ArgumentText(argc, argv))) {
    case cw::EntryAction::kShowHelp:
      std::fputs(cw::kUsageText, stdout);
      return 0;
    case cw::EntryAction::kShowVersion:
      std::printf("%s\n", cw::kVersionText);
      return 0;
    case cw::EntryAction::kFeed:
      return cw::FeedFromCommandLine(argc, argv, 2);
    case cw::EntryAction::kRun:
      break;
  }
  std::setlocale(LC_ALL, "");
  // One line of the log per write, so a journal or a pipe sees each entry as it happens.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // The loop first: it blocks the signals it reads before any thread exists.
  cw::PosixEventLoop loop;
  cw::TerminalWindow window(isatty(STDIN_FILENO) && isatty(STDOUT_FILENO), stdout);
  cw::PosixProcess process(argc, argv, [&window] { window.Shutdown(); });
  cw::PosixClock clock;
  cw::PosixFileSystem files;
  cw::KeptProfileReader profile(files);
  cw::CurlTransfer transfer;
  cw::SystemdServiceHost service(cw::PosixProcess::ExecutablePath(), "systemctl");
  cw::InotifyWatch watch;
  cw::Platform platform{window, loop, transfer, service, files, profile, clock, process, watch};
  cw::Program program(platform);

  WireEvents(loop, program, window, watch, transfer, service);
  try {
    program.Start();
    loop.Run();
  } catch (const std::exception& error) {
    // Into the log while it still works; unwinding then gives the terminal back.
    program.LogRunTimeError(error.what());
    throw;
  }
  return 0;
}

// Standard error is written only after the window has given the terminal back.
int EndWithError(const std::string& what) {
  const std::string line =
      std::string(cw::kProgramTitle) + ": " + cw::RunTimeErrorText(what) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& error) {
    return EndWithError(error.what());
  } catch (...) {
    return EndWithError("unknown error");
  }
}
