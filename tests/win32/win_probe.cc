// Looks at and drives the running program's window from another process, as a person or another
// program would, for the Wine tests. Prints what it finds as "name=value" lines.
//   win_probe window              the main window: client size, list and status bar rectangles
//                                 (in client coordinates), the number of list entries
//   win_probe resize W H          sets the window's outer size, then prints as "window"
//   win_probe close-person        WM_SYSCOMMAND SC_CLOSE (the close box)
//   win_probe close-other         WM_CLOSE on its own (what taskkill without /F sends)
//   win_probe end-session         WM_QUERYENDSESSION (prints the answer), then WM_ENDSESSION
//   win_probe box                 waits for the program's message box, prints its text, presses OK
// Every wait ends after 20 s; exit status 0 on success, 2 on failure.
// clang-format off
#include <windows.h>  // first: commctrl.h needs its types
#include <commctrl.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kWaitMs = 20000;

[[noreturn]] void Fail(const char* what) {
  std::printf("error=%s\n", what);
  std::fflush(stdout);
  ExitProcess(2);
}

HWND WaitForWindow(const char* class_name, const char* caption) {
  const ULONGLONG end = GetTickCount64() + kWaitMs;
  for (;;) {
    HWND window = FindWindowA(class_name, caption);
    if (window != nullptr) return window;
    if (GetTickCount64() > end) Fail(class_name);
    Sleep(100);
  }
}

std::string TextOf(HWND window) {
  char buffer[4096];
  int n = GetWindowTextA(window, buffer, sizeof buffer);
  return std::string(buffer, n > 0 ? n : 0);
}

void PrintChild(HWND parent, const char* class_name, const char* name) {
  HWND child = FindWindowExA(parent, nullptr, class_name, nullptr);
  if (child == nullptr) return;
  RECT r{};
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  std::printf("%s=%ld %ld %ld %ld\n", name, r.left, r.top, r.right - r.left, r.bottom - r.top);
  if (std::string(name) == "list") {
    std::printf("count=%ld\n", static_cast<long>(SendMessageA(child, LB_GETCOUNT, 0, 0)));
  }
}

void PrintWindow(HWND window) {
  // Waits until a resize has reached the window's thread.
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, kWaitMs, &result);
  RECT client{};
  GetClientRect(window, &client);
  std::printf("client=%ld %ld\n", client.right, client.bottom);
  PrintChild(window, "ListBox", "list");
  PrintChild(window, STATUSCLASSNAMEA, "status");
}

void Box() {
  HWND box = WaitForWindow("#32770", "Corbelwynford");
  Sleep(200);  // let the box finish laying itself out
  for (HWND child = FindWindowExA(box, nullptr, "Static", nullptr); child != nullptr;
       child = FindWindowExA(box, child, "Static", nullptr)) {
    if (!TextOf(child).empty()) std::printf("text=%s\n", TextOf(child).c_str());
  }
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Fail("no command");
  const std::string command = argv[1];
  if (command == "box") {
    Box();
    std::fflush(stdout);
    return 0;
  }
  HWND window = WaitForWindow("CorbelwynfordMain", nullptr);
  if (command == "window") {
    PrintWindow(window);
  } else if (command == "resize" && argc == 4) {
    SetWindowPos(window, nullptr, 0, 0, std::atoi(argv[2]), std::atoi(argv[3]),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    PrintWindow(window);
  } else if (command == "close-person") {
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  } else if (command == "close-other") {
    PostMessageA(window, WM_CLOSE, 0, 0);
  } else if (command == "end-session") {
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, kWaitMs, &answer);
    std::printf("answer=%lu\n", static_cast<unsigned long>(answer));
    std::fflush(stdout);
    // The program ends inside this message; no answer comes back.
    PostMessageA(window, WM_ENDSESSION, TRUE, 0);
  } else {
    Fail("unknown command");
  }
  std::fflush(stdout);
  return 0;
}
