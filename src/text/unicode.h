// The program's text codec: UTF-8, UTF-16 and WTF-8, without the system.
//
// Inside the program every name, value and line text is a byte string: on
// Windows UTF-8, with an unpaired surrogate kept as WTF-8 so that any name
// or value the system hands over round-trips exactly; elsewhere the bytes as
// given. These conversions are pure; what the system's own text is (the
// ANSI code page, the length of a name) is the platform's, in
// platform/encoding.h.
//
// Error contract: a conversion returns false when its input is malformed.
// Nothing is ever replaced by a look-alike or a default character. Only
// std::bad_alloc can be thrown.
#pragma once

#include <string>
#include <string_view>

namespace text {

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

}  // namespace text
