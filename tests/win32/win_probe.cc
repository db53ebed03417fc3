// Looks at and drives the running program's window from another process, as a person or
// another program would, for the Wine tests. Prints what it finds as "name=value" lines.
//   win_probe window              the main window: caption, sizes, status bar, list entries
//   win_probe resize W H          sets the window's outer size, then prints as "window"
//   win_probe minimize|restore    then prints as "window"
//   win_probe close-person        WM_SYSCOMMAND SC_CLOSE (the close box)
//   win_probe close-other         WM_CLOSE on its own (what taskkill without /F sends)
//   win_probe end-session         WM_QUERYENDSESSION, then WM_ENDSESSION
//   win_probe box                 waits for a message box: its text and icon, then presses OK
//   win_probe trust FILE.pem      adds the certificate to the machine's trusted roots
// Every wait ends after 20 s; exit status 0 on success, 2 on failure.
// clang-format off
#include <windows.h>  // first: the other two need its types
#include <commctrl.h>
#include <wincrypt.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr char kMainClass[] = "CorbelwynfordMain";
constexpr DWORD kWaitMs = 20000;

[[noreturn]] void Fail(const char* what) {
  std::printf("error=%s (%lu)\n", what, GetLastError());
  std::fflush(stdout);
  ExitProcess(2);
}

HWND WaitForMainWindow() {
  const ULONGLONG end = GetTickCount64() + kWaitMs;
  for (;;) {
    HWND window = FindWindowA(kMainClass, nullptr);
    if (window != nullptr) return window;
    if (GetTickCount64() > end) Fail("no main window");
    Sleep(100);
  }
}

std::string TextOf(HWND window) {
  char buffer[4096];
  int n = GetWindowTextA(window, buffer, sizeof buffer);
  return std::string(buffer, n > 0 ? n : 0);
}

std::string ClassOf(HWND window) {
  char buffer[256];
  int n = GetClassNameA(window, buffer, sizeof buffer);
  return std::string(buffer, n > 0 ? n : 0);
}

HWND ChildOfClass(HWND parent, const char* class_name) {
  HWND found = nullptr;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (lstrcmpiA(ClassOf(child).c_str(), class_name) == 0) {
      found = child;
      break;
    }
  }
  return found;
}

// The child's rectangle in the parent's client coordinates.
RECT ChildRect(HWND parent, HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void PrintWindow(HWND window) {
  RECT client{};
  GetClientRect(window, &client);
  std::printf("caption=%s\n", TextOf(window).c_str());
  std::printf("visible=%d\n", IsWindowVisible(window) ? 1 : 0);
  std::printf("iconic=%d\n", IsIconic(window) ? 1 : 0);
  std::printf("client=%ld %ld\n", client.right, client.bottom);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  std::printf("origin=%ld %ld\n", origin.x, origin.y);
  HWND list = ChildOfClass(window, "ListBox");
  HWND bar = ChildOfClass(window, STATUSCLASSNAMEA);
  if (list != nullptr) {
    RECT r = ChildRect(window, list);
    std::printf("list=%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
  }
  if (bar != nullptr) {
    RECT r = ChildRect(window, bar);
    std::printf("status=%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    // Only messages without pointers cross the process boundary: the count of panels and the
    // lengths of their texts.
    LRESULT parts = SendMessageA(bar, SB_GETPARTS, 0, 0);
    std::printf("parts=%ld\n", static_cast<long>(parts));
    for (int i = 0; i < parts; ++i) {
      LRESULT length = SendMessageA(bar, SB_GETTEXTLENGTHA, i, 0);
      std::printf("part%d_length=%d\n", i, LOWORD(length));
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[128], time[128];
    GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, date, sizeof date);
    GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &now, nullptr, time, sizeof time);
    std::printf("expected_date=%s\nexpected_time=%s\n", date, time);
  }
  if (list != nullptr) {
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    std::printf("count=%ld\n", static_cast<long>(count));
    std::printf("selected=%ld\n", static_cast<long>(SendMessageA(list, LB_GETCURSEL, 0, 0)));
    // Across processes Wine hands list texts over in UTF-16 only; they come back to the ANSI
    // code page here.
    for (int i = 0; i < count; ++i) {
      LRESULT length = SendMessageW(list, LB_GETTEXTLEN, i, 0);
      if (length < 0) continue;
      std::vector<wchar_t> wide(static_cast<size_t>(length) * 2 + 16, L'\0');
      LRESULT got = SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide.data()));
      if (got < 0) got = 0;
      std::vector<char> text(static_cast<size_t>(got) * 2 + 16, '\0');
      WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(got), text.data(),
                          static_cast<int>(text.size()) - 1, nullptr, nullptr);
      std::printf("item=%s\n", text.data());
    }
  }
}

// Waits until the window's size, after a resize or a minimise, has reached its thread.
void Settle(HWND window) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, kWaitMs, &result);
}

HWND WaitForBox() {
  const ULONGLONG end = GetTickCount64() + kWaitMs;
  for (;;) {
    HWND box = FindWindowA("#32770", "Corbelwynford");
    if (box != nullptr) return box;
    if (GetTickCount64() > end) Fail("no message box");
    Sleep(100);
  }
}

int Box() {
  HWND box = WaitForBox();
  Sleep(200);  // let the box finish laying itself out
  bool icon = false;
  std::string text;
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (lstrcmpiA(ClassOf(child).c_str(), "Static") != 0) continue;
    const LONG style = GetWindowLongA(child, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
      if (IsWindowVisible(child) && SendMessageA(child, STM_GETICON, 0, 0) != 0) icon = true;
    } else if (!TextOf(child).empty()) {
      text = TextOf(child);
    }
  }
  std::printf("text=%s\nicon=%d\n", text.c_str(), icon ? 1 : 0);
  HWND ok = GetDlgItem(box, IDOK);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
  return 0;
}

int Trust(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream pem;
  pem << in.rdbuf();
  const std::string text = pem.str();
  DWORD size = 0;
  if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                            CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
    Fail("not a PEM certificate");
  }
  std::vector<BYTE> der(size);
  CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                       der.data(), &size, nullptr, nullptr);
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
  if (store == nullptr) Fail("cannot open the root store");
  if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    Fail("cannot add the certificate");
  }
  CertCloseStore(store, 0);
  std::printf("trusted=1\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Fail("no command");
  const std::string command = argv[1];
  int status = 0;
  if (command == "box") {
    status = Box();
  } else if (command == "trust" && argc == 3) {
    status = Trust(argv[2]);
  } else {
    HWND window = WaitForMainWindow();
    if (command == "window") {
      Settle(window);
      PrintWindow(window);
    } else if (command == "resize" && argc == 4) {
      SetWindowPos(window, nullptr, 0, 0, std::atoi(argv[2]), std::atoi(argv[3]),
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      Settle(window);
      PrintWindow(window);
    } else if (command == "minimize" || command == "restore") {
      ShowWindowAsync(window, command == "minimize" ? SW_MINIMIZE : SW_RESTORE);
      Sleep(300);
      Settle(window);
      PrintWindow(window);
    } else if (command == "close-person") {
      PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (command == "close-other") {
      PostMessageA(window, WM_CLOSE, 0, 0);
    } else if (command == "end-session") {
      DWORD_PTR answer = 0;
      SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, kWaitMs, &answer);
      std::printf("query_end_session=%lu\n", static_cast<unsigned long>(answer));
      std::fflush(stdout);
      // The program ends inside this message; no answer comes back.
      PostMessageA(window, WM_ENDSESSION, TRUE, 0);
    } else {
      Fail("unknown command");
    }
  }
  std::fflush(stdout);
  return status;
}
