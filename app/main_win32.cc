// The program entry on Windows: builds the platform, loads the main window and runs its message
// loop. Everything runs on this, the window's, thread; WinHTTP's callbacks and the service
// manager's controls are posted to it as messages.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/feed_command.h"
#include "app/program.h"
#include "platform/win32/scm_service_host.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_event_loop.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_folder_watch.h"
#include "platform/win32/win32_process.h"
#include "platform/win32/win32_window.h"
#include "platform/win32/winhttp_transfer.h"

namespace {

cw::ScmServiceHost* g_service = nullptr;
cw::Program* g_program = nullptr;

// A program without a console writes only where its standard output or error was redirected.
bool WriteStandard(DWORD which, const std::string& text) {
  const HANDLE handle = GetStdHandle(which);
  DWORD written = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// "--help" and "--version": on standard output where there is one, else in a box.
int ShowText(const std::string& text) {
  if (!WriteStandard(STD_OUTPUT_HANDLE, text)) {
    MessageBoxA(nullptr, text.c_str(), cw::kProgramTitle, MB_OK | MB_SETFOREGROUND);
  }
  return 0;
}

// A variable of the environment in UTF-8, whatever the ANSI code page: Gammu's texts hold any
// character.
std::optional<std::string> EnvironmentUtf8(const std::string& name) {
  const std::wstring wide_name(name.begin(), name.end());  // the names are ASCII
  const DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(wide_name.c_str(), value.data(), size));
  if (value.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), utf8.data(), length,
                      nullptr, nullptr);
  return utf8;
}

// The local time zone's offset at that time of day, daylight saving time as it was then.
int LocalOffsetMinutes(const cw::CivilTime& local) {
  SYSTEMTIME clock{};
  clock.wYear = static_cast<WORD>(local.year);
  clock.wMonth = static_cast<WORD>(local.month);
  clock.wDay = static_cast<WORD>(local.day);
  clock.wHour = static_cast<WORD>(local.hour);
  clock.wMinute = static_cast<WORD>(local.minute);
  clock.wSecond = static_cast<WORD>(local.second);
  SYSTEMTIME utc{};
  FILETIME local_time{}, utc_time{};
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &clock, &utc) ||
      !SystemTimeToFileTime(&clock, &local_time) || !SystemTimeToFileTime(&utc, &utc_time))
    return 0;
  const auto ticks = static_cast<int64_t>(cw::TicksOf(local_time) - cw::TicksOf(utc_time));
  return static_cast<int>(ticks / 600000000);  // 100 ns ticks
}

// "--feed": one message into the incoming file, then the process ends. It never shows a box:
// a feed runs unattended, and its reason goes to standard error where there is one.
int Feed(cw::Process& process) {
  cw::Win32FileSystem files;
  cw::Win32ProfileReader profile;
  const std::unique_ptr<cw::ReadableFile> standard_input = cw::StandardInput();
  const cw::FeedInput input{std::vector<std::string>(__argv + std::min(__argc, 2), __argv + __argc),
                            &EnvironmentUtf8, *standard_input, files, &LocalOffsetMinutes};
  std::string error;
  const int status = cw::RunFeedCommand(input, profile, cw::ProgramFolder(process, '\\'), error);
  if (status != 0) WriteStandard(STD_ERROR_HANDLE, "corbelwynford --feed: " + error + "\r\n");
  return status;
}

// The service manager's start, stop and shutdown, posted to the window's thread.
void ServiceControl(cw::Program& program, cw::ScmServiceHost& service, WPARAM control) {
  if (control == cw::kControlServiceStarted) service.SetState(SERVICE_RUNNING);
  if (control == SERVICE_CONTROL_STOP) program.OnServiceStop();
  if (control == SERVICE_CONTROL_SHUTDOWN) program.OnCloseRequest(cw::kCloseBySessionEnd);
}

// "--help", "--version" and "--feed": their exit status; nothing when the relay is to run.
std::optional<int> RunOtherThanRelay(cw::Process& process) {
  switch (cw::ActionFor(process.CommandLine())) {
    case cw::EntryAction::kShowHelp:
      return ShowText(cw::kUsageText);
    case cw::EntryAction::kShowVersion:
      return ShowText(std::string(cw::kVersionText) + "\n");
    case cw::EntryAction::kFeed:
      return Feed(process);
    case cw::EntryAction::kRun:
      break;
  }
  return std::nullopt;
}

// What the window's events, each signal and each source of the loop do in the program.
void WireEvents(cw::Win32EventLoop& loop, cw::Program& program, cw::WinHttpTransfer& transfer,
                cw::ScmServiceHost& service, cw::Win32FolderWatch& watch) {
  loop.SetWindowEvents(&program);
  loop.OnSignal(cw::kMsgTransferEvents, [&](WPARAM) { transfer.ProcessEvents(); });
  loop.OnSignal(cw::kMsgServiceControl,
                [&](WPARAM control) { ServiceControl(program, service, control); });
  // The incoming file appeared: the scan runs now, unless one is running already.
  loop.AddSource([&] { return watch.Handle(); },
                 [&] {
                   if (watch.TakeAppeared()) program.OnFileAppeared();
                 });
}

// An error that no handler caught: into the log while it still works, to standard error, and in
// a box where someone can see one (never in service mode); then the process ends with status 1
// (the service manager hears that the service stopped).
[[noreturn]] void RunTimeError(const std::string& what) {
  if (g_program != nullptr) g_program->LogRunTimeError(what);
  const std::string text = cw::RunTimeErrorText(what);
  WriteStandard(STD_ERROR_HANDLE, std::string(cw::kProgramTitle) + ": " + text + "\r\n");
  const bool in_service = g_program != nullptr && g_program->ServiceMode();
  if (!in_service && cw::CanShowMessageBox()) {
    MessageBoxA(nullptr, text.c_str(), cw::kProgramTitle, MB_OK | MB_ICONSTOP | MB_TASKMODAL);
  }
  if (g_service != nullptr) g_service->SetState(SERVICE_STOPPED);
  ExitProcess(1);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int show_command) {
  try {
    cw::Win32Process process([] {
      if (g_service != nullptr) g_service->SetState(SERVICE_STOPPED);
    });
    if (const std::optional<int> status = RunOtherThanRelay(process)) return *status;

    cw::Win32Window window(instance, cw::ProgramFolder(process, '\\'));
    const HWND hwnd = window.Handle();
    cw::Win32EventLoop loop(window);
    cw::ScmServiceHost service(process.ExecutableFile(), [hwnd](WPARAM control) {
      PostMessageA(hwnd, cw::kMsgServiceControl, control, 0);
    });
    g_service = &service;
    cw::Win32Clock clock;
    cw::Win32FileSystem files;
    cw::Win32ProfileReader profile;
    cw::WinHttpTransfer transfer(hwnd, loop);
    cw::Win32FolderWatch watch;
    cw::Platform platform{window, loop, transfer, service, files, profile, clock, process, watch};
    cw::Program program(platform);
    g_program = &program;
    loop.OnFatal(&RunTimeError);
    WireEvents(loop, program, transfer, service, watch);
    try {
      program.Start();
      window.Show(show_command);
      loop.Run();
    } catch (const std::exception& error) {
      RunTimeError(error.what());  // while the log still exists
    }
  } catch (const std::exception& error) {
    g_program = nullptr;  // unwound: only standard error and the box are left
    g_service = nullptr;
    RunTimeError(error.what());
  } catch (...) {
    g_program = nullptr;
    g_service = nullptr;
    RunTimeError("unknown error");
  }
}
