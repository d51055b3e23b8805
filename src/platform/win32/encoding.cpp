#include <windows.h>

#include "platform/encoding.h"
#include "text/unicode.h"

namespace platform {
namespace {

// `wide` in the ANSI code page, false unless it converts back to exactly the
// same characters: no best fit, no default character.
bool ToCodePage(const std::wstring& wide, std::string& bytes) {
  bytes.clear();
  if (wide.empty()) return true;
  const UINT codePage = GetACP();
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int wideSize = static_cast<int>(wide.size());
  const int size =
      WideCharToMultiByte(codePage, flags, wide.data(), wideSize, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return false;
  bytes.resize(static_cast<size_t>(size));
  WideCharToMultiByte(codePage, flags, wide.data(), wideSize, bytes.data(), size, nullptr, nullptr);
  std::wstring back(wide.size(), L'\0');
  return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, back.data(),
                             wideSize) == wideSize &&
         back == wide;
}

}  // namespace

const std::string_view kLineEnd = "\r\n";

bool EncodeText(std::string_view text, TextEncoding encoding, std::string& bytes) {
  std::u16string units;
  // UTF-8 and the code page cannot carry an unpaired surrogate; UTF-16 can.
  const bool utf16 = encoding == TextEncoding::kUtf16Le || encoding == TextEncoding::kUtf16Be;
  if (!text::Utf16FromWtf8(text, utf16, units)) return false;
  switch (encoding) {
    case TextEncoding::kCodePage:
      return ToCodePage(std::wstring(units.begin(), units.end()), bytes);
    case TextEncoding::kUtf8:
      bytes = text;
      return true;
    case TextEncoding::kUtf16Le:
    case TextEncoding::kUtf16Be:
      bytes = text::Utf16Bytes(units, encoding == TextEncoding::kUtf16Be);
      return true;
  }
  return false;
}

TextEncoding UnmarkedEncoding(std::string_view bytes) {
  return text::CheckUtf8(bytes) == text::Utf8Check::kUtf8 ? TextEncoding::kUtf8
                                                          : TextEncoding::kCodePage;
}

size_t TextLength(std::string_view text) {
  std::u16string units;
  return text::Utf16FromWtf8(text, true, units) ? units.size() : text.size();
}

}  // namespace platform
