#include "fileutils/CclFileUtils.h"

#include <cstring>
#include <string_view>

#include "app/commands.h"
#include "platform/files.h"
#include "platform/find_bytes.h"

namespace {

const char kCannotOpen[] = "Cannot open file.";
constexpr std::string_view kLineEnd = "\r\n";
constexpr auto kLineEndClass = std::ctype_base::space;
constexpr size_t npos = std::string_view::npos;

// True when LF is the one byte of the line end class.
bool IsLfOnly(const std::ctype<char>& ctype) {
  for (int c = 0; c < 256; ++c) {
    if (ctype.is(kLineEndClass, static_cast<char>(c)) != (c == '\n')) return false;
  }
  return true;
}

// Walks the lines of a file's contents in order.
class LineReader {
 public:
  LineReader(std::string_view contents, const std::ctype<char>& ctype)
      : pos_(contents.data()), end_(pos_ + contents.size()), ctype_(ctype) {}

  // Stores the next line in `line`; false when there is none left.
  bool Next(std::string_view& line) {
    while (pos_ != end_) {
      const char* begin = pos_;
      const char* stop = FindLineEnd(begin);
      pos_ = stop == end_ ? stop : stop + 1;
      const char* last = stop;
      if (stop != end_ && *stop == '\n' && last != begin && last[-1] == '\r') --last;
      if (last != begin) {
        line = std::string_view(begin, last - begin);
        return true;
      }
    }
    return false;
  }

 private:
  // The first line end at or after `from`, or end_. With LF the one line end,
  // memchr finds it many bytes at a time.
  const char* FindLineEnd(const char* from) const {
    if (!lfOnly_) return ctype_.scan_is(kLineEndClass, from, end_);
    const void* lf = std::memchr(from, '\n', end_ - from);
    return lf ? static_cast<const char*>(lf) : end_;
  }

  const char* pos_;
  const char* end_;
  const std::ctype<char>& ctype_;
  const bool lfOnly_ = IsLfOnly(ctype_);
};

// Tells which lines contain a text, searching the whole contents at once
// rather than line by line. An occurrence counts only when it lies within one
// line: no line end inside it, and not ending on the CR of a CR LF pair,
// which belongs to no line.
class LineTextFinder {
 public:
  LineTextFinder(std::string_view contents, std::string_view text, const std::ctype<char>& ctype)
      : contents_(contents), text_(text), ctype_(ctype) {
    if (!text_.empty()) next_ = Find(0);
  }

  // True when at least one line contains the text.
  bool AnyLine() const {
    std::string_view line;
    return text_.empty() ? LineReader(contents_, ctype_).Next(line) : next_ != npos;
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
      const size_t hit = platform::FindBytes(contents_.substr(from), text_);
      if (hit == npos) return npos;
      from += hit;
      if (WithinLine(contents_.data() + from)) return from;
    }
  }

  bool WithinLine(const char* hit) const {
    const char* hitEnd = hit + text_.size();
    if (ctype_.scan_is(kLineEndClass, hit, hitEnd) != hitEnd) return false;
    const bool endsOnDroppedCr = hitEnd[-1] == '\r' &&
                                 hitEnd != contents_.data() + contents_.size() && *hitEnd == '\n';
    return !endsOnDroppedCr;
  }

  std::string_view contents_;
  std::string_view text_;
  const std::ctype<char>& ctype_;
  size_t next_ = npos;  // the next occurrence not yet passed
};

// Writes lines of the contents, each followed by CR LF. Lines that already
// stand so in the contents, one right after the other, go out as one block,
// straight from the contents.
class LineWriter {
 public:
  LineWriter(platform::AtomicFileWriter& out, std::string_view contents)
      : out_(out), contentsEnd_(contents.data() + contents.size()) {}
  ~LineWriter() { out_.Write(run_); }

  // `line` is a view into the contents; lines come in file order.
  void Write(std::string_view line) {
    const char* end = line.data() + line.size();
    const bool endsInCrLf = contentsEnd_ - end >= 2 && end[0] == '\r' && end[1] == '\n';
    if (endsInCrLf && run_.data() + run_.size() == line.data()) {
      run_ = std::string_view(run_.data(), run_.size() + line.size() + 2);
      return;
    }
    out_.Write(run_);
    run_ = {};
    if (endsInCrLf) {
      run_ = std::string_view(line.data(), line.size() + 2);
    } else {
      out_.Write(line);
      out_.Write(kLineEnd);
    }
  }

 private:
  platform::AtomicFileWriter& out_;
  const char* contentsEnd_;
  std::string_view run_;  // lines with their CR LF, not written yet
};

// Fails when the file was cut short while it was being read: a read error is
// never taken for the end of the file.
void CheckIntact(const platform::FileContents& file) {
  if (!file.Intact()) throw kCannotOpen;
}

// A line never holds a line end, so no line can contain such a text.
bool CanBeInALine(std::string_view text) { return text.find('\n') == npos; }

}  // namespace

CclFileUtils::CclFileUtils(const std::string& fileName) : fileName_(fileName) {
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
  // Added, it would never be found again: not by a later install, nor by the
  // uninstall that should take it out.
  if (!CanBeInALine(text)) throw kCannotOpen;
  platform::FileContents file;
  if (!file.Load(fileName_)) throw kCannotOpen;
  const std::string_view contents = file.bytes();
  const bool present = LineTextFinder(contents, text, *facet_).AnyLine();
  CheckIntact(file);
  if (present) return;

  platform::AtomicFileWriter out;
  if (!out.Open(fileName_)) throw kCannotOpen;
  {
    LineReader lines(contents, *facet_);
    LineWriter writer(out, contents);
    for (std::string_view line; lines.Next(line);) writer.Write(line);
  }
  out.Write(text);
  out.Write(kLineEnd);
  CheckIntact(file);
  if (!out.Commit()) throw kCannotOpen;
}

void CclFileUtils::RemoveLine(const std::string& text) {
  if (!CanBeInALine(text)) return;
  platform::FileContents file;
  if (!file.Load(fileName_)) throw kCannotOpen;
  const std::string_view contents = file.bytes();
  LineTextFinder finder(contents, text, *facet_);
  const bool present = finder.AnyLine();
  CheckIntact(file);
  if (!present) return;

  platform::AtomicFileWriter out;
  if (!out.Open(fileName_)) throw kCannotOpen;
  bool kept = false;
  {
    LineReader lines(contents, *facet_);
    LineWriter writer(out, contents);
    for (std::string_view line; lines.Next(line);) {
      if (finder.IsIn(line)) continue;
      writer.Write(line);
      kept = true;
    }
  }
  if (!kept) out.Write(kLineEnd);
  CheckIntact(file);
  if (!out.Commit()) throw kCannotOpen;
}

void RunTextLineCommand(bool install, const std::string& fileName, const std::string& text) {
  CclFileUtils file(fileName);
  if (install) {
    file.AddLine(text);
  } else {
    file.RemoveLine(text);
  }
}
