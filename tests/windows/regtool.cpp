// Sets up and reads registry values below HKEY_CURRENT_USER for the
// end-to-end tests through the W functions, so that every character of a
// name or value arrives exactly: regtool FILE runs the lines of FILE (UTF-8,
// fields separated by tabs):
//   new KEY                     makes KEY afresh
//   put KEY NAME TYPE HEX       sets a value, keeping the rest of KEY
//   get KEY NAME                prints "TYPE HEX" when the value exists
//   del KEY NAME
// TYPE is the type's name, as REG_SZ. String data (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ) is given and shown as UTF-8; other data as its bytes. Exits with 1 when a new
// or put fails.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* const kTypes[] = {"REG_NONE", "REG_SZ",   "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                              "",         "",         "REG_MULTI_SZ",  "",           "",
                              "",         "REG_QWORD"};

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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  FILE* file = argc == 2 ? _wfopen(argv[1], L"rb") : nullptr;
  if (file == nullptr) return 2;
  std::vector<std::string> f(1);
  bool ok = true;
  for (int c; (c = std::fgetc(file)) != EOF;) {
    if (c == '\t') f.emplace_back();
    if (c != '\n') {
      if (c != '\t') f.back() += static_cast<char>(c);
      continue;
    }
    f.resize(5);
    const std::wstring key = Wide(f[1]), name = Wide(f[2]);
    DWORD type = 0;
    while (type < 12 && f[3] != kTypes[type]) ++type;
    const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    HKEY handle = nullptr;
    if (f[0] == "new") RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &handle, nullptr) != ERROR_SUCCESS) {
      ok = false;
    } else if (f[0] == "put") {
      std::string data;
      for (size_t i = 0; i + 1 < f[4].size(); i += 2) {
        data += static_cast<char>(std::strtoul(f[4].substr(i, 2).c_str(), nullptr, 16));
      }
      if (text)
        data =
            std::string(reinterpret_cast<const char*>(Wide(data).c_str()), Wide(data).size() * 2);
      ok = ok &&
           RegSetValueExW(handle, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
    } else if (f[0] == "del") {
      RegDeleteValueW(handle, name.c_str());
    } else if (f[0] == "get") {
      DWORD size = 0;
      if (RegQueryValueExW(handle, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::string data(size, '\0');
        RegQueryValueExW(handle, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size);
        if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
          data = Narrow(std::wstring(reinterpret_cast<const wchar_t*>(data.data()), size / 2));
        }
        std::printf("%s ", type < 12 ? kTypes[type] : "?");
        for (unsigned char byte : data) std::printf("%02x", byte);
        std::printf("\n");
      }
    }
    if (handle != nullptr) RegCloseKey(handle);
    f.assign(1, "");
  }
  std::fclose(file);
  return ok ? 0 : 1;
}
