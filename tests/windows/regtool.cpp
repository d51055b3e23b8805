// Sets up and reads registry values for the end-to-end tests through the W
// functions, so that every character of a name or value arrives exactly:
//   regtool set KEY [NAME TYPE HEX]   makes KEY below HKEY_CURRENT_USER afresh
//   regtool add KEY NAME TYPE HEX     sets a value, keeping the rest of KEY
//   regtool get KEY NAME              prints "TYPE HEX"; status 1 when missing
//   regtool delete KEY NAME
// TYPE is the type's number; HEX is given in a file, named "@FILE", as it
// may be longer than a command line can be. String data (REG_SZ, REG_EXPAND_SZ) is given
// and shown as UTF-8, converted by the system; other data as its bytes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

std::string FromHexFile(const wchar_t* name) {
  std::string bytes;
  FILE* file = _wfopen(name + 1, L"rb");
  for (char hex[3] = {}; file != nullptr && std::fread(hex, 1, 2, file) == 2;) {
    bytes += static_cast<char>(std::strtoul(hex, nullptr, 16));
  }
  if (file != nullptr) std::fclose(file);
  return bytes;
}

// Between UTF-8 and UTF-16, every byte or unit included, NULs too.
std::string Convert(UINT codePage, const std::string& bytes, bool toWide) {
  const int size = static_cast<int>(bytes.size());
  if (toWide) {
    std::wstring wide(bytes.size(), L'\0');
    wide.resize(MultiByteToWideChar(codePage, 0, bytes.data(), size, wide.data(), size));
    return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  }
  const auto* wide = reinterpret_cast<const wchar_t*>(bytes.data());
  std::string narrow(bytes.size() * 2, '\0');
  narrow.resize(WideCharToMultiByte(codePage, 0, wide, size / 2, narrow.data(),
                                    static_cast<int>(narrow.size()), nullptr, nullptr));
  return narrow;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc >= 3 ? argv[1] : L"";
  HKEY key = nullptr;
  if (command == L"set" || (command == L"add" && argc == 6)) {
    if (command == L"set") RegDeleteTreeW(HKEY_CURRENT_USER, argv[2]);
    if (RegCreateKeyExW(HKEY_CURRENT_USER, argv[2], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      return 1;
    }
    if (argc < 6) return 0;
    const DWORD type = std::wcstoul(argv[4], nullptr, 10);
    std::string data = FromHexFile(argv[5]);
    if (IsString(type)) data = Convert(CP_UTF8, data, true);
    return RegSetValueExW(key, argv[3], 0, type, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS ? 0 : 1;
  }
  if (argc != 4 ||
      RegOpenKeyExW(HKEY_CURRENT_USER, argv[2], 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return 1;
  }
  if (command == L"delete") return RegDeleteValueW(key, argv[3]) == ERROR_SUCCESS ? 0 : 1;
  DWORD type = 0, size = 0;
  if (command != L"get" ||
      RegQueryValueExW(key, argv[3], nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return 1;
  }
  std::string data(size, '\0');
  RegQueryValueExW(key, argv[3], nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  if (IsString(type)) data = Convert(CP_UTF8, data, false);
  std::printf("%lu ", type);
  for (unsigned char byte : data) std::printf("%02x", byte);
  std::printf("\n");
  return 0;
}
