// The Windows helper of the tests, through the W functions so that every
// character of a name or value arrives exactly.
//
// regtool FILE sets up and reads registry values below HKEY_CURRENT_USER for
// the end-to-end tests: it runs the lines of FILE (UTF-8, fields separated by
// tabs):
//   new KEY                     makes KEY afresh
//   put KEY NAME TYPE HEX       sets a value, keeping the rest of KEY
//   get KEY NAME                prints "TYPE HEX" when the value exists
//   del KEY NAME
// TYPE is the type's name, as REG_SZ. String data (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ) is given and shown as UTF-8; other data as its bytes. Exits
// with 1 when a line fails.
//
// regtool --broadcast PATH\TO\cfgline.exe checks that the tool announces an
// environment change (WM_SETTINGCHANGE with lParam "Environment") exactly
// when it writes a value of an environment key. The tool and a hidden
// top-level window run on a desktop of this program's own, so that broadcasts
// from other programs, or another run, are not counted. Needs a display.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* const kTypes[] = {"REG_NONE", "REG_SZ",   "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                              "",         "",         "REG_MULTI_SZ",  "",           "",
                              "",         "REG_QWORD"};

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Between UTF-8 and UTF-16, every byte or unit included, NULs too.
std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int size = static_cast<int>(text.size());
  wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), size));
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  std::string text(wide.size() * 3, '\0');
  text.resize(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                  text.data(), static_cast<int>(text.size()), nullptr, nullptr));
  return text;
}

// Runs one line of a regtool file, given as its fields.
bool RunLine(std::vector<std::string> f) {
  f.resize(5);
  const std::wstring key = Wide(f[1]), name = Wide(f[2]);
  DWORD type = 0;
  while (type < 12 && f[3] != kTypes[type]) ++type;
  HKEY handle = nullptr;
  if (f[0] == "new") RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &handle, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool ok = true;
  if (f[0] == "put") {
    std::string data;
    for (size_t i = 0; i + 1 < f[4].size(); i += 2)
      data += static_cast<char>(std::strtoul(f[4].substr(i, 2).c_str(), nullptr, 16));
    const std::wstring wide = Wide(data);
    if (IsText(type)) data.assign(reinterpret_cast<const char*>(wide.c_str()), wide.size() * 2);
    ok = RegSetValueExW(handle, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
  } else if (f[0] == "del") {
    RegDeleteValueW(handle, name.c_str());
  } else if (DWORD size = 0; f[0] == "get" && RegQueryValueExW(handle, name.c_str(), nullptr, &type,
                                                               nullptr, &size) == 0) {
    std::string data(size, '\0');
    RegQueryValueExW(handle, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                     &size);
    if (IsText(type))
      data = Narrow(std::wstring(reinterpret_cast<const wchar_t*>(data.data()), size / 2));
    std::printf("%s ", type < 12 ? kTypes[type] : "?");
    for (unsigned char byte : data) std::printf("%02x", byte);
    std::printf("\n");
  }
  RegCloseKey(handle);
  return ok;
}

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
int Announcements(std::wstring command, std::wstring desktop) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop.data();
  PROCESS_INFORMATION process;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
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

int Broadcast(const std::wstring& tool) {
  const std::string pid = std::to_string(GetCurrentProcessId());
  const std::string name = "cfgline_broadcast_" + pid, other = "Software\\cfgline-broadcast-" + pid;
  const std::wstring desktop = Wide("cfgline-broadcast-" + pid);
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = Count;
  windowClass.lpszClassName = "cfgline_broadcast_test";
  HDESK own = CreateDesktopW(desktop.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (own == nullptr || !SetThreadDesktop(own) || RegisterClassA(&windowClass) == 0 ||
      CreateWindowExA(0, windowClass.lpszClassName, "", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                      nullptr, nullptr, nullptr, nullptr) == nullptr) {
    std::fprintf(stderr, "regtool --broadcast: no window (needs a display)\n");
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
    if ((c.want == 1 || c.key == other) && !RunLine({"put", c.key, name, "REG_SZ", "6100"}))
      return 1;
    const int got = Announcements(
        L'"' + tool + L"\" i regline HKCU\\" + Wide(c.key) + L" " + Wide(name) + L" b", desktop);
    if (got != c.want)
      std::fprintf(stderr, "%s: %d announcements, want %d\n", c.key.c_str(), got, c.want);
    failures += got != c.want;
    if (c.want == 0) RunLine({"del", c.key, name});
  }
  RegDeleteKeyW(HKEY_CURRENT_USER, Wide(other).c_str());
  return failures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--broadcast") return Broadcast(argv[2]);
  FILE* file = argc == 2 ? _wfopen(argv[1], L"rb") : nullptr;
  if (file == nullptr) return 2;
  std::vector<std::string> fields(1);
  bool ok = true;
  for (int c; (c = std::fgetc(file)) != EOF;) {
    if (c == '\t') {
      fields.emplace_back();
    } else if (c != '\n') {
      fields.back() += static_cast<char>(c);
    } else {
      ok = RunLine(fields) && ok;
      fields.assign(1, "");
    }
  }
  std::fclose(file);
  return ok ? 0 : 1;
}
