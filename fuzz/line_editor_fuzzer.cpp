// The line editor through its public face only: CclFileUtils on a real file
// in a memory-backed folder, against a model of lines written here from the
// editor's documented rules:
//   - lines are split at LF, a CR right before an LF is dropped, and empty
//     lines are dropped; a rewrite writes each line with CR LF, and a removal
//     that leaves no line writes one CR LF;
//   - a file that needs no change keeps its bytes;
//   - a text holding an LF is refused on install, with the file untouched,
//     and ignored on uninstall.
// Properties: installing twice equals installing once; removing a text right
// after installing it, where it was absent, gives the original in its
// rewritten form; a rewrite splits back into the expected lines; a removal
// takes out exactly the lines that contain the text; no temporary file stays.
//
// The generated file never starts with a byte-order mark (FF FE, FE FF or
// EF BB BF): such files are to be read in their own encoding, which a harness
// of its own covers.

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "fileutils/CclFileUtils.h"

namespace {

using Lines = std::vector<std::string>;

Lines SplitLines(std::string_view contents) {
  Lines lines;
  while (!contents.empty()) {
    const size_t lf = contents.find('\n');
    std::string_view line = contents.substr(0, lf);
    if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    contents.remove_prefix(lf == std::string_view::npos ? contents.size() : lf + 1);
  }
  return lines;
}

std::string Rewritten(const Lines& lines) {
  if (lines.empty()) return "\r\n";
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

bool AnyContains(const Lines& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

bool StartsWithByteOrderMark(std::string_view bytes) {
  return bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF") ||
         bytes.starts_with("\xEF\xBB\xBF");
}

// A folder of this process's own, in memory where the system has /dev/shm,
// below $CFGLINE_FUZZ_TMP when that is set; removed at exit.
class Folder {
 public:
  Folder() {
    const char* base = std::getenv("CFGLINE_FUZZ_TMP");
    if (base == nullptr) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string path = std::string(base) + "/cfgline-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(path.data()) != nullptr);
    path_ = path;
    file_ = path + "/f.txt";
  }
  ~Folder() {
    unlink(file_.c_str());
    rmdir(path_.c_str());
  }
  const std::string& file() const { return file_; }

  void Write(const std::string& bytes) const {
    std::ofstream out(file_, std::ios::binary | std::ios::trunc);
    out << bytes;
    FUZZ_CHECK(out.flush());
  }
  std::string Read() const {
    std::ifstream in(file_, std::ios::binary);
    FUZZ_CHECK(in);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // True when the folder holds the file and nothing else.
  bool HoldsOnlyTheFile() const {
    DIR* dir = opendir(path_.c_str());
    FUZZ_CHECK(dir != nullptr);
    int others = 0;
    bool file = false;
    while (const dirent* entry = readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name == "f.txt") file = true;
      else if (name != "." && name != "..") ++others;
    }
    closedir(dir);
    return file && others == 0;
  }

 private:
  std::string path_;
  std::string file_;
};

// Runs one edit on the file; returns the message it threw, or "".
std::string Edit(const Folder& folder, bool install, const std::string& text) {
  try {
    CclFileUtils file(folder.file());
    install ? file.AddLine(text) : file.RemoveLine(text);
  } catch (const char* message) {
    return message;
  }
  return "";
}

// What the file must hold after installing `text` into `contents`.
std::string AfterInstall(const std::string& contents, const std::string& text) {
  Lines lines = SplitLines(contents);
  if (AnyContains(lines, text)) return contents;
  lines.push_back(text);
  return Rewritten(lines);
}

// What the file must hold after uninstalling `text` from `contents`.
std::string AfterUninstall(const std::string& contents, const std::string& text) {
  const Lines lines = SplitLines(contents);
  Lines kept;
  for (const std::string& line : lines) {
    if (line.find(text) == std::string::npos) kept.push_back(line);
  }
  return kept.size() == lines.size() ? contents : Rewritten(kept);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Folder folder;
  FuzzedDataProvider input(data, size);
  const std::string text = input.ConsumeRandomLengthString(64);
  const std::string contents = input.ConsumeRemainingBytesAsString();
  if (StartsWithByteOrderMark(contents)) return -1;

  const bool holdsLineEnd = text.find('\n') != std::string::npos;
  const bool absent = !AnyContains(SplitLines(contents), text);  // "" is in every line

  // Install, twice.
  folder.Write(contents);
  const std::string installMessage = Edit(folder, true, text);
  const std::string installed = folder.Read();
  if (holdsLineEnd) {
    FUZZ_CHECK(installMessage == "Cannot open file.");
    FUZZ_CHECK(installed == contents);
  } else {
    FUZZ_CHECK(installMessage.empty());
    FUZZ_CHECK(installed == AfterInstall(contents, text));
    if (absent) {
      Lines expected = SplitLines(contents);
      if (!text.empty()) expected.push_back(text);
      FUZZ_CHECK(SplitLines(installed) == expected);
    }
  }
  FUZZ_CHECK(Edit(folder, true, text) == installMessage);
  FUZZ_CHECK(folder.Read() == installed);
  FUZZ_CHECK(folder.HoldsOnlyTheFile());

  // Uninstall right after: an absent text comes out again.
  const std::string uninstallMessage = Edit(folder, false, text);
  FUZZ_CHECK(uninstallMessage.empty());
  const std::string uninstalled = folder.Read();
  if (holdsLineEnd) {
    FUZZ_CHECK(uninstalled == contents);
  } else {
    FUZZ_CHECK(uninstalled == AfterUninstall(installed, text));
    if (absent) FUZZ_CHECK(uninstalled == Rewritten(SplitLines(contents)));
  }

  // Uninstall from the original: exactly the lines that contain the text go.
  folder.Write(contents);
  FUZZ_CHECK(Edit(folder, false, text).empty());
  const std::string removed = folder.Read();
  FUZZ_CHECK(removed == (holdsLineEnd ? contents : AfterUninstall(contents, text)));
  if (removed != contents) {
    Lines expected;
    for (const std::string& line : SplitLines(contents)) {
      if (line.find(text) == std::string::npos) expected.push_back(line);
    }
    FUZZ_CHECK(SplitLines(removed) == expected);
  }
  FUZZ_CHECK(folder.HoldsOnlyTheFile());
  return 0;
}
