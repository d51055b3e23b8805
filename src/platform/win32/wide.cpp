#include "platform/win32/wide.h"

#include <windows.h>

#include "text/unicode.h"

namespace platform {

bool Widen(std::string_view text, std::wstring& wide) {
  std::u16string units;
  if (!text::Utf16FromWtf8(text, true, units)) return false;
  wide.assign(units.begin(), units.end());
  return true;
}

std::string Narrow(std::wstring_view wide) {
  return text::Wtf8FromUtf16(std::u16string(wide.begin(), wide.end()));
}

bool WidePath(const std::string& path, std::wstring& wide) {
  if (!Widen(path, wide)) return false;
  if (wide.size() < MAX_PATH || wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) {
    return true;
  }
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD length = size == 0 ? 0 : GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return false;
  full.resize(length);
  if (full.starts_with(L"\\\\")) {
    wide = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    wide = L"\\\\?\\" + full;
  }
  return true;
}

}  // namespace platform
