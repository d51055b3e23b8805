// The tool as a process, case by case: byte-exact standard output, file
// contents and registry values. The same tables run against the Linux build
// and, under Wine, against the Windows builds:
//   e2e_tests linux|win32|win64 PROGRAM [gtest flags]
// Under Wine the registry is the real one, set up and read through the W
// functions by tests/windows/regtool.cpp; runs for two targets must not
// share one Wine prefix at the same time, and need a display (xvfb-run).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <map>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string target;         // "linux", "win32" or "win64"
std::string tool;           // the program
std::string toolCommand;    // the shell command that starts it
std::string nobodyCommand;  // Linux: the same, as user nobody
std::string watchCommand;   // this program's --watch, as user nobody

bool Windows() { return target != "linux"; }

enum Where { kAll, kLinuxOnly, kWindowsOnly };

auto CaseName = [](const auto& info) { return info.param.name; };

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string Quote(const std::string& arg) { return "'" + Replace(arg, "'", "'\\''") + "'"; }

// Runs shell `commands` in folder `cwd` and returns their output, standard
// error included.
std::string Shell(const std::string& commands, const std::string& cwd) {
  static TempDir outputs;
  const std::string out = outputs / "out";
  std::system(
      ("cd " + Quote(cwd) + " && { " + commands + "; } </dev/null >" + out + " 2>&1").c_str());
  return ReadBytes(out);
}

// The test's registry key, and its folder and Path value as files (see below).
const std::string kKey = "HKCU\\Software\\cfgline-e2e";
const std::string kCu = "registry/HKEY_CURRENT_USER/";
const std::string kFolder = kCu + "Software/cfgline-e2e/";
const std::string kPath = kFolder + "Path";

using Args = std::vector<std::string>;  // a command line, or any list of strings

// The shell command that runs the tool with `args`; one that fails says so.
// timeout(1) ends a run that takes longer than any can, even under Wine or
// waiting 30 s for a lock. With "--locked" first, it starts while another
// holds f.txt and the Path value, which that one then changes in place and
// lets go (see HoldLocks); with "--announcements", under regtool,
// whose output ends with the number of environment change announcements;
// with "--occupy-lock", under regtool, while a folder stands where the lock
// file of the test's key belongs (named as registry_win32.cpp names it).
std::string Tool(Args args, bool asNobody = false) {
  std::string command = "timeout -s KILL 150 " + (asNobody ? nobodyCommand : toolCommand);
  if (args.size() > 0 && args[0] == "--locked") {
    command = Quote(fs::read_symlink("/proc/self/exe")) + " --hold f.txt " + kPath +
              ".REG_SZ | { read -r _; " + command;
    args.erase(args.begin());
    args.push_back("}");
  }
  if (args.size() > 0 && (args[0] == "--announcements" || args[0] == "--occupy-lock")) {
    command = "timeout -s KILL 150 " + Quote(CFGLINE_WINE_SCRIPT) + " " + Quote(CFGLINE_REGTOOL);
    args.insert(args.begin() + 1, tool);
    if (args[0] == "--occupy-lock")
      args.insert(args.begin() + 1, "registry\\2147483649\\Software\\cfgline-e2e");
  }
  for (const std::string& arg : args) command += " " + (arg == "}" ? "; }" : Quote(arg));
  return command + " || echo \" [exit $?]\"";
}

// Standard output as the platform writes it: LF becomes CR LF on Windows.
std::string Out(const std::string& text) { return Windows() ? Replace(text, "\n", "\r\n") : text; }

// A rewritten file as the platform writes it, from the Windows form that the
// tables give: there every LF is a written line end, after its CR. On Linux
// each line end is LF alone; in a UTF-16 file, unit by unit.
std::string Rewritten(std::string bytes) {
  const bool le = bytes.starts_with("\xFF\xFE"), be = bytes.starts_with("\xFE\xFF");
  const std::string crlf = le ? "\r\0\n\0"s : be ? "\0\r\0\n"s : "\r\n";
  for (size_t at = le || be ? 2 : 0; !Windows() && at < bytes.size(); at += crlf.size() / 2)
    if (bytes.compare(at, crlf.size(), crlf) == 0) bytes.erase(at, crlf.size() / 2);
  return bytes;
}

// ---------------------------------------------------------------------------
// A case: the command line, the folder's files before, and after. Files whose
// bytes stay the same must not have been written at all; a text file whose
// bytes change was rewritten, and is given in the Windows form (Rewritten).
//
// A name ending in '/' is a folder, in '|' a FIFO (as ls -F shows them);
// their bytes are "". Registry values are files too, as the Linux build's
// store holds them below the folder "registry" of the run's folder:
//   registry/HKEY_CURRENT_USER/Software/x/NAME.TYPE
// with string data as UTF-8 and its NUL. Under Wine they stand for the real
// registry's values (see tests/windows/regtool.cpp).
using Files = std::map<std::string, std::string>;

struct Case {
  std::string name;
  Args args;
  Files before;
  std::string out;
  Files after;
  Where where = kAll;
  unsigned mode = 0;  // the files' permissions before and after when not 0; Linux: as nobody
};

// The cases of a table that run on the target.
auto CasesHere(std::vector<Case> table) {
  std::erase_if(table, [](const Case& c) {
    return c.where != kAll && (c.where == kWindowsOnly) != Windows();
  });
  return testing::ValuesIn(table);
}

// Windows: regtool sets the values from the registry files among `files` in
// folder `dir` ("load"), or writes them back into the files ("save").
void RegTool(const std::string& dir, const std::string& command, const Files& files) {
  std::string names;
  for (const auto& [name, bytes] : files)
    if (name.starts_with("registry/")) names += " " + Quote(name);
  if (Windows() && !names.empty()) {
    const std::string view = target == "win32" ? " --32 " : " ";  // the program's own
    EXPECT_EQ(Shell(Quote(CFGLINE_WINE_SCRIPT) + " " + Quote(CFGLINE_REGTOOL) + view + command +
                        names + " || echo regtool failed",
                    dir),
              "");
  }
}

// Makes the files in folder `dir`, and under Wine the values.
void MakeFiles(const std::string& dir, const Files& files, unsigned mode = 0) {
  ASSERT_EQ(chmod(dir.c_str(), 01777), 0);  // sticky: only owners replace files
  for (const auto& [name, bytes] : files) {
    const std::string path = dir + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    if (name.ends_with('|')) {
      ASSERT_EQ(mkfifo(path.substr(0, path.size() - 1).c_str(), 0644), 0);
    } else if (!name.ends_with('/')) {
      WriteBytes(path, bytes);
      if (mode != 0) chmod(path.c_str(), mode);
      // A read-only file is nobody's own: only its mode keeps nobody from writing it.
      if (mode != 0 && (mode & 0200) == 0) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0) << "needs root";
      }
    }
  }
  RegTool(dir, "load", files);
}

struct Entry {
  std::string bytes;  // a link's target after "->"
  unsigned mode;
  uid_t owner;
  gid_t group;
  ino_t inode;
  auto operator<=>(const Entry&) const = default;
};

// A case prints as its name.
template <typename C>
requires requires(C c) { c.name; }
void PrintTo(const C& c, std::ostream* os) { *os << c.name; }

