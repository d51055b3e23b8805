// Text at the program's edges.
//
// Inside the program every name, value and line text is a byte string. On
// Windows it is UTF-8, with an unpaired surrogate kept as WTF-8, so that any
// name or value the system hands over round-trips exactly; elsewhere it is
// the bytes as given. Conversions to and from other encodings happen here.
//
// Error contract: a conversion returns false when its input is malformed or
// a character cannot be carried exactly. Nothing is ever replaced by a
// look-alike or a default character. Only std::bad_alloc can be thrown.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The UTF-16 code units of `text`, which is UTF-8 or, when
// `allowLoneSurrogates`, WTF-8 (UTF-8 plus unpaired surrogates encoded as
// three bytes). False when `text` is malformed.
bool Utf16FromWtf8(std::string_view text, bool allowLoneSurrogates, std::u16string& units);

// WTF-8 of any sequence of UTF-16 code units; UTF-8 when they hold no
// unpaired surrogate.
std::string Wtf8FromUtf16(std::u16string_view units);

// The bytes of UTF-16 code units in little- or big-endian order.
std::string Utf16Bytes(std::u16string_view units, bool bigEndian);

// How `bytes` read as UTF-8 as RFC 3629 has it: no overlong form, no
// surrogate, nothing above U+10FFFF, no sequence cut short at the end.
enum class Utf8Check { kAscii, kUtf8, kNotUtf8 };
Utf8Check CheckUtf8(std::string_view bytes);

// How a text file stores its characters.
enum class TextEncoding {
  kCodePage,  // the ANSI code page on Windows, bytes elsewhere
  kUtf8,
  kUtf16Le,
  kUtf16Be,
};

// The encoding of a text file without a byte-order mark that holds `bytes`.
// On Windows, UTF-8 when they are UTF-8 with at least one character beyond
// ASCII: written in the code page, such a file would hold two encodings.
// Otherwise, and always elsewhere, kCodePage.
TextEncoding UnmarkedEncoding(std::string_view bytes);

// `text` as a file in `encoding` holds it. On Windows the text is converted
// from UTF-8; elsewhere kCodePage and kUtf8 are the bytes unchanged and
// UTF-16 is converted from UTF-8. False when a character cannot be carried.
bool EncodeText(std::string_view text, TextEncoding encoding, std::string& bytes);

// The length of `text` in the system's characters: UTF-16 code units on
// Windows, bytes elsewhere.
size_t TextLength(std::string_view text);

}  // namespace platform
