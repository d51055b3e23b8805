// Checks that cfgline.exe announces an environment change (WM_SETTINGCHANGE
// with lParam "Environment") exactly when it writes a value of an environment
// key. Usage: broadcast_test PATH\TO\cfgline.exe
//
// The tool and a hidden top-level window run on a desktop of this test's own,
// so that broadcasts from other programs, or another run of this test, are
// not counted.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int announcements = 0;

LRESULT CALLBACK Count(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_SETTINGCHANGE && lparam != 0 &&
      std::string(reinterpret_cast<const char*>(lparam)) == "Environment") {
    ++announcements;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

// Runs `command` on `desktop` and handles messages until it has exited and
// for a moment after; the number of announcements, or -1.
int Announcements(std::string command, std::string desktop) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop.data();
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  announcements = 0;
  for (int quiet = 0; quiet < 3;) {
    const DWORD wait = MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 60000, QS_ALLINPUT);
    if (wait == WAIT_TIMEOUT) return -1;
    for (MSG msg; PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);) DispatchMessageA(&msg);
    if (wait == WAIT_OBJECT_0) Sleep(100), ++quiet;  // exited: a moment more
  }
  return announcements;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string pid = std::to_string(GetCurrentProcessId());
  const std::string desktop = "cfgline-broadcast-test-" + pid, name = "cfgline_broadcast_" + pid;
  const std::string other = "Software\\cfgline-broadcast-test-" + pid;
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = Count;
  windowClass.lpszClassName = "cfgline_broadcast_test";
  HDESK own = CreateDesktopA(desktop.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (argc != 2 || own == nullptr || !SetThreadDesktop(own) || RegisterClassA(&windowClass) == 0 ||
      CreateWindowExA(0, windowClass.lpszClassName, "", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                      nullptr, nullptr, nullptr, nullptr) == nullptr) {
    std::fprintf(stderr, "usage: broadcast_test PATH\\TO\\cfgline.exe (needs a display)\n");
    return 2;
  }
  const struct {
    std::string key;
    int want;
  } cases[] = {
      {"Environment", 1}, {other, 0}, {"Environment", 0},  // last: already there, not written
  };
  int failures = 0;
  for (const auto& c : cases) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, c.key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS ||
        ((c.want == 1 || c.key == other) &&
         RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("a"), 2) !=
             0)) {
      return 1;
    }
    const std::string command =
        '"' + std::string(argv[1]) + "\" i regline HKCU\\" + c.key + " " + name + " b";
    const int got = Announcements(command, desktop);
    if (got != c.want)
      std::fprintf(stderr, "%s: %d announcements, want %d\n", c.key.c_str(), got, c.want);
    failures += got != c.want;
    if (c.want == 0) RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
  }
  RegDeleteKeyA(HKEY_CURRENT_USER, other.c_str());
  return failures == 0 ? 0 : 1;
}