void PrintTo(const Entry& e, std::ostream* os) {
  *os << testing::PrintToString(e.bytes) << " " << std::oct << e.mode << std::dec << " " << e.owner
      << ":" << e.group << " #" << e.inode;
}

// Every entry below `folder`, links not followed; a file of more than 1 GiB
// (a sparse one) by its size.
std::map<std::string, Entry> ListEntries(const std::string& folder) {
  std::map<std::string, Entry> entries;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    struct stat st {};
    lstat(entry.path().c_str(), &st);
    std::string bytes;
    if (S_ISREG(st.st_mode) && st.st_size > (1 << 30))
      bytes = "<" + std::to_string(st.st_size) + " bytes>";
    else if (S_ISREG(st.st_mode))
      bytes = ReadBytes(entry.path());
    if (S_ISLNK(st.st_mode)) bytes = "->" + fs::read_symlink(entry.path()).string();
    entries[entry.path().lexically_relative(folder).string()] = {bytes, st.st_mode, st.st_uid,
                                                                 st.st_gid, st.st_ino};
  }
  return entries;
}

using Listing = std::map<std::string, std::pair<std::string, ino_t>>;

// Every file below `folder`, and every empty folder, with its inode.
Listing ListFolder(const std::string& folder) {
  Listing files;
  for (const auto& [name, entry] : ListEntries(folder)) {
    const std::string kind = S_ISFIFO(entry.mode) ? "|" : S_ISDIR(entry.mode) ? "/" : "";
    if (kind != "/" || fs::is_empty(folder + "/" + name))
      files[name + kind] = {entry.bytes, entry.inode};
  }
  return files;
}

class Command : public testing::TestWithParam<Case> {};

TEST_P(Command, Run) {
  const Case& c = GetParam();
  TempDir dir;
  MakeFiles(dir.path(), c.before, c.mode);
  const Listing before = ListFolder(dir.path());
  EXPECT_EQ(Shell(Tool(c.args, c.mode != 0), dir.path()), Out(c.out));
  RegTool(dir.path(), "save", c.before);
  Files after;
  for (const auto& [name, file] : ListFolder(dir.path())) {
    after[name] = file.first;
    const bool same = before.contains(name) && before.at(name).first == file.first;
    EXPECT_TRUE(!same || file.second == before.at(name).second) << name << " written";
  }
  Files expected = c.after;
  for (auto& [name, bytes] : expected)
    if (!name.starts_with("registry/") && c.before.contains(name) && c.before.at(name) != bytes)
      bytes = Rewritten(bytes);
  EXPECT_EQ(after, expected);
  for (const auto& [name, bytes] : c.after)
    EXPECT_TRUE(c.mode == 0 || fs::status(dir / name).permissions() == fs::perms(c.mode)) << name;
}

Args Add(const std::string& text) { return {"i", "textline", "f.txt", text}; }
Args Remove(const std::string& text) { return {"u", "textline", "f.txt", text}; }
Files F(const std::string& bytes) { return {{"f.txt", bytes}}; }
const Files kAb = F("a\nb\n");

// UTF-16 file contents: the byte-order mark, then `text` in that byte order.
std::string Utf16(std::u16string_view text, bool bigEndian = false) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t unit : text)
    bytes += {char(unit >> (bigEndian ? 8 : 0)), char(unit >> (bigEndian ? 0 : 8))};
  return bytes;
}
const std::string kBom8 = "\xEF\xBB\xBF";
const std::string kIni = Utf16(u"[s]\r\nk=v\r\n");
// Longer than MAX_PATH, in folders of names shorter than any system's limit.
const std::string kDeep =
    std::string(100, 'd') + "/" + std::string(100, 'e') + "/" + std::string(100, 'f') + "/";
const std::string kLong(3 << 20, 'a');  // longer than the write buffer
const std::string kUsage =
    "i/u - install/uninstall\n[textline <filename> <textline>]\n[delfile <filename>]\n"
    "[regline <HKEY\\regpath> <valuename> <regline> ]\n";
const std::string kCannotOpen = "Cannot open file.";

