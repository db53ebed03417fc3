// Checks of the Windows platform layer, run under Wine by tests/win32/test_platform.py:
//   win32_platform_test PORT FOLDER RECORD
// PORT is the loopback test server (tests/servers/http_server.py), FOLDER a scratch folder and
// RECORD the server's record folder (Windows paths). Prints one line per failed check and
// "N passed, M failed" at the end.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/visible_text.h"
#include "platform/win32/win32_event_loop.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_process.h"
#include "platform/win32/win32_window.h"
#include "platform/win32/winhttp_transfer.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

bool Throws(const std::function<void()>& action) {
  try {
    action();
  } catch (const cw::RelayError&) {
    return true;
  }
  return false;
}

// Records what reaches the handlers.
struct Recorder final : cw::WindowEvents {
  std::vector<std::string> events;
  void OnTimer(cw::TimerId timer) override {
    events.push_back(timer == cw::TimerId::kSystem ? "timer system" : "timer scan");
  }
  void OnResize() override { events.push_back("resize"); }
  void OnCloseRequest(int16_t reason) override {
    events.push_back("close " + std::to_string(reason));
  }
  void OnTransferStateChanged(int16_t state) override {
    events.push_back("state " + std::to_string(state));
  }
  void OnServiceStart(bool& success) override { success = true; }
  void OnServicePause(bool& success) override { success = true; }
  void OnServiceContinue(bool& success) override { success = true; }
  void OnServiceStop() override { events.push_back("stop"); }
  int Count(const std::string& event) const {
    int n = 0;
    for (const std::string& e : events) n += e == event;
    return n;
  }
};

// Processes events until done() or the time is up; true when done.
bool PumpUntil(cw::Win32EventLoop& loop, const std::function<bool()>& done, DWORD limit_ms) {
  const ULONGLONG end = GetTickCount64() + limit_ms;
  while (!done()) {
    if (GetTickCount64() > end) return false;
    loop.ProcessPendingEvents();
    loop.Sleep(10);
  }
  return true;
}

