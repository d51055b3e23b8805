#include "fileutils/CclFileUtils.h"

#include <algorithm>
#include <functional>
#include <string_view>

#include "app/commands.h"
#include "platform/files.h"

namespace {

const char kCannotOpen[] = "Cannot open file.";
constexpr std::string_view kLineEnd = "\r\n";
constexpr auto kLineEndClass = std::ctype_base::space;
constexpr size_t npos = std::string_view::npos;

// Walks the lines of a file's contents in order.
class LineReader {
 public:
  LineReader(std::string_view contents, const std::ctype<char>& ctype)
      : pos_(contents.data()), end_(pos_ + contents.size()), ctype_(ctype) {}

  // Stores the next line in `line`; false when there is none left.
  bool Next(std::string_view& line) {
    while (pos_ != end_) {
      const char* begin = pos_;
      const char* stop = ctype_.scan_is(kLineEndClass, begin, end_);
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
  const char* pos_;
  const char* end_;
  const std::ctype<char>& ctype_;
};

// Tells which lines contain a text, searching the whole contents at once
// rather than line by line. An occurrence counts only when it lies within one
// line: no line end inside it, and not ending on the CR of a CR LF pair,
// which belongs to no line.
class LineTextFinder {
 public:
  LineTextFinder(std::string_view contents, std::string_view text, const std::ctype<char>& ctype)
      : contents_(contents), text_(text), ctype_(ctype), searcher_(text.begin(), text.end()) {
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
    for (auto it = contents_.begin() + from;; ++it) {
      it = std::search(it, contents_.end(), searcher_);
      if (it == contents_.end()) return npos;
      if (WithinLine(&*it)) return it - contents_.begin();
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
  std::boyer_moore_horspool_searcher<std::string_view::const_iterator> searcher_;
  size_t next_ = npos;  // the next occurrence not yet passed
};

// Writes `text` as text mode writes it: each LF as CR LF.
void WriteTextMode(platform::AtomicFileWriter& out, std::string_view text) {
  for (size_t lf; (lf = text.find('\n')) != npos; text.remove_prefix(lf + 1)) {
    out.Write(text.substr(0, lf));
    out.Write(kLineEnd);
  }
  out.Write(text);
}

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

std::string CclFileUtils::ReadFile() const {
  std::string contents;
  if (!platform::ReadWholeFile(fileName_, contents)) throw kCannotOpen;
  return contents;
}

void CclFileUtils::AddLine(const std::string& text) {
  const std::string contents = ReadFile();
  if (LineTextFinder(contents, text, *facet_).AnyLine()) return;

  platform::AtomicFileWriter out;
  if (!out.Open(fileName_)) throw kCannotOpen;
  LineReader lines(contents, *facet_);
  for (std::string_view line; lines.Next(line);) {
    out.Write(line);
    out.Write(kLineEnd);
  }
  WriteTextMode(out, text);
  out.Write(kLineEnd);
  if (!out.Commit()) throw kCannotOpen;
}

void CclFileUtils::RemoveLine(const std::string& text) {
  const std::string contents = ReadFile();
  LineTextFinder finder(contents, text, *facet_);
  if (!finder.AnyLine()) return;

  platform::AtomicFileWriter out;
  if (!out.Open(fileName_)) throw kCannotOpen;
  LineReader lines(contents, *facet_);
  bool kept = false;
  for (std::string_view line; lines.Next(line);) {
    if (finder.IsIn(line)) continue;
    out.Write(line);
    out.Write(kLineEnd);
    kept = true;
  }
  if (!kept) out.Write(kLineEnd);
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