// One case a line.
// clang-format off
std::vector<Case> FileCases() {
  return {
      {"no_arguments", {}, kAb, kUsage, kAb},
      {"unknown_command", {"i", "textlines", "f.txt", "x"}, kAb, kUsage, kAb},
      {"command_is_case_sensitive", {"i", "TEXTLINE", "f.txt", "x"}, kAb, kUsage, kAb},
      {"textline_without_text", {"u", "textline", "f.txt"}, kAb, kUsage, kAb},
      {"regline_without_item", {"i", "regline", "HKLM\\Software\\X", "Path"}, kAb, kUsage, kAb},
      {"add_extra_argument_ignored", {"i", "textline", "f.txt", "x", "y"}, F("a\nb"), "", F("a\r\nb\r\nx\r\n")},
      {"add_blanks_and_quotes", Add("say \"hi\" = 1\t"), kAb, "", F("a\r\nb\r\nsay \"hi\" = 1\t\r\n")},
      {"add_to_empty_file", Add("x"), F(""), "", F("x\r\n")},
      {"add_drops_empty_lines", Add("x"), F("\n\na\n\r\n\nb\r\n"), "", F("a\r\nb\r\nx\r\n")},
      {"add_present", Add("b"), F("a\n\nab\n"), "", F("a\n\nab\n")},
      {"add_keeps_other_bytes", Add("x"), F("a\rb\tc\n\x1a\n\0\r\r\n\x1a"s), "", F("a\rb\tc\r\n\x1a\r\n\0\r\r\n\x1a\r\nx\r\n"s)},
      {"add_cr_text", Add("x\r"), F("x\r\n"), "", F("x\r\nx\r\r\n")},
      {"add_cr_text_present", Add("x\r"), F("x\r\r\n"), "", F("x\r\r\n")},
      {"add_empty_text", Add(""), kAb, "", kAb},
      {"add_empty_text_to_empty_file", Add(""), F(""), "", F("\r\n")},
      {"add_empty_text_to_line_ends", Add(""), F("\r\n\n"), "", F("\r\n")},
      {"add_text_with_line_end", Add("a\nx"), kAb, kCannotOpen, kAb},
      {"remove_text_with_line_end", Remove("a\nb"), kAb, "", kAb},
      {"remove", Remove("a"), F("a\r\nx\r\nb\r\nc\n\r\nd\r\nea"), "", F("x\r\nb\r\nc\r\nd\r\n")},
      {"remove_every_match", Remove("x"), F("xa\r\nb\nx\0x\n"s), "", F("b\r\n")},
      {"remove_last_line", Remove("x"), F("x\n"), "", F("\r\n")},
      {"remove_is_case_sensitive", Remove("A"), kAb, "", kAb},
      {"remove_cr_text", Remove("a\r"), F("a\r\nb\n"), "", F("a\r\nb\n")},
      {"remove_cr_text_before_cr", Remove("a\r"), F("a\r\r\nb\n"), "", F("b\r\n")},
      {"remove_empty_text", Remove(""), kAb, "", F("\r\n")},
      {"remove_empty_text_no_line", Remove(""), F("\n\r\n"), "", F("\n\r\n")},
      {"remove_long_lines", Remove("x"), F(kLong + "\n" + kLong + "x\n"), "", F(kLong + "\r\n")},
      {"capital_i_uninstalls", {"I", "textline", "f.txt", "a"}, kAb, "", F("b\r\n")},
      {"other_mode_uninstalls", {"install", "textline", "f.txt", "a"}, kAb, "", F("b\r\n")},
      {"missing_file", {"i", "textline", "g.txt", "x"}, kAb, kCannotOpen, kAb},
      {"folder_as_file", {"i", "textline", "d", "x"}, {{"d/", ""}}, kCannotOpen, {{"d/", ""}}},
      // Special files are refused at once: no wait for a writer, no endless read.
      {"fifo", Remove("p"), {{"f.txt|", ""}}, kCannotOpen, {{"f.txt|", ""}}},
      {"nul_device", {"u", "textline", "NUL", "x"}, kAb, kCannotOpen, kAb, kWindowsOnly},
      {"dev_zero", {"i", "textline", "/dev/zero", "x"}, kAb, kCannotOpen, kAb, kLinuxOnly},
      // Read to its end although its size shows as 0: the line is there.
      {"proc_file", {"i", "textline", "/proc/self/status", "Name:"}, kAb, "", kAb, kLinuxOnly},
      // Only files named as the tool names its temporary files, that no live
      // run holds, are left-overs of killed runs.
      {"rewrite_removes_left_overs", Add("x"),
       {{"f.txt", "a\n"}, {".cfgline-Ab12Cd", "old"}, {".cfgline-9zZ9zz", ""}, {".cfgline-abc", "k"},
        {".cfgline-Ab12Cde", "k"}, {"f.cfgline-Ab12Cd", "k"}, {".cfgline-Dir123/", ""}},
       "",
       {{"f.txt", "a\r\nx\r\n"}, {".cfgline-abc", "k"}, {".cfgline-Ab12Cde", "k"}, {"f.cfgline-Ab12Cd", "k"},
        {".cfgline-Dir123/", ""}},
       kLinuxOnly},
      {"rewrite_removes_left_overs_of_gone_writers", Add("x"),
       {{"f.txt", "a\n"}, {".cfgline-1-2-3", "old"}, {".cfgline-1-2-3x", "k"}, {"f.cfgline-1-2-3", "k"}}, "",
       {{"f.txt", "a\r\nx\r\n"}, {".cfgline-1-2-3x", "k"}, {"f.cfgline-1-2-3", "k"}}, kWindowsOnly},
      {"no_wildcard_expansion", {"i", "textline", "*.txt", "x"}, {{"a.txt", "a\n"}}, kCannotOpen, {{"a.txt", "a\n"}}},
      {"read_only_add", Add("x"), kAb, kCannotOpen, kAb, kAll, 0444},
      {"read_only_add_present", Add("a"), kAb, "", kAb, kAll, 0444},
      // Windows: a rewrite keeps the DACL, which Wine keeps as the mode (a DACL
      // that lets the user only read is one without write bits, as above).
      {"dacl_user_only", Add("x"), kAb, "", F("a\r\nb\r\nx\r\n"), kWindowsOnly, 0770},
      // Wine reads r-- for Everyone as read and execute, and sets that as r-x.
      {"dacl_everyone_reads", Add("x"), kAb, "", F("a\r\nb\r\nx\r\n"), kWindowsOnly, 0775},
      // Only its owner may replace a file in a sticky folder: the rename fails after the write.
      {"writable_file_of_another_in_sticky_folder", Add("x"), kAb, kCannotOpen, kAb, kLinuxOnly, 0666},
      {"utf16_remove", Remove("k"), F(Utf16(u"[s]\n\nk=v\nx")), "", F(Utf16(u"[s]\r\nx\r\n"))},
      {"utf16_remove_every_line", Remove("="), F(Utf16(u"a=1\na=2")), "", F(Utf16(u"\r\n"))},
      // 00 0A inside a unit, or across two, ends no line.
      {"utf16be_add", Add("Łąka=工具"), F(Utf16(u"\u0500\u0a05\n", true)), "", F(Utf16(u"\u0500\u0a05\r\nŁąka=工具\r\n", true))},
      {"utf16_lf_bytes_in_units", Remove("b"), F(Utf16(u"\u0a05\u0500\nb\n")), "", F(Utf16(u"\u0a05\u0500\r\n"))},
      {"utf16_bom_only", Add("x"), F(Utf16(u"")), "", F(Utf16(u"x\r\n"))},
      {"utf16_odd_length", Add("x"), F(kIni + "a"), kCannotOpen, F(kIni + "a")},
      {"utf32_refused", Add("x"), F("\xFF\xFE\0\0a\0\0\0"s), kCannotOpen, F("\xFF\xFE\0\0a\0\0\0"s)},
      {"utf8_bom_only", Add("Łąka"), F(kBom8), "", F(kBom8 + "Łąka\r\n")},
      {"utf16_invalid_utf8_text", Add("\xFF"), F(kIni), kCannotOpen, F(kIni), kLinuxOnly},
      // Without a mark, UTF-8 beyond ASCII is UTF-8; anything else the code page on Windows.
      {"utf8_add_latin", Add("C:\\José"), F("Zoë\n"), "", F("Zoë\r\nC:\\José\r\n")},
      {"utf8_add_outside_code_page", Add("Łukasz"), F("Zoë\n"), "", F("Zoë\r\nŁukasz\r\n")},
      {"utf8_remove", Remove("Ł"), F("Zoë\nŁukasz\n"), "", F("Zoë\r\n")},
      {"code_page_file", Add("José"), F("Zo\xEB\n"), "", F("Zo\xEB\r\nJos\xE9\r\n"), kWindowsOnly},
      {"cut_short_is_no_utf8", Add("é"), F("Zoë\n\xC3"), "", F("Zoë\r\n\xC3\r\n\xE9\r\n"), kWindowsOnly},
      {"text_in_code_page", Add("Démo"), kAb, "", F("a\r\nb\r\nD\xE9mo\r\n"), kWindowsOnly},
      {"text_outside_code_page_add", Add("工具"), kAb, kCannotOpen, kAb, kWindowsOnly},
      {"text_outside_code_page_remove", Remove("Ł"), F("L\n"), "", F("L\n"), kWindowsOnly},
      {"name_outside_code_page", {"i", "textline", "Łąka.txt", "x"}, {{"Łąka.txt", "a\n"}, {"Laka.txt", "a\n"}}, "",
       {{"Łąka.txt", "a\r\nx\r\n"}, {"Laka.txt", "a\n"}}},
      {"long_path", {"i", "textline", kDeep + "f.txt", "x"}, {{kDeep + "f.txt", "a\n"}}, "", {{kDeep + "f.txt", "a\r\nx\r\n"}}},
      {"delfile", {"i", "delfile", "f.txt", "extra"}, kAb, "", {}},
      {"delfile_name_outside_code_page", {"u", "delfile", "Łąka.txt"}, {{"Łąka.txt", ""}, {"Laka.txt", ""}}, "", {{"Laka.txt", ""}}},
      {"delfile_long_path", {"u", "delfile", kDeep + "f.txt"}, {{kDeep + "f.txt", "a\n"}}, "", {{kDeep, ""}}},
      {"delfile_missing", {"i", "delfile", "g.txt"}, kAb, "Some error occured.", kAb},
      {"delfile_folder", {"i", "delfile", "d"}, {{"d/", ""}}, "Some error occured.", {{"d/", ""}}},
  };
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Text, Command, CasesHere(FileCases()), CaseName);

