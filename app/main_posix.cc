// The program entry on Linux: builds the platform, loads the main window and runs the loop.
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>

#include "app/corbelwynford_main.h"
#include "platform/posix/curl_transfer.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_event_loop.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_process.h"
#include "platform/posix/systemd_service_host.h"
#include "platform/posix/terminal_window.h"

namespace {

constexpr char kUsage[] =
    "Usage: corbelwynford [switch]\n"
    "Relays each line of the incoming-message file as an HTTP POST, as set in\n"
    "Corbelwynford.INI next to the executable.\n"
    "  (no switch)  run; with a terminal, a live log window (q closes it)\n"
    "  --help       this text\n"
    "  --version    the version\n"
    "The service is registered and removed with the program's own switches, described in the\n"
    "README.\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s\n", cw::kVersionText);
      return 0;
    }
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
  cw::Platform platform{window, loop, inet, service, files, profile, clock, process};

  cw::Corbelwynford_Main form(platform);
  handlers = &form;
  loop.Attach(&form, &inet, &window);
  form.Form_Load();
  form.Form_Resize();  // the window is shown
  loop.Run();
}