std::string ListText(HWND list, int index) {
  char buffer[1024] = {};
  SendMessageA(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

void TextRules() {
  Check(cw::VisibleText(std::string("a\0b\x01\x1f\x7f\xe9 ~", 9), cw::HighBytes::kKeep) ==
            "a^@b^A^_^?\xe9 ~",
        "control bytes shown as ^X, others kept");
  Check(cw::ArgumentText("\"C:\\Program Files\\cw.exe\"  /I x") == "/I x", "quoted name");
  Check(cw::ArgumentText("cw.exe\t/u") == "/u", "unquoted name");
  Check(cw::ArgumentText("cw.exe") == "", "no arguments");
  Check(cw::FolderOf("C:\\cw.exe") == "C:\\", "drive root keeps its backslash");
  Check(cw::FolderOf("C:\\a\\b\\cw.exe") == "C:\\a\\b", "folder without backslash");
  Check(cw::FolderOf("\\\\server\\share\\cw.exe") == "\\\\server\\share", "network folder");
  cw::Win32FileSystem files;
  Check(files.PathSeparator() == '\\', "separator");
  Check(files.IsAbsolutePath("\\x") && files.IsAbsolutePath("\\\\s\\x") &&
            files.IsAbsolutePath("C:x") && files.IsAbsolutePath("d:\\x"),
        "absolute paths");
  Check(!files.IsAbsolutePath("x\\y") && !files.IsAbsolutePath("") && !files.IsAbsolutePath("/x"),
        "relative paths");
}

void Files(const std::string& folder) {
  cw::Win32FileSystem files;
  const std::string a = folder + "\\a.txt", b = folder + "\\b.txt";
  HANDLE h = CreateFileA(a.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(h, "x\0y", 3, &written, nullptr);
  CloseHandle(h);
  h = CreateFileA(b.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(h);
  Check(Throws([&] { files.RenameNoReplace(a, b); }), "rename onto an existing file fails");
  files.Delete(b);
  files.RenameNoReplace(a, b);
  auto file = files.OpenForReading(b);
  char buffer[8];
  Check(file->Read(buffer, sizeof buffer) == 3 && std::string(buffer, 3) == std::string("x\0y", 3),
        "bytes read back, NUL included");
  Check(file->Read(buffer, sizeof buffer) == 0, "end of file");
  file->Close();
  Check(Throws([&] { files.OpenForReading(folder); }), "a folder is not opened");
  Check(Throws([&] { files.OpenForReading(folder + "\\missing"); }), "a missing file throws");
  Check(Throws([&] { files.OpenForReading(std::string("a\0b", 3)); }), "NUL in a path");
  files.Delete(b);
  Check(Throws([&] { files.Delete(b); }), "deleting a missing file throws");

  const std::string ini = folder + "\\t.ini";
  h = CreateFileA(ini.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  const std::string text = "[General]\r\nKey = value \r\nLong=" + std::string(3000, 'z') + "\r\n";
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(h);
  cw::Win32ProfileReader profile;
  Check(profile.GetPrivateProfileString("general", "KEY", "d", ini) == "value", "value read");
  Check(profile.GetPrivateProfileString("General", "Nope", "d", ini) == "d", "default");
  Check(profile.GetPrivateProfileString("General", "Long", "", ini) == std::string(2047, 'z'),
        "value cut to 2047 bytes");
  Check(profile.GetPrivateProfileString("General", "Key", "d", folder + "\\none.ini") == "d",
        "missing file gives the default");
}

void WindowAndList(cw::Win32Window& window, cw::Win32EventLoop& loop, Recorder& events) {
  cw::ListBox& list = window.List();
  const std::string entry("a\0b\r\n\x7f\xe9", 7);
  list.AddItem("first");
  list.AddItem(entry);
  list.AddItem("third");
  Check(list.ListCount() == 3, "three entries");
  Check(ListText(window.ListHandle(), 1) == "a^@b^M^J^?\xe9", "the LISTBOX shows the bytes");
  list.SetListIndex(2);
  Check(list.ListIndex() == 2, "selected");
  list.RemoveItem(1);
  Check(list.ListCount() == 2 && ListText(window.ListHandle(), 1) == "third", "second removed");
  Check(list.ListIndex() == 1, "selection moves with its entry");
  Check(Throws([&] { list.RemoveItem(2); }) && Throws([&] { list.SetListIndex(2); }) &&
            Throws([&] { list.SetListIndex(-2); }),
        "indexes outside the list refused");
  list.SetListIndex(-1);
  Check(list.ListIndex() == -1, "no selection");

  list.SetWidth(120);
  list.SetHeight(50);
  Check(Throws([&] { list.SetHeight(-1); }), "negative height refused");
  RECT r{};
  GetWindowRect(window.ListHandle(), &r);
  Check(r.right - r.left == 120 && r.bottom - r.top == 50, "list sized in pixels");
  Check(window.StatusBarHeight() > 0, "status bar has a height");
  Check(window.Caption() == "Corbelwynford", "caption as created");

  // Close reasons as the window's messages give them.
  SendMessageA(window.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
  SendMessageA(window.Handle(), WM_CLOSE, 0, 0);
  Check(SendMessageA(window.Handle(), WM_QUERYENDSESSION, 0, 0) == TRUE, "session end allowed");
  SendMessageA(window.Handle(), WM_ENDSESSION, TRUE, 0);
  SendMessageA(window.Handle(), WM_ENDSESSION, FALSE, 0);
  PostMessageA(window.Handle(), cw::kMsgServiceControl, SERVICE_CONTROL_STOP, 0);
  PostMessageA(window.Handle(), cw::kMsgServiceControl, SERVICE_CONTROL_SHUTDOWN, 0);
  Check(events.Count("stop") == 0, "posted controls wait for the loop");
  loop.ProcessPendingEvents();
  Check(events.Count("close 0") == 1 && events.Count("close 3") == 1 &&
            events.Count("close 2") == 2 && events.Count("stop") == 1,
        "close reasons 0, 3, 2 and the stop");
  events.events.clear();
  SetWindowPos(window.Handle(), nullptr, 0, 0, 500, 300, SWP_NOMOVE | SWP_NOZORDER);
  Check(events.Count("resize") >= 1, "WM_SIZE reaches the resize handler");
}

void Timers(cw::Win32EventLoop& loop, Recorder& events) {
  using cw::TimerId;
  loop.SetTimerEnabled(TimerId::kFileScan, false);
  events.events.clear();
  Check(PumpUntil(
            loop, [&] { return events.Count("timer system") >= 2; }, 10000),
        "the system timer ticks");
  loop.SetTimerInterval(TimerId::kSystem, 0);
  events.events.clear();
  PumpUntil(
      loop, [] { return false; }, 400);
  Check(events.Count("timer system") == 0, "interval 0 never ticks");
  loop.SetTimerInterval(TimerId::kSystem, 50);
  loop.SetTimerEnabled(TimerId::kSystem, false);
  events.events.clear();
  PumpUntil(
      loop, [] { return false; }, 300);
  Check(events.Count("timer system") == 0, "a disabled timer does not tick");
  loop.SetTimerEnabled(TimerId::kSystem, true);
  Check(PumpUntil(
            loop, [&] { return events.Count("timer system") >= 1; }, 10000),
        "re-enabled timer ticks again");
  loop.SetTimerEnabled(TimerId::kSystem, false);
  // Sleep lets no event run.
  loop.SetTimerInterval(TimerId::kFileScan, 20);
  loop.SetTimerEnabled(TimerId::kFileScan, true);
  events.events.clear();
  loop.Sleep(200);
  Check(events.events.empty(), "nothing runs during Sleep");
  loop.SetTimerEnabled(TimerId::kFileScan, false);
}

void Transfer(cw::Win32EventLoop& loop, cw::WinHttpTransfer& inet, Recorder& events, int port,
              const std::string& record) {
  const std::string base = "127.0.0.1:" + std::to_string(port);
  auto state_count = [&] { return events.Count("state 11") + events.Count("state 12"); };
  // Runs one request to its end; the state it reported, 0 when none came.
  auto run = [&](const std::string& path, const std::string& data,
                 const std::string& headers = "X-A: 1") -> int {
    events.events.clear();
    inet.Execute("http://" + base + path, data, headers);
    if (!PumpUntil(
            loop, [&] { return state_count() > 0; }, 30000))
      return 0;
    return events.Count("state 12") > 0 ? 12 : 11;
  };

  // The first request: configured lines as written, empty values included, and no other header
  // than Host, Content-Length and Connection.
  Check(run("/ok", "", "X-A: 1\r\nX-Empty:\r\nAccept:\r\nno colon\r\n: no name") == 12,
        "request with every kind of header line");
  std::string head;
  if (FILE* f = std::fopen((record + "\\000000.head").c_str(), "rb")) {
    char buffer[4096];
    head.assign(buffer, std::fread(buffer, 1, sizeof buffer, f));
    std::fclose(f);
  }
  std::string sent;
  for (size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();
       at = head.find("\r\n", at + 2)) {
    std::string line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
    while (!line.empty() && line.back() == ' ') line.pop_back();  // WinHTTP writes "Name: "
    if (line.rfind("Host:", 0) != 0 && line.rfind("Content-Length:", 0) != 0 &&
        line.rfind("Connection:", 0) != 0) {
      sent += line + "|";
    }
  }
  Check(sent == "X-A: 1|X-Empty:|Accept:|", "headers on the wire: " + sent);

  Check(Throws([&] { inet.SetProtocol(6); }), "protocol 6 refused");
  Check(Throws([&] { inet.Execute("ftp://h/x", "", ""); }) && !inet.StillExecuting(),
        "an ftp URL is refused");
  Check(Throws([&] { inet.Execute("http://", "", ""); }) && !inet.StillExecuting(),
        "a URL without host is refused");

  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte += static_cast<char>(i);
  events.events.clear();
  inet.Execute("http://" + base + "/echo", every_byte, "");
  Check(inet.StillExecuting(), "executing after the start");
  Check(Throws([&] { inet.Execute("http://" + base + "/ok", "", ""); }),
        "a second start while one runs throws");
  Sleep(1000);
  Check(state_count() == 0, "no notification outside the processing of events");
  Check(PumpUntil(
            loop, [&] { return state_count() > 0; }, 30000) &&
            events.Count("state 12") == 1,
        "completion reported while events are processed");
  Check(!inet.StillExecuting(), "not executing after completion");
  Check(inet.GetChunk(1024) == every_byte && inet.ResponseCode() == 200, "echo of every byte");
  Check(inet.GetChunk(1024).empty(), "nothing more to fetch");

  Check(run("/body/3000", "") == 12, "long answer completes");
  const std::string chunk = inet.GetChunk(1024);
  bool pattern = chunk.size() == 1024;
  for (size_t i = 0; pattern && i < chunk.size(); ++i) {
    pattern = static_cast<unsigned char>(chunk[i]) == i % 251;
  }
  Check(pattern && inet.GetChunk(1024).empty(), "only the first 1024 bytes are kept");
  Check(run("/status/500", "") == 12 && inet.ResponseCode() == 500, "status 500 kept");
  Check(inet.GetChunk(1024) == "Status 500", "error page fetched");
  Check(run("/redirect", "") == 12 && inet.ResponseCode() == 301, "a redirect is not followed");
  Check(run("/close", "") == 11, "a closed connection is an error");

  events.events.clear();
  inet.Execute("http://" + base + "/never", "x", "");
  PumpUntil(
      loop, [] { return false; }, 300);
  inet.Cancel();
  Check(!inet.StillExecuting(), "cancel stops executing");
  PumpUntil(
      loop, [] { return false; }, 1500);
  Check(state_count() == 0, "no notification after cancel");
  // Under Wine a cancelled request still runs to its end in the background; what it reports then
  // must not reach the handlers.
  inet.Execute("http://" + base + "/delay/0.5", "x", "");
  inet.Cancel();
  PumpUntil(
      loop, [] { return false; }, 2500);
  Check(state_count() == 0, "a cancelled request that ends later reports nothing");
  Check(run("/ok", "after") == 12 && inet.GetChunk(1024) == "OK", "next request after a cancel");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::printf("usage: win32_platform_test PORT FOLDER RECORD\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::string folder = argv[2];
  try {
    TextRules();
    Files(folder);
    cw::Win32Window window(GetModuleHandleA(nullptr), folder + "\\");
    cw::Win32EventLoop loop(window);
    Recorder events;
    cw::WinHttpTransfer inet(window.Handle(),
                             [&](int16_t state) { events.OnTransferStateChanged(state); });
    loop.Attach(&events, &inet, nullptr, nullptr, nullptr);
    Timers(loop, events);
    WindowAndList(window, loop, events);
    Transfer(loop, inet, events, port, argv[3]);
  } catch (const std::exception& error) {
    Check(false, std::string("unexpected error: ") + error.what());
  }
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  std::fflush(stdout);
  return g_failed == 0 ? 0 : 1;
}