// 32-bit Windows only: a file larger than the address space cannot be held,
// which gets the catch-all message and leaves the file alone. The file is
// sparse, so it takes no room on the disk.
TEST(FileTooLarge, IsLeftAlone) {
  if (target != "win32") GTEST_SKIP() << "only a 32-bit program runs out of address space";
  TempDir dir;
  WriteBytes(dir / "f.txt", "a\nb\n");
  fs::resize_file(dir / "f.txt", uintmax_t{5} << 30);
  for (const auto& args : {Add("x"), Remove("a")})
    EXPECT_EQ(Shell(Tool(args), dir.path()), "Some error occured.");
  EXPECT_EQ(fs::file_size(dir / "f.txt"), uintmax_t{5} << 30);
  EXPECT_EQ(dir.List(), Args{"f.txt"});
}

// Windows only: a rewritten file keeps its attributes.
TEST(FileAttributes, SurviveARewrite) {
  if (!Windows()) GTEST_SKIP() << "Windows file attributes";
  TempDir dir;
  WriteBytes(dir / "f.txt", "a\n");
  const std::string attrib = Quote(CFGLINE_WINE_SCRIPT) + " cmd /c attrib ";
  EXPECT_EQ(Shell(attrib + "+H f.txt; " + attrib + "+S f.txt; " + Tool(Add("x")), dir.path()), "");
  EXPECT_EQ(ReadBytes(dir / "f.txt"), "a\r\nx\r\n");
  EXPECT_EQ(Shell(attrib + "f.txt", dir.path()).substr(0, 5), "AS  H");
}

// ---------------------------------------------------------------------------
// Registry values, in their files.

Args Reg(const std::string& mode, const std::string& item, const std::string& key = kKey,
         const std::string& name = "Path") {
  return {mode, "regline", key, name, item};
}
Files Sz(const std::string& text, const std::string& value = kPath) {
  return {{value + ".REG_SZ", text + '\0'}};
}
Files ExpandSz(const std::string& text) { return {{kPath + ".REG_EXPAND_SZ", text + '\0'}}; }

const std::string kLongPath(33000, 'p');  // longer than the 32767 characters of some buffers
const std::string kUnicodePath = "C:\\Łąka\\bin;C:\\工具\\bin;C:\\a";
const std::string kKeyError = "Key access error.";

