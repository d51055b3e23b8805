#include "text/unicode.h"

#include <cstdint>
#include <cstring>

namespace text {
namespace {

bool IsLead(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsTrail(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The code point of the sequence at the start of `text`, of `length` bytes,
// or a value above 0x10FFFF when the bytes are no shortest-form sequence.
char32_t DecodeOne(std::string_view text, size_t& length) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    length = 1;
    return lead;
  }
  char32_t point;
  char32_t least;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, point = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, point = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, point = lead & 0x07, least = 0x10000;
  } else {
    return 0x110000;
  }
  if (text.size() < length) return 0x110000;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0x110000;
    point = point << 6 | (byte(i) & 0x3F);
  }
  return point < least ? 0x110000 : point;
}

}  // namespace

bool Utf16FromWtf8(std::string_view text, bool allowLoneSurrogates, std::u16string& units) {
  units.clear();
  units.reserve(text.size());
  for (size_t length = 0; !text.empty(); text.remove_prefix(length)) {
    const char32_t point = DecodeOne(text, length);
    if (point > 0x10FFFF) return false;
    if (IsLead(point) || IsTrail(point)) {
      // A pair must be written as one four-byte sequence, never as two halves.
      if (!allowLoneSurrogates || (IsTrail(point) && !units.empty() && IsLead(units.back()))) {
        return false;
      }
    }
    if (point >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(point);
    }
  }
  return true;
}

Utf8Check CheckUtf8(std::string_view bytes) {
  bool ascii = true;
  size_t at = 0;
  while (at < bytes.size()) {
    uint64_t eight;  // ASCII runs are passed eight bytes at a time
    if (bytes.size() - at >= 8) {
      std::memcpy(&eight, bytes.data() + at, 8);
      if ((eight & 0x8080808080808080) == 0) {
        at += 8;
        continue;
      }
    }
    size_t length = 1;
    const char32_t point = DecodeOne(bytes.substr(at), length);
    if (point > 0x10FFFF || IsLead(point) || IsTrail(point)) return Utf8Check::kNotUtf8;
    ascii = ascii && point < 0x80;
    at += length;
  }
  return ascii ? Utf8Check::kAscii : Utf8Check::kUtf8;
}

std::string Wtf8FromUtf16(std::u16string_view units) {
  std::string text;
  text.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t point = units[i];
    if (IsLead(point) && i + 1 < units.size() && IsTrail(units[i + 1])) {
      point = 0x10000 + ((point - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    if (point < 0x80) {
      text += static_cast<char>(point);
    } else if (point < 0x800) {
      text += static_cast<char>(0xC0 | point >> 6);
      text += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
      text += static_cast<char>(0xE0 | point >> 12);
      text += static_cast<char>(0x80 | (point >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (point & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | point >> 18);
      text += static_cast<char>(0x80 | (point >> 12 & 0x3F));
      text += static_cast<char>(0x80 | (point >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (point & 0x3F));
    }
  }
  return text;
}

std::string Utf16Bytes(std::u16string_view units, bool bigEndian) {
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (const char16_t unit : units) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

}  // namespace text
