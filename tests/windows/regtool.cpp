// The Windows helper of the tests, through the W functions so that every
// character of a name or value arrives exactly.
//
// regtool [--32] load|save FILE... mirrors registry values in files, named
// as the Linux build's store names them, in the registry's 32-bit view with
// --32 (the one a 32-bit program sees), else in the 64-bit one:
//   registry/HKEY_CURRENT_USER/Software/x/NAME.TYPE
// TYPE is the type's name, as REG_SZ; string data is UTF-8 in the file.
//   load  makes HKEY_CURRENT_USER\Software\cfgline-e2e afresh, then a key for
//         every FILE that is a folder ("registry/KEY/") and a value for every
//         other; exits with 1 when a value cannot be set
//   save  writes each FILE's value back into it: renamed when its type
//         changed, removed when it is gone
//
// regtool --announcements COMMAND... runs COMMAND and prints how often it
// announced an environment change (WM_SETTINGCHANGE with lParam
// "Environment"), as "announcements: N" (-1 when it could not tell). COMMAND
// and a hidden top-level window run on a desktop of this program's own, so
// that broadcasts from other programs are not counted. Needs a display.
//
// regtool --slow-windows COMMAND... runs COMMAND there beside ten windows
// that each take 4 s to answer an announcement; prints "announced" as the
// first gets one, and once COMMAND has exited, "done within 10 s" or "done
// after N ms". regtool --occupy-lock WHAT COMMAND... runs COMMAND there with
// a folder in place of the lock file of WHAT (platform/win32/lock.h).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/lock.h"

namespace {

namespace fs = std::filesystem;

const std::wstring kTypes[] = {L"REG_NONE",   L"REG_SZ",      L"REG_EXPAND_SZ",
                               L"REG_BINARY", L"REG_DWORD",   L"",
                               L"",           L"REG_MULTI_SZ"};

REGSAM view = KEY_WOW64_64KEY;

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Between UTF-8 and UTF-16, every byte or unit included, NULs too.
std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int size = static_cast<int>(text.size());
  wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), size));
  return wide;
}

std::string Narrow(const wchar_t* wide, int size) {
  std::string text(size * 3, '\0');
  text.resize(WideCharToMultiByte(CP_UTF8, 0, wide, size, text.data(), size * 3, nullptr, nullptr));
  return text;
}

