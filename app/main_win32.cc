// The program entry on Windows: builds the platform, loads the main window and runs its message
// loop. Everything runs on this, the window's, thread; WinHTTP's callbacks and the service
// manager's controls are posted to it as messages.
#include <exception>
#include <string>

#include "app/corbelwynford_main.h"
#include "platform/win32/scm_service_host.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_event_loop.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_process.h"
#include "platform/win32/win32_window.h"
#include "platform/win32/winhttp_transfer.h"

namespace {

cw::ScmServiceHost* g_service = nullptr;
cw::Corbelwynford_Main* g_form = nullptr;

// An error that no handler caught ends the program with a run-time error message, as an
// unguarded handler's error does; in service mode nobody would see the box, so it just ends.
[[noreturn]] void RunTimeError(const std::string& what) {
  const bool in_service = g_form != nullptr && g_form->Procs().RunAsService;
  if (!in_service && cw::CanShowMessageBox()) {
    const std::string text = "Run-time error:\n\n" + what;
    MessageBoxA(nullptr, text.c_str(), cw::kProgramTitle, MB_OK | MB_ICONSTOP | MB_TASKMODAL);
  }
  if (g_service != nullptr) g_service->ReportStopped();
  ExitProcess(1);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int show_command) {
  try {
    const std::string executable = cw::Win32Process::ExecutablePath();
    std::string folder = cw::FolderOf(executable);
    if (folder.empty() || folder.back() != '\\') folder += '\\';

    cw::Win32Window window(instance, folder);
    const HWND hwnd = window.Handle();
    cw::Win32EventLoop loop(window);
    cw::ScmServiceHost service(executable, [hwnd](WPARAM control) {
      PostMessageA(hwnd, cw::kMsgServiceControl, control, 0);
    });
    g_service = &service;
    cw::Win32Process process([&service] { service.ReportStopped(); });
    cw::Win32Clock clock;
    cw::Win32FileSystem files;
    cw::Win32ProfileReader profile;
    cw::WindowEvents* handlers = nullptr;
    cw::WinHttpTransfer inet(hwnd, [&handlers](int16_t state) {
      if (handlers != nullptr) handlers->OnTransferStateChanged(state);
    });
    cw::Platform platform{window, loop, inet, service, files, profile, clock, process};

    cw::Corbelwynford_Main form(platform);
    g_form = &form;
    handlers = &form;
    loop.Attach(&form, &inet, &service, &RunTimeError);
    form.Form_Load();
    window.Show(show_command);
    form.Form_Resize();  // the window is shown
    loop.Run();
  } catch (const std::exception& error) {
    RunTimeError(error.what());
  }
}
