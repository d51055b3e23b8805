#include "fileutils/CclFileUtils.h"

#include <cstring>
#include <string_view>

#include "platform/encoding.h"
#include "platform/files.h"
#include "text/find_bytes.h"

namespace {

using namespace std::string_view_literals;
using platform::TextEncoding;

const char kCannotOpen[] = "Cannot open file.";
constexpr auto kLineEndClass = std::ctype_base::space;
constexpr size_t npos = std::string_view::npos;

// How a file stores its text: the byte-order mark that opens it, which is
// part of no line, and its code units, of one byte or two in the file's byte
// order.
struct Layout {
  TextEncoding encoding;
  std::string_view bom;
  std::string_view lf;  // the line feed unit
  std::string_view cr;  // the carriage return unit
};

// Tried in this order; a file without a byte-order mark is bytes, whose
// encoding the platform tells.
constexpr Layout kLayouts[] = {
    {TextEncoding::kUtf8, "\xEF\xBB\xBF", "\n", "\r"},
    {TextEncoding::kUtf16Le, "\xFF\xFE", "\n\0"sv, "\r\0"sv},
    {TextEncoding::kUtf16Be, "\xFE\xFF", "\0\n"sv, "\0\r"sv},
    {TextEncoding::kCodePage, "", "\n", "\r"},
};

// The layout of a file that starts with `bytes`, or null for one that cannot
// be edited: UTF-32, or UTF-16 with half a code unit at its end.
const Layout* LayoutOf(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE\0\0"sv) || bytes.starts_with("\0\0\xFE\xFF"sv)) return nullptr;
  for (const Layout& layout : kLayouts) {
    if (!bytes.starts_with(layout.bom)) continue;
    if ((bytes.size() - layout.bom.size()) % layout.lf.size() != 0) return nullptr;
    return &layout;
  }
  return nullptr;
}

// True when LF is the one byte of the line end class.
bool IsLfOnly(const std::ctype<char>& ctype) {
  for (int c = 0; c < 256; ++c) {
    if (ctype.is(kLineEndClass, static_cast<char>(c)) != (c == '\n')) return false;
  }
  return true;
}

// A line end of CR and LF in the units of a layout.
std::string LineEndIn(const Layout& layout, std::string_view lineEnd) {
  std::string units;
  for (const char c : lineEnd) units += c == '\r' ? layout.cr : layout.lf;
  return units;
}

// Where lines end in text of one layout, and how they are ended when written.
// With one-byte units the object's character classification says which bytes
// end lines; with two-byte units only the line feed unit does. Every pointer
// handed in starts a code unit.
class LineCode {
 public:
  LineCode(const Layout& layout, const std::ctype<char>& ctype, std::string_view lineEnd)
      : layout_(layout),
        unit_(layout.lf.size()),
        ctype_(ctype),
        lfOnly_(IsLfOnly(ctype)),
        lineEnd_(LineEndIn(layout, lineEnd)) {}

  size_t unit() const { return unit_; }
  std::string_view lineEnd() const { return lineEnd_; }
  bool IsLf(const char* at) const { return std::memcmp(at, layout_.lf.data(), unit_) == 0; }
  bool IsCr(const char* at) const { return std::memcmp(at, layout_.cr.data(), unit_) == 0; }

  // The first line end in [from, to), or `to`. memchr finds the line feed
  // byte many bytes at a time.
  const char* FindLineEnd(const char* from, const char* to) const {
    if (unit_ == 1 && !lfOnly_) return ctype_.scan_is(kLineEndClass, from, to);
    if (static_cast<size_t>(to - from) < unit_) return to;
    const size_t lfByte = layout_.lf[0] == '\n' ? 0 : 1;  // where 0A stands in the unit
    for (const char* at = from + lfByte; at < to;) {
      const void* hit = std::memchr(at, '\n', to - at);
      if (hit == nullptr) break;
      const char* unitStart = static_cast<const char*>(hit) - lfByte;
      if ((unitStart - from) % unit_ == 0 && unitStart + unit_ <= to && IsLf(unitStart)) {
        return unitStart;
      }
      at = static_cast<const char*>(hit) + 1;
    }
    return to;
  }