// Opens `key`, made when missing; nullptr when it cannot.
HKEY Open(const std::wstring& key) {
  const std::pair<std::wstring, HKEY> roots[] = {{L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                                                 {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                                                 {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                                                 {L"HKEY_USERS", HKEY_USERS},
                                                 {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG}};
  const size_t end = key.find(L'\\');
  HKEY root = nullptr, handle = nullptr;
  for (const auto& [name, predefined] : roots)
    root = key.substr(0, end) == name ? predefined : root;
  const std::wstring subkey = end == std::wstring::npos ? L"" : key.substr(end + 1);
  RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &handle,
                  nullptr);
  return handle;
}

bool Put(HKEY key, const std::wstring& name, const std::wstring& typeName, std::string data) {
  DWORD type = 0;
  while (type < 8 && typeName != kTypes[type]) ++type;
  const std::wstring text = Wide(data);
  if (IsText(type)) data.assign(reinterpret_cast<const char*>(text.c_str()), text.size() * 2);
  // A string whose next unit is NUL would be written with it.
  const DWORD size = static_cast<DWORD>(data.size());
  data += "\1\1";
  return RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                        size) == ERROR_SUCCESS;
}

// The key (from its root's name on), value name and type name that a file
// "registry/KEY/NAME.TYPE" stands for; for a folder "registry/KEY/", the key.
struct File {
  std::wstring key, name, type;
};
File Split(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  const size_t end = path.rfind(L'\\'), dot = path.rfind(L'.');
  return {path.substr(9, end - 9), path.substr(end + 1, dot - end - 1), path.substr(dot + 1)};
}

// Sets the values from their files ("load", after making the test's key
// afresh), or writes them back into them ("save").
bool Mirror(bool load, int count, wchar_t** paths) {
  bool ok = true;
  if (load) RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\cfgline-e2e");
  for (const std::wstring& path : std::vector<std::wstring>(paths, paths + count)) {
    const File file = Split(path);
    const HKEY key = Open(file.key);
    DWORD type = 0, size = 0;
    if (load && !path.ends_with(L'/')) {
      std::ifstream in(fs::path(path), std::ios::binary);
      ok = Put(key, file.name, file.type, {std::istreambuf_iterator<char>(in), {}}) && ok;
    } else if (!load && !path.ends_with(L'/')) {
      const bool found =
          RegQueryValueExW(key, file.name.c_str(), nullptr, &type, nullptr, &size) == 0;
      std::string data(size, '\0');
      RegQueryValueExW(key, file.name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                       &size);
      if (IsText(type)) data = Narrow(reinterpret_cast<const wchar_t*>(data.data()), size / 2);
      const std::wstring now =
          path.substr(0, path.rfind(L'.') + 1) + (type < 8 ? kTypes[type] : L"?");
      if (!found || now != path) fs::remove(path);
      if (found) std::ofstream(fs::path(now), std::ios::binary) << data;
    }
    RegCloseKey(key);
  }
  return ok;
}

// A desktop of this program's own, for the calling thread and those that
// join it; it has a display even where the prefix's first one has none.
std::wstring desktop = L"cfgline-" + std::to_wstring(GetCurrentProcessId());
HDESK ownDesktop = nullptr;

bool JoinOwnDesktop() {
  if (ownDesktop == nullptr) {
    ownDesktop = CreateDesktopW(desktop.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  }
  return ownDesktop != nullptr && SetThreadDesktop(ownDesktop);
}

// Runs the command line `args` on the own desktop until it exits, at most
// 120 s; false when it cannot.
bool Run(int count, wchar_t** args) {
  std::wstring command;
  for (int i = 0; i < count; ++i) command += L'"' + std::wstring(args[i]) + L"\" ";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop.data();
  PROCESS_INFORMATION process;
  if (!JoinOwnDesktop() || !CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                           nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  return WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0;
}

LONG announcements = 0;
DWORD answerAfter = 0;  // ms that each window takes to answer an announcement

LRESULT CALLBACK Answer(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_SETTINGCHANGE || lparam == 0 ||
      std::wstring(reinterpret_cast<const wchar_t*>(lparam)) != L"Environment") {
    return DefWindowProcW(window, message, wparam, lparam);
  }
  if (InterlockedIncrement(&announcements) == 1 && answerAfter > 0) {
    std::puts("announced");
    std::fflush(stdout);
  }
  Sleep(answerAfter);
  return 0;
}

DWORD WINAPI AnsweringWindow(void* ready) {
  MSG msg;
  if (JoinOwnDesktop() && CreateWindowExW(0, L"cfgline", L"", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                          nullptr, nullptr, nullptr, nullptr) != nullptr) {
    ReleaseSemaphore(ready, 1, nullptr);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  }
  return 0;
}

// Opens `windows` top-level windows on the own desktop, each on a thread of
// its own; false when it cannot.
bool OpenWindows(int windows) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = Answer;
  windowClass.lpszClassName = L"cfgline";
  const HANDLE ready = CreateSemaphoreW(nullptr, 0, windows, nullptr);
  if (!JoinOwnDesktop() || RegisterClassW(&windowClass) == 0) return false;
  for (int i = 0; i < windows; ++i) {
    CloseHandle(CreateThread(nullptr, 0, AnsweringWindow, ready, 0, nullptr));
    if (WaitForSingleObject(ready, 30000) != WAIT_OBJECT_0) return false;
  }
  return true;
}

// Runs the command line `args` while a folder stands at the lock file of
// `what`; false when it cannot.
bool OccupyLock(const std::wstring& what, int count, wchar_t** args) {
  const std::wstring folder = platform::LockFolder();
  const std::wstring occupied = folder + L"\\" + platform::LockFileName(what);
  CreateDirectoryW(folder.c_str(), nullptr);
  DeleteFileW(occupied.c_str());  // the lock file of earlier runs
  if (!CreateDirectoryW(occupied.c_str(), nullptr)) return false;
  const bool ran = Run(count, args);
  RemoveDirectoryW(occupied.c_str());
  return ran;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && argv[1] == std::wstring(L"--32")) {
    view = KEY_WOW64_32KEY;
    --argc, ++argv;
  }
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"--announcements") {
    const bool ran = OpenWindows(1) && Run(argc - 2, argv + 2);
    Sleep(300);  // for announcements still on their way
    std::printf("announcements: %ld", ran ? announcements : -1L);
    return 0;
  }
  if (command == L"--slow-windows") {
    answerAfter = 4000;
    if (!OpenWindows(10)) return 1;
    const ULONGLONG start = GetTickCount64();
    if (!Run(argc - 2, argv + 2)) return 1;
    const ULONGLONG took = GetTickCount64() - start;
    std::printf("done %s\n",
                took < 10000 ? "within 10 s" : ("after " + std::to_string(took) + " ms").c_str());
    return 0;
  }
  if (command == L"--occupy-lock" && argc > 2) {
    return OccupyLock(argv[2], argc - 3, argv + 3) ? 0 : 1;
  }
  if (command != L"load" && command != L"save") return 2;
  return Mirror(command == L"load", argc - 2, argv + 2) ? 0 : 1;
}
