// Adds a line to or removes lines from one existing text file.
//
// Lines end where the object's character classification says: only LF is
// white space, so blanks, tabs, CR and NUL belong to their line. A CR right
// before a line end is dropped when reading, and every line end is written as
// the object's line end: the platform's (platform::kLineEnd: CR LF on Windows,
// LF elsewhere) unless it is given. Lines are never empty: runs of line ends
// only separate them.
//
// A file that opens with a byte-order mark is edited in its own encoding and
// keeps the mark, which is part of no line: UTF-8 (EF BB BF), or UTF-16 in
// either byte order (FF FE, FE FF), whose rules above apply to 16-bit code
// units. The text is converted into the file's encoding first: a file
// without a mark gets it in the ANSI code page on Windows, or in UTF-8 where
// the file holds UTF-8 beyond ASCII (platform::UnmarkedEncoding), as bytes
// elsewhere. A text that the encoding cannot carry exactly, or that holds a
// line end, is in no line: adding it fails, removing it changes nothing.
//
// Error contract: AddLine and RemoveLine throw the message text
// "Cannot open file." (const char*) when the file cannot be read or safely
// rewritten, or is UTF-32 or UTF-16 of an odd length; the file is then byte
// for byte as it was. A file that needs no
// change is never written.
#pragma once

#include <locale>
#include <memory>
#include <string>
#include <string_view>

#include "platform/encoding.h"

class CclFileUtils {
 public:
  // `lineEnd` is "\n" or "\r\n".
  explicit CclFileUtils(const std::string& fileName, std::string_view lineEnd = platform::kLineEnd);
  virtual ~CclFileUtils();
  CclFileUtils(const CclFileUtils&) = delete;
  CclFileUtils& operator=(const CclFileUtils&) = delete;

  // Builds the newline-only classification and the locale that carries it.
  virtual void InitLocale();

  // Appends `text` as a line unless a line already contains it.
  void AddLine(const std::string& text);
  // Removes every line that contains `text`.
  void RemoveLine(const std::string& text);

 private:
  std::string fileName_;
  std::string lineEnd_;
  std::unique_ptr<std::ctype_base::mask[]> table_;
  const std::ctype<char>* facet_ = nullptr;  // owned by locale_
  std::locale locale_;
};