 private:
  const Layout& layout_;
  const size_t unit_;
  const std::ctype<char>& ctype_;
  const bool lfOnly_;
  const std::string lineEnd_;
};

// Walks the lines of a file's text in order.
class LineReader {
 public:
  LineReader(std::string_view contents, const LineCode& code)
      : pos_(contents.data()), end_(pos_ + contents.size()), code_(code) {}

  // Stores the next line in `line`; false when there is none left.
  bool Next(std::string_view& line) {
    const size_t unit = code_.unit();
    while (pos_ != end_) {
      const char* begin = pos_;
      const char* stop = code_.FindLineEnd(begin, end_);
      pos_ = stop == end_ ? stop : stop + unit;
      const char* last = stop;
      if (stop != end_ && code_.IsLf(stop) && last != begin && code_.IsCr(last - unit)) {
        last -= unit;
      }
      if (last != begin) {
        line = std::string_view(begin, last - begin);
        return true;
      }
    }
    return false;
  }

 private:
  const char* pos_;
  const char* end_;
  const LineCode& code_;
};

// Tells which lines contain a text, searching the whole contents at once
// rather than line by line. An occurrence counts only when it starts a code
// unit and lies within one line: no line end inside it, and not ending on
// the CR of a CR LF pair, which belongs to no line.
class LineTextFinder {
 public:
  LineTextFinder(std::string_view contents, std::string_view text, const LineCode& code)
      : contents_(contents), text_(text), code_(code) {
    if (!text_.empty()) next_ = Find(0);
  }

  // True when at least one line contains the text.
  bool AnyLine() const {
    std::string_view line;
    return text_.empty() ? LineReader(contents_, code_).Next(line) : next_ != npos;
  }

  // True when `line`, a view into the contents, contains the text. Lines must
  // be asked about in file order.
  bool IsIn(std::string_view line) {
    if (text_.empty()) return true;
    const size_t begin = line.data() - contents_.data();
    if (next_ < begin) next_ = Find(begin);
    return next_ < begin + line.size();
  }

 private:
  // Position of the first occurrence within a line at or after `from`, or npos.
  size_t Find(size_t from) const {
    for (;; ++from) {
      const size_t hit = text::FindBytes(contents_.substr(from), text_);
      if (hit == npos) return npos;
      from += hit;
      if (from % code_.unit() == 0 && WithinLine(contents_.data() + from)) return from;
    }
  }

  bool WithinLine(const char* hit) const {
    const char* hitEnd = hit + text_.size();
    if (code_.FindLineEnd(hit, hitEnd) != hitEnd) return false;
    const char* contentsEnd = contents_.data() + contents_.size();
    const bool endsOnDroppedCr = code_.IsCr(hitEnd - code_.unit()) &&
                                 contentsEnd - hitEnd >= static_cast<ptrdiff_t>(code_.unit()) &&
                                 code_.IsLf(hitEnd);
    return !endsOnDroppedCr;
  }

  std::string_view contents_;
  std::string_view text_;
  const LineCode& code_;
  size_t next_ = npos;  // the next occurrence not yet passed
};

// Writes to `out`: a failed write sticks, and Commit reports it.
void Put(platform::AtomicFileWriter& out, std::string_view bytes) { (void)out.Write(bytes); }

// Writes lines of the contents, each followed by the line end. Lines that
// already stand so in the contents, one right after the other, go out as one
// block, straight from the contents.
class LineWriter {
 public:
  LineWriter(platform::AtomicFileWriter& out, std::string_view contents, std::string_view lineEnd)
      : out_(out), contentsEnd_(contents.data() + contents.size()), lineEnd_(lineEnd) {}