// One case a line.
// clang-format off
std::vector<Case> RegCases() {
  const std::string kEnvironment = "registry/HKEY_CURRENT_USER/Environment/cfgline-e2e";
  return {
      {"install", Reg("i", "b"), Sz("a"), "", Sz("a;b")},
      {"install_after_separator", Reg("i", "b"), Sz("a;"), "", Sz("a;b")},
      {"install_into_empty", Reg("i", "b"), Sz(""), "", Sz("b")},
      {"install_present", Reg("i", "b"), Sz("a;b;c"), "", Sz("a;b;c")},
      {"install_inside_other_item", Reg("i", "b"), Sz("a;bc;ab"), "", Sz("a;bc;ab;b")},
      {"install_is_case_sensitive", Reg("i", "B"), Sz("a;b"), "", Sz("a;b;B")},
      {"uninstall_only", Reg("u", "b"), Sz("b;"), "", Sz("")},
      {"uninstall_first_occurrence", Reg("u", "b"), Sz("b;a;b"), "", Sz("a;b")},
      {"uninstall_tidies_trailing_separator", Reg("u", "b"), Sz("a;b;c;"), "", Sz("a;c")},
      {"uninstall_absent", Reg("u", "b"), Sz("c"), "", Sz("c")},
      {"uninstall_never_cuts_an_item", Reg("u", "b"), Sz("ab;bc;b"), "", Sz("ab;bc")},
      {"expand_sz_stays_expand_sz", Reg("i", "C:\\Tool"), ExpandSz("%SystemRoot%"), "", ExpandSz("%SystemRoot%;C:\\Tool")},
      {"empty_item_install", Reg("i", ""), Sz("a"), "", Sz("a")},
      {"empty_item_uninstall", Reg("u", ""), Sz(";a;"), "", Sz(";a;")},
      {"capital_i_uninstalls", Reg("I", "b"), Sz("a;b"), "", Sz("a")},
      {"data_without_nul", Reg("i", "b"), {{kPath + ".REG_SZ", "a;b;c"}}, "", {{kPath + ".REG_SZ", "a;b;c"}}},
      {"long_value", Reg("i", "C:\\New"), ExpandSz(kLongPath), "", ExpandSz(kLongPath + ";C:\\New")},
      {"path_outside_code_page_uninstall", Reg("u", "C:\\a"), ExpandSz(kUnicodePath), "", ExpandSz("C:\\Łąka\\bin;C:\\工具\\bin")},
      {"look_alike_item_stays", Reg("u", "C:\\Laka\\bin"), ExpandSz(kUnicodePath), "", ExpandSz(kUnicodePath)},
      {"names_outside_code_page", Reg("i", "b", kKey + "\\Łąka工具", "Pfad工具"), Sz("a", kFolder + "Łąka工具/Pfad工具"), "", Sz("a;b", kFolder + "Łąka工具/Pfad工具")},
      {"dword_refused", Reg("u", "b"), {{kPath + ".REG_DWORD", "\x05\0\0\0"s}}, kKeyError, {{kPath + ".REG_DWORD", "\x05\0\0\0"s}}},
      {"missing_value", Reg("i", "b"), {{kFolder, ""}}, kKeyError, {{kFolder, ""}}},
      {"missing_value_empty_item", Reg("u", ""), {{kFolder, ""}}, kKeyError, {{kFolder, ""}}},
      {"missing_key", Reg("i", "b", kKey + "\\missing"), Sz("a"), kKeyError, Sz("a")},
      {"root_hkcr", Reg("i", "b", "HKCR\\Software\\cfgline-e2e"), Sz("a", "registry/HKEY_CLASSES_ROOT/Software/cfgline-e2e/Path"), "", Sz("a;b", "registry/HKEY_CLASSES_ROOT/Software/cfgline-e2e/Path")},
      {"root_hklm", Reg("i", "b", "HKLM\\Software\\cfgline-e2e"), Sz("a", "registry/HKEY_LOCAL_MACHINE/Software/cfgline-e2e/Path"), "", Sz("a;b", "registry/HKEY_LOCAL_MACHINE/Software/cfgline-e2e/Path")},
      {"root_hku", Reg("i", "b", "HKU\\Software\\cfgline-e2e"), Sz("a", "registry/HKEY_USERS/Software/cfgline-e2e/Path"), "", Sz("a;b", "registry/HKEY_USERS/Software/cfgline-e2e/Path")},
      {"root_hkcc", Reg("i", "b", "HKCC\\Software\\cfgline-e2e"), Sz("a", "registry/HKEY_CURRENT_CONFIG/Software/cfgline-e2e/Path"), "", Sz("a;b", "registry/HKEY_CURRENT_CONFIG/Software/cfgline-e2e/Path")},
      {"root_long_name_is_a_subkey", Reg("i", "b", "HKEY_CURRENT_USER\\Software\\cfgline-e2e"), Sz("a"), kKeyError, Sz("a")},
      {"root_needs_backslash", Reg("i", "b", "HKCU/Software\\cfgline-e2e"), Sz("a"), kKeyError, Sz("a")},
      {"prefix_is_case_sensitive", Reg("i", "b", "hkcu\\Software\\cfgline-e2e"), Sz("a"), kKeyError, Sz("a")},
      {"long_subkey_refused", Reg("i", "b", kKey + "\\" + std::string(10000, 'k')), Sz("a"), kKeyError, Sz("a")},
      {"names_ignore_case", Reg("i", "b", "HKCU\\SOFTWARE\\CFGLINE-E2E", "PATH"), Sz("a"), "", Sz("a;b")},
      {"default_value", Reg("i", "b", kKey, ""), Sz("a", kFolder), "", Sz("a;b", kFolder)},
      // Windows only: environment keys' writes are announced, and only they.
      {"announce_environment_change", {"--announcements", "i", "regline", "HKCU\\Environment", "cfgline-e2e", "b"}, Sz("a", kEnvironment), "announcements: 1", Sz("a;b", kEnvironment), kWindowsOnly},
      {"announce_environment_in_any_case", {"--announcements", "i", "regline", "HKCU\\ENVIRONMENT", "cfgline-e2e", "b"}, Sz("a", kEnvironment), "announcements: 1", Sz("a;b", kEnvironment), kWindowsOnly},
      {"announce_only_environment", {"--announcements", "i", "regline", kKey, "Path", "b"}, Sz("a"), "announcements: 0", Sz("a;b"), kWindowsOnly},
      {"announce_only_writes", {"--announcements", "i", "regline", "HKCU\\Environment", "cfgline-e2e", "b"}, Sz("a;b", kEnvironment), "announcements: 0", Sz("a;b", kEnvironment), kWindowsOnly},
      // Windows: a lock that cannot be had as a run makes it fails the run, which never edits unlocked.
      {"lock_file_of_another_kind", {"--occupy-lock", "i", "regline", kKey, "Path", "b"}, Sz("a"), kKeyError, Sz("a"), kWindowsOnly},
      // A run waits for another that holds the file or the value, and then sees its change.
      {"locked_file", {"--locked", "i", "textline", "f.txt", "x"}, {{"f.txt", "a\n"}, {kPath + ".REG_SZ", "a\0"s}}, "", {{"f.txt", "h\r\nx\r\n"}, {kPath + ".REG_SZ", "h\0"s}}, kLinuxOnly},
      {"locked_key", {"--locked", "i", "regline", kKey, "Path", "b"}, {{"f.txt", "a\n"}, {kPath + ".REG_SZ", "a\0"s}}, "", {{"f.txt", "h\n"}, {kPath + ".REG_SZ", "h;b\0"s}}, kLinuxOnly},
      // As nobody, who may not write in the key's folder.
      {"read_only_key", Reg("u", "b"), Sz("a;b"), kKeyError, Sz("a;b"), kLinuxOnly, 0644},
      {"read_only_key_nothing_to_do", Reg("i", "b"), Sz("a;b"), kKeyError, Sz("a;b"), kLinuxOnly, 0644},
      {"root_default_value", Reg("i", "b", "HKCU\\", ""), Sz("a", kCu), "", Sz("a;b", kCu)},
      {"value_name_with_a_dot", Reg("i", "b", kKey, "dotted.name"), Sz("a", kFolder + "Dotted.Name"), "", Sz("a;b", kFolder + "Dotted.Name")},
      {"dot_dot_is_no_parent", Reg("i", "b", "HKCU\\Software\\..\\Software\\cfgline-e2e"), Sz("a"), kKeyError, Sz("a")},
      // The Linux build's store: a key is a folder, a value a file "NAME.TYPE".
      {"store_file_named_like_a_key", Reg("i", "b"), {{kPath + ".REG_SZ", "a\0"s}, {kCu + "Software/CFGLINE-E2E", ""}}, "", {{kPath + ".REG_SZ", "a;b\0"s}, {kCu + "Software/CFGLINE-E2E", ""}}, kLinuxOnly},
      {"store_folder_named_like_a_value", Reg("i", "b"), {{kPath + ".REG_SZ", "a\0"s}, {kPath + ".REG_BINARY/", ""}}, "", {{kPath + ".REG_SZ", "a;b\0"s}, {kPath + ".REG_BINARY/", ""}}, kLinuxOnly},
      {"store_keys_differing_in_case", Reg("i", "b", kKey + "\\twin"), {{kFolder + "Twin/", ""}, {kFolder + "TWIN/", ""}}, kKeyError, {{kFolder + "Twin/", ""}, {kFolder + "TWIN/", ""}}, kLinuxOnly},
      {"store_values_differing_in_case", Reg("i", "b", kKey, "two"), {{kFolder + "Two.REG_SZ", ""}, {kFolder + "two.REG_BINARY", ""}}, kKeyError, {{kFolder + "Two.REG_SZ", ""}, {kFolder + "two.REG_BINARY", ""}}, kLinuxOnly},
      {"store_no_values", Reg("i", "b", kKey, "odd"), {{kFolder + "Odd.txt", ""}, {kFolder + "Odd.reg_sz", ""}}, kKeyError, {{kFolder + "Odd.txt", ""}, {kFolder + "Odd.reg_sz", ""}}, kLinuxOnly},
      {"store_fifo_is_no_value", Reg("i", "b", kKey, "fifo"), {{kFolder + "Fifo.REG_SZ|", ""}}, kKeyError, {{kFolder + "Fifo.REG_SZ|", ""}}, kLinuxOnly},
      {"store_name_encoded", Reg("i", "b", kKey, "A%2F/C"), {{kFolder + "a%2F%2Fc.REG_SZ", "a\0"s}, {kFolder + "a%252F%2Fc.REG_SZ", "a\0"s}}, "", {{kFolder + "a%2F%2Fc.REG_SZ", "a\0"s}, {kFolder + "a%252F%2Fc.REG_SZ", "a;b\0"s}}, kLinuxOnly},
      {"store_trailing_backslash", Reg("i", "b", kKey + "\\"), Sz("a"), kKeyError, Sz("a"), kLinuxOnly},
      {"slash_in_key_name", Reg("i", "b", "HKCU\\Software/cfgline-e2e"), Sz("a"), kKeyError, Sz("a")},
      {"root_without_its_folder", Reg("i", "b", "HKU\\x"), F(""), kKeyError, F("")},
  };
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Registry, Command, CasesHere(RegCases()), CaseName);

// ---------------------------------------------------------------------------
// Linux: runs as root on what another user, nobody, prepared. Each case's
// setup runs as root in the case's folder, which holds "r/f" (root's, mode
// 600, "a\n"), "u/" (nobody's) and "u/own" (nobody's, "a\n"); `U` runs a
// command as nobody. `during` runs in the background while the tool runs,
// `run` goes before its command. Nothing but the files in `changed` may
// change in any way (bytes, link target, mode, owner, group, inode), and
// those keep their mode, less any set-user-ID or set-group-ID bit, owner and
// group (as nobody, they become nobody's). With `show`, the case runs on a
// file system that holds ACLs, attributes and flags, and `show` must print
// the same before and after, or `shown` when given.
struct LinkCase {
  std::string name;
  std::string setup;
  Args args;
  std::string out;
  Files changed;  // new bytes, or kGone
  bool asNobody = false;
  std::string during = "", show = "", shown = "", run = "";
};

