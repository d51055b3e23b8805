#include "platform/encoding.h"
#include "text/unicode.h"

namespace platform {

const std::string_view kLineEnd = "\n";

bool EncodeText(std::string_view text, TextEncoding encoding, std::string& bytes) {
  if (encoding == TextEncoding::kCodePage || encoding == TextEncoding::kUtf8) {
    bytes = text;
    return true;
  }
  std::u16string units;
  if (!text::Utf16FromWtf8(text, false, units)) return false;
  bytes = text::Utf16Bytes(units, encoding == TextEncoding::kUtf16Be);
  return true;
}

// Text is bytes as given whatever the file holds: nothing to look at.
TextEncoding UnmarkedEncoding(std::string_view) { return TextEncoding::kCodePage; }

size_t TextLength(std::string_view text) { return text.size(); }

}  // namespace platform
