// The line editor through its public face only: CclFileUtils on a real file
// in a memory-backed folder, against a model of lines written here from the
// editor's documented rules:
//   - lines are split at LF, a CR right before an LF is dropped, and empty
//     lines are dropped; a rewrite writes each line with the line end the
//     editor is given, LF or CR LF, and a removal that leaves no line writes
//     one line end;
//   - a file that needs no change keeps its bytes;
//   - a text holding an LF is refused on install, with the file untouched,
//     and ignored on uninstall.
// Properties: every edit, a second install included, gives what the model
// says; where the lines a rewrite writes read back as written (a line that
// ends in CR, written with LF alone, does not), installing twice equals
// installing once and removing a text right after installing it, where it
// was absent, gives the original in its rewritten form; a rewrite splits
// back into the expected lines; a removal takes out exactly the lines that
// contain the text; no temporary file stays.
//
// The first input byte picks the line end and the file's encoding: bytes
// without a mark, or a byte-order mark and UTF-8 or UTF-16 in either byte
// order, or UTF-8 without a mark. The model works on code units (bytes,
// 16-bit units for UTF-16, characters for UTF-8 without a mark) and knows
// nothing of the editor's code; a UTF-16 or unmarked UTF-8 file's text is
// given as UTF-8, as on the command line.
//
// Besides, the fast UTF-8 check that tells an unmarked file's encoding on
// Windows must agree with the decoder, on the raw input and on the file.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "fileutils/CclFileUtils.h"
#include "support/temp_dir.h"
#include "text/unicode.h"