  // `line` is a view into the contents; lines come in file order.
  void Write(std::string_view line) {
    const char* end = line.data() + line.size();
    const bool endsInLineEnd = static_cast<size_t>(contentsEnd_ - end) >= lineEnd_.size() &&
                               std::memcmp(end, lineEnd_.data(), lineEnd_.size()) == 0;
    if (endsInLineEnd && run_.data() + run_.size() == line.data()) {
      run_ = std::string_view(run_.data(), run_.size() + line.size() + lineEnd_.size());
      return;
    }
    Put(out_, run_);
    run_ = {};
    if (endsInLineEnd) {
      run_ = std::string_view(line.data(), line.size() + lineEnd_.size());
    } else {
      Put(out_, line);
      Put(out_, lineEnd_);
    }
  }

  // Writes out the lines still held back; call it after the last Write.
  void Finish() {
    Put(out_, run_);
    run_ = {};
  }

 private:
  platform::AtomicFileWriter& out_;
  const char* contentsEnd_;
  std::string_view lineEnd_;
  std::string_view run_;  // lines with their line ends, not written yet
};

// Fails when the file was cut short while it was being read: a read error is
// never taken for the end of the file.
void CheckIntact(const platform::FileContents& file) {
  if (!file.Intact()) throw kCannotOpen;
}

// Adds the line `text` (install) or removes the lines that contain it.
void EditFile(const std::string& fileName, const std::ctype<char>& ctype, std::string_view lineEnd,
              const std::string& text, bool install) {
  platform::FileContents file;
  if (!file.Load(fileName).ok()) throw kCannotOpen;
  const Layout* layout = LayoutOf(file.bytes());
  if (layout == nullptr) throw kCannotOpen;
  const std::string_view contents = file.bytes().substr(layout->bom.size());
  const TextEncoding encoding =
      layout->bom.empty() ? platform::UnmarkedEncoding(contents) : layout->encoding;
  const LineCode code(*layout, ctype, lineEnd);

  // No line holds a text that the file's encoding cannot carry, or that holds
  // a line end. Added, such a text would never be found again: not by a
  // later install, nor by the uninstall that should take it out.
  std::string encoded;
  if (!platform::EncodeText(text, encoding, encoded) ||
      code.FindLineEnd(encoded.data(), encoded.data() + encoded.size()) !=
          encoded.data() + encoded.size()) {
    if (install) throw kCannotOpen;
    return;
  }

  LineTextFinder finder(contents, encoded, code);
  const bool present = finder.AnyLine();
  CheckIntact(file);
  if (present == install) return;

  platform::AtomicFileWriter out;
  if (!out.Open(file).ok()) throw kCannotOpen;
  Put(out, layout->bom);
  bool kept = false;
  LineReader lines(contents, code);
  LineWriter writer(out, contents, code.lineEnd());
  for (std::string_view line; lines.Next(line);) {
    if (!install && finder.IsIn(line)) continue;
    writer.Write(line);
    kept = true;
  }
  writer.Finish();
  if (install) Put(out, encoded);
  if (install || !kept) Put(out, code.lineEnd());  // one line end remains when every line went
  CheckIntact(file);
  if (!out.Commit().ok()) throw kCannotOpen;
}

}  // namespace

CclFileUtils::CclFileUtils(const std::string& fileName, std::string_view lineEnd)
    : fileName_(fileName), lineEnd_(lineEnd) {
  InitLocale();
}

CclFileUtils::~CclFileUtils() = default;

void CclFileUtils::InitLocale() {
  table_ = std::make_unique<std::ctype_base::mask[]>(256);  // all empty masks
  table_['\n'] = std::ctype_base::space;
  auto* facet = new std::ctype<char>(table_.get());
  locale_ = std::locale(std::locale::classic(), facet);  // the locale owns the facet
  facet_ = facet;
}

void CclFileUtils::AddLine(const std::string& text) {
  EditFile(fileName_, *facet_, lineEnd_, text, true);
}

void CclFileUtils::RemoveLine(const std::string& text) {
  EditFile(fileName_, *facet_, lineEnd_, text, false);
}