const std::string kGone = "<gone>";
const std::string kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";

// The folder of the file system for those cases: the temporary folder's when
// it holds all they need, else a small ext4 image mounted there.
class MarkingFolder {
 public:
  MarkingFolder() {
    const std::string probe =
        "touch p && setfacl -m u:nobody:r p && setfattr -n user.p p && setfattr -n trusted.p p && "
        "chattr +A +S +d p";
    if (Shell(probe, dir_.path()) == "") return;
    EXPECT_EQ(Shell("truncate -s 16M img && mkfs.ext4 -q img && mkdir m && mount -o loop img m",
                    dir_.path()),
              "");
    path_ = dir_ / "m";
  }
  ~MarkingFolder() {
    if (path_ != dir_.path()) umount2(path_.c_str(), MNT_DETACH);
  }
  const std::string& path() const { return path_; }

 private:
  TempDir dir_;
  std::string path_ = dir_.path();
};

class LinkRun : public testing::TestWithParam<LinkCase> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LinkRun);

TEST_P(LinkRun, TouchesOnlyWhatTheCallerMay) {
  const LinkCase& c = GetParam();
  static const MarkingFolder marking;
  const TempDir temp;
  const std::string dir = c.show.empty() ? temp.path() : marking.path() + "/" + c.name;
  fs::create_directory(dir);
  fs::permissions(dir, fs::perms(0755));
  EXPECT_EQ(
      Shell("U() { " + kAsNobody +
                " \"$@\"; }; mkdir -m 755 u r && chown 65534:65534 u &&"
                " printf 'a\\n' >r/f && chmod 600 r/f && U sh -c \"printf 'a\\n' >u/own\" && " +
                c.setup,
            dir),
      "");
  std::map<std::string, Entry> expected = ListEntries(dir);
  const std::string show = c.show.empty() ? "true" : c.show, shown = Shell(show, dir);
  const std::string during = c.during.empty() ? "" : "{ " + c.during + "; } & sleep 0.3; ";
  EXPECT_EQ(
      Shell(during + c.run + Tool(c.args, c.asNobody) + (during.empty() ? "" : "; kill $!"), dir),
      c.out);
  EXPECT_EQ(Shell(show, dir), c.shown.empty() ? shown : c.shown);
  std::map<std::string, Entry> after = ListEntries(dir);
  for (const auto& [name, bytes] : c.changed) {
    if (bytes == kGone) {
      expected.erase(name);
    } else {
      expected[name].bytes = bytes;
      expected[name].mode &= ~06000u;  // never set-user-ID or set-group-ID
      if (c.asNobody) expected[name].owner = expected[name].group = 65534;  // nobody's now
      expected[name].inode = after.contains(name) ? after[name].inode : 0;
    }
  }
  EXPECT_EQ(after, expected);
  if (dir == temp.path()) return;
  Shell("chattr -a r", dir);
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

Args At(const std::string& file, const std::string& mode = "i") {
  return {mode, "textline", file, "x"};
}
const std::string kStore =
    "mkdir registry && chown 65534:65534 registry && U mkdir -p registry/HKEY_CURRENT_USER/k && ";
const Args kStoreAdd = {"i", "regline", "HKCU\\k", "v", "b"};
// Makes `name` a second name of root's link `link`, as nobody where the
// kernel lets a user hard-link another's link (fs.protected_hardlinks 0, set
// for that moment), else as root where /proc/sys is read-only: the same link.
std::string HardLinkAsUser(const std::string& link, const std::string& name) {
  const std::string ln = "ln -P " + link + " " + name;
  return "h=/proc/sys/fs/protected_hardlinks && p=$(cat $h) && if echo 0 2>/dev/null >$h; then U " +
         ln + "; echo $p >$h; else " + ln + "; fi";
}
// A link, as nobody, at `name` to the pagemap of a process of nobody's,
// which reports a size of 0 and reads on for 256 GiB.
const std::string kPagemapAt = "{ " + kAsNobody + " sleep 30 & } && U ln -s /proc/$!/pagemap ";

// Runs a command as root that may change owners but cannot give a file
// nobody's: in a user namespace where nobody is not mapped; in a chroot,
// which may not make one, with every change of owner refused (--no-chown).
std::string CannotChown() {
  if (Shell("unshare --user --map-root-user true", "/") == "")
    return "unshare --user --map-root-user ";
  return Quote(fs::read_symlink("/proc/self/exe")) + " --no-chown ";
}

// clang-format off
std::vector<LinkCase> LinkCases() {
  if (Windows()) return {};  // Wine has no owners, nor ACLs
  const std::string added = "a\nx\n";
  return {
      // A user leads root nowhere but to what the user owns already.
      {"user_link_to_root_file", "U ln -s ../r/f u/l", At("u/l"), kCannotOpen, {}},
      {"user_absolute_link", "U ln -s \"$PWD/r/f\" u/l", At("u/l"), kCannotOpen, {}},
      {"user_link_to_root_folder", "U ln -s ../r u/d", At("u/d/f"), kCannotOpen, {}},
      {"user_link_to_root_link", "ln -s f r/l && U ln -s ../r/l u/l", At("u/l"), kCannotOpen, {}},
      {"user_link_to_own_link_to_root", "U ln -s ../r/f u/l2 && U ln -s l2 u/l", At("u/l"), kCannotOpen, {}},
      {"delfile_through_user_folder_link", "U ln -s ../r u/d", {"i", "delfile", "u/d/f"}, "Some error occured.", {}},
      {"user_store_value_link", kStore + "printf 'a\\0' >r/v && U ln -s \"$PWD/r/v\" registry/HKEY_CURRENT_USER/k/v.REG_SZ", kStoreAdd, kKeyError, {}},
      {"user_store_key_link", "mkdir r/k && printf 'a\\0' >r/k/v.REG_SZ && " + kStore + "U rmdir registry/HKEY_CURRENT_USER/k && U ln -s \"$PWD/r/k\" registry/HKEY_CURRENT_USER/k", kStoreAdd, kKeyError, {}},
      {"user_store_root_key_link", "mkdir -p r/HK/k && printf 'a\\0' >r/HK/k/v.REG_SZ && " + kStore + "rm -r registry/HKEY_CURRENT_USER && U ln -s \"$PWD/r/HK\" registry/HKEY_CURRENT_USER", kStoreAdd, kKeyError, {}},
      {"user_store_link", "mkdir -p r/HKEY_CURRENT_USER/k && printf 'a\\0' >r/HKEY_CURRENT_USER/k/v.REG_SZ && ln -s r registry && chown -h 65534 registry", kStoreAdd, kKeyError, {}},
      // A link is as trusted as its folder: a user may rename, or hard-link, root's link there.
      {"root_link_renamed_by_user", "ln -s ../r/f u/app && U mv u/app u/.bashrc", At("u/.bashrc"), kCannotOpen, {}},
      {"root_link_hard_linked_by_user", "ln -s \"$PWD/r/f\" r/l && " + HardLinkAsUser("r/l", "u/l"), At("u/l"), kCannotOpen, {}},
      // ".." out of where a user's link led stays on the link's path.
      {"dot_dot_after_user_link", "mkdir etc && cp r/f etc/app.conf && U mkdir u/app && U ln -s \"$PWD/u\" u/app/bin", At("u/app/bin/../etc/app.conf"), kCannotOpen, {}},
      {"delfile_dot_dot_after_user_link", "mkdir etc && cp r/f etc/app.conf && U mkdir u/app && U ln -s \"$PWD/u\" u/app/bin", {"i", "delfile", "u/app/bin/../etc/app.conf"}, "Some error occured.", {}},
      {"user_link_to_slash", "U ln -s / u/l", At("u/l/proc/self/cwd/r/f"), kCannotOpen, {}},
      {"link_loop", "U ln -s b u/a && U ln -s a u/b", At("u/a"), kCannotOpen, {}},
      {"delfile_name_ending_in_slash", "true", {"i", "delfile", "u/own/"}, "Some error occured.", {}},
      // Files that never end, or whose holes would be read and written out.
      {"user_link_to_own_pagemap", kPagemapAt + "u/.profile", At("u/.profile", "u"), kCannotOpen, {}},
      {"user_store_value_pagemap", kStore + kPagemapAt + "registry/HKEY_CURRENT_USER/k/v.REG_SZ", kStoreAdd, kKeyError, {}},
      {"sparse_user_file_uninstall", "U truncate -s 1T u/.bashrc", At("u/.bashrc", "u"), kCannotOpen, {}},
      // A reader's lock does not keep root out.
      {"reader_holds_flock", "chmod 644 r/f", At("r/f"), "", {{"r/f", added}}, false, kAsNobody + " flock -s r/f sleep 40"},
      // Links that root, the caller or the file's owner made are followed.
      {"root_link", "mkdir etc opt && printf 'a\\n' >opt/app.conf && ln -s ../opt/app.conf etc/app.conf", At("etc/app.conf"), "", {{"opt/app.conf", added}}},
      {"user_dotfile_by_root", "U mkdir u/dots && U cp u/own u/dots/rc && U ln -s \"$PWD/u/dots/rc\" u/.rc", At("u/.rc"), "", {{"u/dots/rc", added}}},
      {"user_dotfile_by_user", "U mkdir u/dots && U cp u/own u/dots/rc && U ln -s \"$PWD/u/dots/rc\" u/.rc", At("u/.rc"), "", {{"u/dots/rc", added}}, true},
      {"user_folder_link_to_own_folder", "U mkdir u/real && U cp u/own u/real/f && U ln -s real u/d", At("u/d/f"), "", {{"u/real/f", added}}},
      {"callers_own_link", "mkdir -m 777 r/w && cp r/f r/w && chmod 666 r/w/f && U ln -s ../r/w/f u/l", At("u/l"), "", {{"r/w/f", added}}, true},
      {"root_edits_user_file", "chgrp 1234 u/own && chmod 6640 u/own", At("u/own"), "", {{"u/own", added}}},
      {"root_edits_user_store", kStore + "U sh -c \"printf 'a\\0' >registry/HKEY_CURRENT_USER/k/v.REG_SZ\"", kStoreAdd, "", {{"registry/HKEY_CURRENT_USER/k/v.REG_SZ", "a;b\0"s}}},
      {"delfile_of_a_link_removes_the_link", "U ln -s ../r/f u/l", {"i", "delfile", "u/l"}, "", {{"u/l", kGone}}},
      {"root_link_to_slash", "ln -s / r/root", At("r/root/proc/self/cwd/r/f"), "", {{"r/f", added}}},
      {"dot_dot_after_user_link_in_own_folder", "U mkdir u/app u/app/real && U ln -s real u/app/bin && U cp u/own u/app/conf", At("u/app/bin/../conf"), "", {{"u/app/conf", added}}},
      {"link_text_of_300_bytes", "U ln -s $(printf './%.0s' $(seq 146))../u/own u/l", At("u/l"), "", {{"u/own", added}}},
      // What a rewrite keeps of the file it replaces.
      {"acl", "chmod 640 r/f && setfacl -m u:nobody:rw,g::- r/f", At("r/f"), "", {{"r/f", added}}, false, "", "getfacl r/f"},
      // Created with the folder's default ACL, the new file would let nobody read it.
      {"no_default_acl", "chmod 640 r/f && setfacl -d -m u:nobody:rwx r", At("r/f"), "", {{"r/f", added}}, false, "", kAsNobody + " cat r/f; getfacl r/f"},
      {"labels_attributes_flags", "setfattr -n security.cfgline -v l r/f && setfattr -n trusted.t -v t r/f && setfattr -n user.u -v u r/f && chattr +A +S +d r/f",
       At("r/f"), "", {{"r/f", added}}, false, "", "getfattr -d -m - r/f; lsattr r/f"},
      {"no_capability", "setfattr -n security.capability -v 0x0100000200200000000000000000000000000000 r/f", At("r/f"), "", {{"r/f", added}}, false, "",
       "getfattr -n security.capability r/f", "r/f: security.capability: No such attribute\n"},
      {"append_only_folder", "chattr +a r", At("r/f"), kCannotOpen, {}, false, "", "ls -A r"},
      {"owner_not_given", "chown 65534:65534 r/f && chmod 666 r/f", At("r/f"), kCannotOpen, {}, false, "", "stat -c '%u:%g %a %i' r/f", "", CannotChown()},
  };
}
// clang-format on

// The cases about what a rewrite keeps, those with `show`, or the others.
auto LinkCasesAbout(bool protection) {
  std::vector<LinkCase> table = LinkCases();
  std::erase_if(table, [&](const LinkCase& c) { return c.show.empty() == protection; });
  return testing::ValuesIn(table);
}

INSTANTIATE_TEST_SUITE_P(Links, LinkRun, LinkCasesAbout(false), CaseName);
INSTANTIATE_TEST_SUITE_P(Protection, LinkRun, LinkCasesAbout(true), CaseName);

// ---------------------------------------------------------------------------
// The parts of `bytes` between separators, sorted.
Args SortedParts(const std::string& bytes, const std::string& separator) {
  Args parts;
  for (size_t begin = 0, end; begin <= bytes.size(); begin = end + separator.size()) {
    end = std::min(bytes.find(separator, begin), bytes.size());
    parts.push_back(bytes.substr(begin, end - begin));
  }
  std::ranges::sort(parts);
  return parts;
}

// Runs at the same time on one file or one value take turns: all start at
// once, each adding its own line or item, then all remove theirs again. Half
// reach the file through another spelling of its name: a linked folder, on
// Windows also in the "\\?\" form and in another letter case.
TEST(ConcurrentRuns, LoseNothing) {
  TempDir dir;
  const Files files = {{"f.txt", "a\r\n"}, {kPath + ".REG_SZ", "a\0"s}};
  MakeFiles(dir.path(), files);
  fs::create_directory_symlink(".", dir / "l");
  const std::string other =
      Windows() ? "\\\\?\\Z:" + Replace(dir / "l", "/", "\\") + "\\F.TXT" : "l/f.txt";
  std::string lines = "a\r\n", items = "a", runs[2];
  for (int i = 0; i < (Windows() ? 20 : 30); ++i) {
    const std::string text = "C:\\Tool" + std::to_string(100 + i);
    lines += text + "\r\n";
    items += ";" + text;
    for (const std::string mode : {"i", "u"})
      runs[mode == "u"] += Tool({mode, "textline", i % 2 ? other : "f.txt", text}) + " & " +
                           Tool(Reg(mode, text)) + " & ";
  }
  // Every run's line and item is there, whole, in any order.
  const std::string lineEnd = Rewritten("\r\n");
  for (const std::string mode : {"i", "u"}) {
    EXPECT_EQ(Shell(runs[mode == "u"] + "wait", dir.path()), "");
    RegTool(dir.path(), "save", files);
    EXPECT_EQ(SortedParts(ReadBytes(dir / "f.txt"), lineEnd),
              SortedParts(Rewritten(mode == "i" ? lines : "a\r\n"), lineEnd));
    EXPECT_EQ(SortedParts(Replace(ReadBytes(dir / kPath + ".REG_SZ"), "\0"s, ";"), ";"),
              SortedParts((mode == "i" ? items : "a") + ';', ";"));
  }
}

// ---------------------------------------------------------------------------
// While root edits a file that only root may read, user nobody opens each
// temporary file of the tool the moment it appears (under Wine these are Unix
// files, their DACL kept as the mode): it must get none of them, on any target.
TEST(TempFiles, NoOneElseOpensThem) {
  TempDir dir;
  MakeFiles(dir.path(), F("a\n"), 0600);
  std::string edits, lines = "a\r\n";
  for (int i = 0; i < 10; ++i) {
    edits += Tool(Add("x" + std::to_string(i))) + "; ";
    lines += "x" + std::to_string(i) + "\r\n";
  }
  EXPECT_EQ(Shell(watchCommand + " . | { read -r _; " + edits + "touch done; cat; }", dir.path()),
            "seen 10, opened 0\n");
  EXPECT_EQ(ReadBytes(dir / "f.txt"), Rewritten(lines));
  // Wine writes the DACL of a 0600 file back as 0770, as dacl_user_only shows.
  EXPECT_EQ(fs::status(dir / "f.txt").permissions(), fs::perms(Windows() ? 0770 : 0600));
}

// Windows: ten top-level windows that each take 4 s to answer the environment
// announcement (regtool --slow-windows) hold up neither the run that announces
// nor a second run on the key, started as the first window gets it; the value
// holds both items. regtool's lines end in CR LF, and read(1) keeps the CR.
TEST(SlowWindows, HoldNoRunUp) {
  if (!Windows()) GTEST_SKIP() << "windows are Windows' own";
  TempDir dir;
  const std::string value = "registry/HKEY_CURRENT_USER/Environment/cfgline-e2e";
  MakeFiles(dir.path(), Sz("a", value));
  const std::string first = Quote(CFGLINE_WINE_SCRIPT) + " " + Quote(CFGLINE_REGTOOL) +
                            " --slow-windows " + Quote(tool) +
                            " i regline 'HKCU\\Environment' cfgline-e2e b";
  const std::string second = Tool(Reg("i", "c", "HKCU\\Environment", "cfgline-e2e"));
  EXPECT_EQ(Shell(first + " | { read -r line; echo \"$line\"; " + second + "; cat; }", dir.path()),
            "announced\r\ndone within 10 s\r\n");
  RegTool(dir.path(), "save", Sz("a", value));
  EXPECT_EQ(ReadBytes(dir / value + ".REG_SZ"), "a;b;c\0"s);
}

}  // namespace

