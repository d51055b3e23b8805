// The platform's text files and names: how a file without a byte-order mark
// is encoded, how text is put into a file's encoding, how long a name is in
// the system's characters, and the line end a rewrite writes.
//
// Error contract: EncodeText returns false when a character cannot be
// carried exactly; nothing is ever replaced by a look-alike or a default
// character. Only std::bad_alloc can be thrown.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// How a text file stores its characters.
enum class TextEncoding {
  kCodePage,  // the system's own: the ANSI code page on Windows, bytes elsewhere
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

// The line end of the platform's text files, which a rewrite writes after
// every line unless told otherwise: CR LF on Windows, LF alone elsewhere.
extern const std::string_view kLineEnd;

}  // namespace platform
