// The program entry on Linux: builds the platform, loads the main window and runs the loop.
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <exception>
#include <string>

#include "app/corbelwynford_main.h"
#include "platform/posix/curl_transfer.h"
#include "platform/posix/inotify_watch.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_process.h"
#include "platform/posix/systemd_service_host.h"
#include "platform/posix/terminal_window.h"

namespace {

int Run(int argc, char** argv) {
  switch (cw::ActionFor(cw::PosixProcess::ArgumentText(argc, argv))) {
    case cw::EntryAction::kShowHelp:
      std::fputs(cw::kUsageText, stdout);
      return 0;
    case cw::EntryAction::kShowVersion:
      std::printf("%s\n", cw::kVersionText);
      return 0;
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
  cw::PosixProfileReader profile;
  cw::WindowEvents* handlers = nullptr;
  cw::CurlTransfer inet([&handlers](int16_t state) {
    if (handlers != nullptr) handlers->OnTransferStateChanged(state);
  });
  cw::SystemdServiceHost service(cw::PosixProcess::ExecutablePath(),
                                 [&loop] { loop.RouteTermToServiceStop(); });
  cw::InotifyWatch watch;
  cw::Platform platform{window, loop, inet, service, files, profile, clock, process, watch};

  cw::Corbelwynford_Main form(platform);
  handlers = &form;
  loop.Attach(&form, &inet, &window, &watch);
  try {
    form.Form_Load();
    form.Form_Resize();  // the window is shown
    loop.Run();
  } catch (const std::exception& error) {
    // Into the log while it still works; unwinding then gives the terminal back.
    form.LogRunTimeError(error.what());
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