// e2e_tests --watch FOLDER: says so on standard output once it watches the
// folder, then opens each ".cfgline-" file the moment it appears there, for
// reading; when a file "done" appears, prints how many it saw and opened.
int Watch(const char* folder) {
  const int watch = inotify_init();
  if (watch < 0 || inotify_add_watch(watch, folder, IN_CREATE | IN_MOVED_TO) < 0) return 1;
  std::puts("watching");
  std::fflush(stdout);
  int seen = 0, opened = 0;
  alignas(inotify_event) char events[4096];
  for (;;) {
    const ssize_t size = read(watch, events, sizeof events);
    if (size <= 0) return 1;
    for (ssize_t at = 0; at < size;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      at += sizeof(inotify_event) + event->len;
      const std::string name = event->len > 0 ? event->name : "";
      if (name == "done") return std::printf("seen %d, opened %d\n", seen, opened) < 0;
      if (!name.starts_with(".cfgline-")) continue;
      ++seen;
      const int fd = open((std::string(folder) + "/" + name).c_str(), O_RDONLY);
      if (fd >= 0) ++opened, close(fd);
    }
  }
}

// e2e_tests --hold FILE...: takes a write lock on each file, says so on
// standard output, holds them for a second, writes 'h' over the first byte
// of each, and lets go.
int HoldLocks(int count, char** files) {
  std::vector<int> held;
  for (int i = 0; i < count; ++i) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    held.push_back(open(files[i], O_RDWR));
    if (fcntl(held.back(), F_OFD_SETLK, &lock) != 0) return 1;
  }
  std::puts("locked");
  std::fflush(stdout);
  sleep(1);
  for (const int fd : held)
    if (pwrite(fd, "h", 1, 0) != 1) return 1;
  return 0;
}

