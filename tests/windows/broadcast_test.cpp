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

int g_announcements = 0;

LRESULT CALLBACK CountAnnouncements(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_SETTINGCHANGE && lparam != 0 &&
      std::string(reinterpret_cast<const char*>(lparam)) == "Environment") {
    ++g_announcements;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

void DispatchPending() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// Runs `commandLine` on `desktop`, handling messages until it has exited and
// for a moment after.
bool RunPumping(std::string commandLine, std::string desktop) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop.data();
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "cannot start %s (error %lu)\n", commandLine.c_str(), GetLastError());
    return false;
  }
  CloseHandle(process.hThread);
  DWORD wait;
  while ((wait = MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 60000, QS_ALLINPUT)) ==
         WAIT_OBJECT_0 + 1) {
    DispatchPending();
  }
  CloseHandle(process.hProcess);
  if (wait != WAIT_OBJECT_0) {
    std::fprintf(stderr, "%s did not finish\n", commandLine.c_str());
    return false;
  }
  for (int round = 0; round < 3; ++round) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    DispatchPending();
  }
  return true;
}

std::string ReadValue(HKEY key, const std::string& name) {
  char data[1024] = {};
  DWORD size = sizeof data - 1;
  if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
      ERROR_SUCCESS) {
    return "<missing>";
  }
  return data;
}

bool SetValue(HKEY key, const std::string& name, const std::string& text) {
  return RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: broadcast_test PATH\\TO\\cfgline.exe\n");
    return 2;
  }
  const std::string pid = std::to_string(GetCurrentProcessId());
  const std::string desktopName = "cfgline-broadcast-test-" + pid;
  HDESK desktop = CreateDesktopA(desktopName.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (desktop == nullptr || !SetThreadDesktop(desktop)) {
    std::fprintf(stderr, "cannot create desktop %s (error %lu)\n", desktopName.c_str(),
                 GetLastError());
    return 1;
  }
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = CountAnnouncements;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "cfgline_broadcast_test";
  HWND window = nullptr;
  if (RegisterClassA(&windowClass) != 0) {
    window = CreateWindowExA(0, windowClass.lpszClassName, "cfgline broadcast test",
                             WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 200, 100, nullptr,
                             nullptr, windowClass.hInstance, nullptr);
  }
  if (window == nullptr) {
    std::fprintf(stderr, "cannot create a window (error %lu); is there a display?\n",
                 GetLastError());
    return 1;
  }

  const std::string name = "cfgline_broadcast_test_" + pid;
  const std::string otherKey = "Software\\cfgline-broadcast-test-" + pid;
  HKEY environment = nullptr;
  HKEY other = nullptr;
  bool ok = RegCreateKeyExA(HKEY_CURRENT_USER, "Environment", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &environment, nullptr) == ERROR_SUCCESS &&
            RegCreateKeyExA(HKEY_CURRENT_USER, otherKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &other, nullptr) == ERROR_SUCCESS &&
            SetValue(environment, name, "C:\\a") && SetValue(other, name, "C:\\a");
  if (!ok) std::fprintf(stderr, "cannot create the test values\n");

  struct Case {
    std::string key;
    HKEY handle;
    const char* want;
    int announcements;
  };
  const Case cases[] = {
      {"HKCU\\Environment", environment, "C:\\a;C:\\x", 1},
      {"HKCU\\" + otherKey, other, "C:\\a;C:\\x", 0},
      {"HKCU\\Environment", environment, "C:\\a;C:\\x", 0},  // already there: nothing written
  };
  for (const Case& c : cases) {
    if (!ok) break;
    g_announcements = 0;
    std::string command = '"' + std::string(argv[1]);
    command.append("\" i regline ").append(c.key).append(" ").append(name).append(" C:\\x");
    ok = RunPumping(command, desktopName);
    const std::string got = ReadValue(c.handle, name);
    if (ok && (got != c.want || g_announcements != c.announcements)) {
      std::fprintf(stderr, "%s: value \"%s\" (want \"%s\"), %d announcements (want %d)\n",
                   c.key.c_str(), got.c_str(), c.want, g_announcements, c.announcements);
      ok = false;
    }
  }

  if (environment != nullptr) {
    RegDeleteValueA(environment, name.c_str());
    RegCloseKey(environment);
  }
  if (other != nullptr) RegCloseKey(other);
  RegDeleteKeyA(HKEY_CURRENT_USER, otherKey.c_str());
  DestroyWindow(window);
  if (ok) std::puts("broadcast_test: ok");
  return ok ? 0 : 1;
}