namespace {

using namespace std::string_view_literals;
using Units = std::u16string;  // a byte file's bytes, one to a unit
using Lines = std::vector<Units>;

struct Encoding {
  std::string_view mark;
  int unitBytes;
  bool bigEndian;
  bool utf8 = false;  // units are characters, stored as UTF-8
};
constexpr Encoding kEncodings[] = {{"", 1, false},
                                   {"\xEF\xBB\xBF", 1, false},
                                   {"\xFF\xFE", 2, false},
                                   {"\xFE\xFF", 2, true},
                                   {"", 2, false, true}};

// The UTF-8 of units that hold no surrogate (the codec's own test pins its
// bytes).
std::string Utf8(const Units& units) { return text::Wtf8FromUtf16(units); }

// What the UTF-8 check says of the UTF-8 of `units`.
text::Utf8Check Utf8CheckOf(const std::u16string& units) {
  const bool ascii = std::all_of(units.begin(), units.end(), [](char16_t u) { return u < 0x80; });
  return ascii ? text::Utf8Check::kAscii : text::Utf8Check::kUtf8;
}

std::string FileBytes(const Encoding& encoding, const Units& units) {
  std::string bytes(encoding.mark);
  if (encoding.utf8) return bytes + Utf8(units);
  for (const char16_t unit : units) {
    const char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    if (encoding.unitBytes == 1) bytes += low;
    else if (encoding.bigEndian) bytes += {high, low};
    else bytes += {low, high};
  }
  return bytes;
}

Lines SplitLines(std::u16string_view contents) {
  Lines lines;
  while (!contents.empty()) {
    const size_t lf = contents.find(u'\n');
    std::u16string_view line = contents.substr(0, lf);
    if (lf != std::u16string_view::npos && line.ends_with(u'\r')) line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    contents.remove_prefix(lf == std::u16string_view::npos ? contents.size() : lf + 1);
  }
  return lines;
}

Units lineEnd;  // the line end of this input's edits

Units Rewritten(const Lines& lines) {
  if (lines.empty()) return lineEnd;
  Units out;
  for (const Units& line : lines) out += line + lineEnd;
  return out;
}

bool AnyContains(const Lines& lines, const Units& text) {
  return std::ranges::any_of(lines,
                             [&](const Units& line) { return line.find(text) != Units::npos; });
}

// Runs one edit on the file; returns the message it threw, or "".
std::string Edit(const std::string& path, bool install, const std::string& text) {
  try {
    CclFileUtils file(path, lineEnd == u"\n" ? "\n" : "\r\n");
    install ? file.AddLine(text) : file.RemoveLine(text);
  } catch (const char* message) {
    return message;
  }
  return "";
}

// What the file must hold after installing `text` into `contents`.
Units AfterInstall(const Units& contents, const Units& text) {
  Lines lines = SplitLines(contents);
  if (AnyContains(lines, text)) return contents;
  lines.push_back(text);
  return Rewritten(lines);
}

// What the file must hold after uninstalling `text` from `contents`.
Units AfterUninstall(const Units& contents, const Units& text) {
  const Lines lines = SplitLines(contents);
  Lines kept;
  for (const Units& line : lines) {
    if (line.find(text) == Units::npos) kept.push_back(line);
  }
  return kept.size() == lines.size() ? contents : Rewritten(kept);
}

// Units from the input: bytes, or for UTF-16 pairs of bytes, or for UTF-8
// a byte below 0x80 or a pair above; a text's units, and all of a UTF-8
// file's, hold no surrogate, so that they have a UTF-8 form.
Units TakeUnits(FuzzedDataProvider& input, const Encoding& encoding, size_t most, bool text) {
  Units units;
  while (units.size() < most && input.remaining_bytes() > 0) {
    char16_t unit = input.ConsumeIntegral<uint8_t>();
    if (encoding.unitBytes == 2 && (!encoding.utf8 || unit >= 0x80)) {
      unit = static_cast<char16_t>(unit | input.ConsumeIntegral<uint8_t>() << 8);
    }
    if (text && unit == 0) break;  // ends the text
    if ((text || encoding.utf8) && unit >= 0xD800 && unit <= 0xDFFF) unit = u'?';
    units += unit;
  }
  return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TempDir folder;  // fuzz/run puts $TMPDIR in memory
  static const std::string path = folder / "f.txt";
  const std::vector<std::string> onlyTheFile = {"f.txt"};
  FuzzedDataProvider input(data, size);
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  std::u16string decoded;
  FUZZ_CHECK(text::CheckUtf8(raw) == (text::Utf16FromWtf8(raw, false, decoded)
                                          ? Utf8CheckOf(decoded)
                                          : text::Utf8Check::kNotUtf8));

  const int pick = input.ConsumeIntegralInRange(0, 9);
  const Encoding& encoding = kEncodings[pick % 5];
  lineEnd = pick < 5 ? u"\n" : u"\r\n";
  const Units text = TakeUnits(input, encoding, 64, true);
  const Units contents = TakeUnits(input, encoding, SIZE_MAX, false);
  const std::string bytes = FileBytes(encoding, contents);
  if (encoding.utf8) FUZZ_CHECK(text::CheckUtf8(bytes) == Utf8CheckOf(contents));
  auto file = [&](const Units& units) { return FileBytes(encoding, units); };
  // A file without a mark that starts like one, before or after an edit, is
  // read in that encoding, and one that starts FF FE 00 00 as UTF-32, which
  // is refused.
  auto looksMarked = [](const std::string& bytes) {
    return bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF") ||
           bytes.starts_with("\xEF\xBB\xBF") || bytes.starts_with("\0\0\xFE\xFF"sv);
  };
  const Units once = AfterInstall(contents, text), twice = AfterInstall(once, text);
  for (const Units& after :
       {contents, once, twice, AfterUninstall(twice, text), AfterUninstall(contents, text)}) {
    const std::string afterBytes = file(after);
    if ((encoding.mark.empty() && looksMarked(afterBytes)) ||
        afterBytes.starts_with("\xFF\xFE\0\0"sv)) {
      return -1;
    }
  }
  const std::string argument =
      encoding.unitBytes == 2 ? Utf8(text) : FileBytes(encoding, text).substr(encoding.mark.size());

  const bool holdsLineEnd = text.find(u'\n') != Units::npos;
  const bool absent = !AnyContains(SplitLines(contents), text);  // "" is in every line
  // The lines after installing an absent text.
  Lines expected = SplitLines(contents);
  if (!text.empty()) expected.push_back(text);
  // With LF alone, a line written that ends in CR reads back without it: only
  // where none does, the next edit sees the lines that a rewrite wrote. With
  // CR LF every line reads back.
  const bool readsBack = SplitLines(Rewritten(expected)) == expected;

  // Install, twice.
  WriteBytes(path, bytes);
  const std::string installMessage = Edit(path, true, argument);
  const std::string installed = ReadBytes(path);
  if (holdsLineEnd) {
    FUZZ_CHECK(installMessage == "Cannot open file.");
    FUZZ_CHECK(installed == bytes);
  } else {
    FUZZ_CHECK(installMessage.empty());
    FUZZ_CHECK(installed == file(once));
    if (absent) FUZZ_CHECK(installed == file(Rewritten(expected)));
  }
  FUZZ_CHECK(Edit(path, true, argument) == installMessage);
  const std::string installedTwice = ReadBytes(path);
  FUZZ_CHECK(installedTwice == (holdsLineEnd ? bytes : file(twice)));
  if (readsBack) FUZZ_CHECK(installedTwice == installed);
  FUZZ_CHECK(folder.List() == onlyTheFile);

  // Uninstall right after: an absent text comes out again.
  FUZZ_CHECK(Edit(path, false, argument).empty());
  const std::string uninstalled = ReadBytes(path);
  if (holdsLineEnd) {
    FUZZ_CHECK(uninstalled == bytes);
  } else {
    FUZZ_CHECK(uninstalled == file(AfterUninstall(twice, text)));
    if (absent && readsBack) FUZZ_CHECK(uninstalled == file(Rewritten(SplitLines(contents))));
  }

  // Uninstall from the original: exactly the lines that contain the text go.
  WriteBytes(path, bytes);
  FUZZ_CHECK(Edit(path, false, argument).empty());
  const std::string removed = ReadBytes(path);
  FUZZ_CHECK(removed == (holdsLineEnd ? bytes : file(AfterUninstall(contents, text))));
  FUZZ_CHECK(folder.List() == onlyTheFile);
  return 0;
}