// e2e_tests --no-chown COMMAND...: runs COMMAND where fchown and fchownat
// fail with EPERM, as they do for root with an owner it cannot map.
int RunWithoutChown(char** command) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fchown, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fchownat, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
    return 1;
  execvp(command[0], command);
  return 127;
}

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--hold") return HoldLocks(argc - 2, argv + 2);
  if (argc > 2 && std::string(argv[1]) == "--no-chown") return RunWithoutChown(argv + 2);
  if (argc == 3 && std::string(argv[1]) == "--watch") return Watch(argv[2]);
  if (argc < 3 || access(argv[2], X_OK) != 0) {
    fprintf(stderr, "usage: e2e_tests linux|win32|win64 PROGRAM [gtest flags]\n");
    return 2;
  }
  target = argv[1];
  tool = fs::absolute(argv[2]).string();
  toolCommand = (Windows() ? Quote(CFGLINE_WINE_SCRIPT) + " " : "") + Quote(tool);
  // Linux: each run's registry is in its folder; a copy of the tool where nobody can reach it.
  setenv("CFGLINE_REGISTRY", "registry", 1);
  const TempDir shared;
  fs::permissions(shared.path(), fs::perms(0755));
  nobodyCommand = toolCommand;
  fs::copy_file("/proc/self/exe", shared / "e2e_tests");
  watchCommand = kAsNobody + " " + Quote(shared / "e2e_tests") + " --watch";
  if (!Windows()) {
    fs::copy_file(tool, shared / "cfgline");
    nobodyCommand = kAsNobody + " " + Quote(shared / "cfgline");
  }
  testing::InitGoogleTest(&argc, argv);  // instantiates the cases for the target
  return RUN_ALL_TESTS();
}
