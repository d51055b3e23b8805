// The tool as a process, case by case: byte-exact standard output, file
// contents and registry values. The same tables run against the Linux build
// and, under Wine, against the Windows builds:
//   e2e_tests --target=linux|win32|win64 --tool=PATH [gtest flags]
// Cases labelled kLinuxOnly, kWindowsOnly or kWin32Only run on that target
// alone.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include <gtest/gtest.h>

#include "e2e/tool_runner.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

ToolTarget target;

enum Where { kAll, kLinuxOnly, kWindowsOnly, kWin32Only };

bool RunsHere(Where where) {
  switch (where) {
    case kAll: return true;
    case kLinuxOnly: return !target.windows();
    case kWindowsOnly: return target.windows();
    case kWin32Only: return target.name == "win32";
  }
  return false;
}

// The cases of a table that run on the target, named for gtest.
template <typename Case>
auto CasesHere(std::vector<Case> table) {
  std::erase_if(table, [](const Case& c) { return !RunsHere(c.where); });
  return testing::ValuesIn(table);
}

auto CaseName = [](const auto& info) { return info.param.name; };

// Standard output as the platform writes it: LF becomes CR LF on Windows.
std::string AsWritten(std::string text) {
  if (!target.windows()) return text;
  for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 2)) {
    text.insert(lf, "\r");
  }
  return text;
}

// A copy of the tool that the unprivileged user can reach, wherever the
// build folder lies.
const std::string& UnprivilegedTool() {
  static TempDir dir;
  static const std::string tool = [] {
    chmod(dir.path().c_str(), 0755);
    fs::copy_file(target.tool, dir / "cfgline");
    return dir / "cfgline";
  }();
  return tool;
}

// The command line that runs the tool; on Linux as user nobody when
// `unprivileged`, which makes files without write permission unwritable also
// when the tests run as root.
std::vector<std::string> ToolCommand(const std::vector<std::string>& args,
                                     bool unprivileged = false) {
  std::vector<std::string> command;
  if (target.windows()) {
    command = {CFGLINE_WINE_SCRIPT, target.tool};
  } else if (unprivileged) {
    command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", UnprivilegedTool()};
  } else {
    command = {target.tool};
  }
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

ProcessResult RunTool(const std::vector<std::string>& args, const std::string& cwd,
                      bool unprivileged = false, const std::vector<std::string>& env = {}) {
  return RunProcess(ToolCommand(args, unprivileged), cwd, env);
}

void ExpectCleanExit(const ProcessResult& result, const std::string& out) {
  EXPECT_EQ(result.out, AsWritten(out));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

// ---------------------------------------------------------------------------
// Files: the command line, the folder's files before, and after.

// A name ending in '/' is a folder, in '|' a FIFO, in '=' a socket (as ls -F
// shows them); their bytes are "".
using Files = std::map<std::string, std::string>;

struct FileCase {
  std::string name;
  std::vector<std::string> args;
  Files before;
  std::string out;
  Files after;
  bool readOnly = false;  // files without write permission; on Linux run unprivileged
  Where where = kAll;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

// Every file below `folder`, and every empty folder.
Files ListFolder(const std::string& folder) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(entry.path(), folder).string();
    if (entry.is_fifo()) files[name + "|"] = "";
    else if (entry.is_socket()) files[name + "="] = "";
    else if (!entry.is_directory()) files[name] = ReadBytes(entry.path().string());
    else if (fs::is_empty(entry.path())) files[name + "/"] = "";
  }
  return files;
}

void MakeSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  path.copy(address.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
  close(fd);
}

class FileCommand : public testing::TestWithParam<FileCase> {};

TEST_P(FileCommand, Run) {
  const FileCase& c = GetParam();
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  for (const auto& [name, bytes] : c.before) {
    const std::string path = dir / name, bare = path.substr(0, path.size() - 1);
    fs::create_directories(fs::path(path).parent_path());
    if (name.ends_with('/')) {
      continue;
    } else if (name.ends_with('|')) {
      ASSERT_EQ(mkfifo(bare.c_str(), 0644), 0);
    } else if (name.ends_with('=')) {
      MakeSocket(bare);
    } else {
      WriteBytes(path, bytes);
      if (c.readOnly) chmod(path.c_str(), 0444);
    }
  }
  ExpectCleanExit(RunTool(c.args, dir.path(), c.readOnly), c.out);
  EXPECT_EQ(ListFolder(dir.path()), c.after);
}

const Files kAb = {{"f.txt", "a\nb\n"}};

// UTF-16 file contents: the byte-order mark, then `text` in that byte order.
std::string Utf16(std::u16string_view text, bool bigEndian = false) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t unit : text) {
    const char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}
const std::string kUtf8Bom = "\xEF\xBB\xBF";
const std::string kIni = Utf16(u"[s]\r\nk=v\r\n");
// Longer than MAX_PATH, in folders of names shorter than any system's limit.
const std::string kDeep =
    std::string(100, 'd') + "/" + std::string(100, 'e') + "/" + std::string(100, 'f') + "/";
const std::string kUsage =
    "i/u - install/uninstall\n"
    "[textline <filename> <textline>]\n"
    "[delfile <filename>]\n"
    "[regline <HKEY\\regpath> <valuename> <regline> ]\n";

std::vector<FileCase> FileCases() {
  return {
      {"no_arguments", {}, kAb, kUsage, kAb},
      {"mode_only", {"i"}, kAb, kUsage, kAb},
      {"unknown_command", {"i", "textlines", "f.txt", "x"}, kAb, kUsage, kAb},
      {"command_is_case_sensitive", {"i", "TEXTLINE", "f.txt", "x"}, kAb, kUsage, kAb},
      {"textline_without_text", {"u", "textline", "f.txt"}, kAb, kUsage, kAb},
      {"regline_without_item", {"i", "regline", "HKLM\\Software\\X", "Path"}, kAb, kUsage, kAb},
      {"add", {"i", "textline", "f.txt", "x"}, kAb, "", {{"f.txt", "a\r\nb\r\nx\r\n"}}},
      {"add_extra_argument_ignored", {"i", "textline", "f.txt", "x", "y"}, kAb, "",
       {{"f.txt", "a\r\nb\r\nx\r\n"}}},
      {"add_with_blanks", {"i", "textline", "f.txt", "Feature = 1"}, kAb, "",
       {{"f.txt", "a\r\nb\r\nFeature = 1\r\n"}}},
      {"add_quoted", {"i", "textline", "f.txt", "say \"hi\""}, kAb, "",
       {{"f.txt", "a\r\nb\r\nsay \"hi\"\r\n"}}},
      {"add_empty_text_to_empty_file", {"i", "textline", "f.txt", ""}, {{"f.txt", ""}}, "",
       {{"f.txt", "\r\n"}}},
      {"add_present_keeps_bytes", {"i", "textline", "f.txt", "b"}, {{"f.txt", "a\n\nb\n"}}, "",
       {{"f.txt", "a\n\nb\n"}}},
      {"add_after_0x1a", {"i", "textline", "f.txt", "x"}, {{"f.txt", "a\x1a" "b\n\x1a\nc"}}, "",
       {{"f.txt", "a\x1a" "b\r\n\x1a\r\nc\r\nx\r\n"}}},
      {"add_keeps_nul", {"i", "textline", "f.txt", "x"}, {{"f.txt", "a\0b\n"s}}, "",
       {{"f.txt", "a\0b\r\nx\r\n"s}}},
      {"add_text_with_line_end", {"i", "textline", "f.txt", "a\nx"}, kAb, "Cannot open file.", kAb},
      {"remove_text_with_line_end", {"u", "textline", "f.txt", "a\nb"}, kAb, "", kAb},
      {"remove", {"u", "textline", "f.txt", "a"}, kAb, "", {{"f.txt", "b\r\n"}}},
      {"remove_every_match", {"u", "textline", "f.txt", "x"}, {{"f.txt", "xa\r\nb\nx"}}, "",
       {{"f.txt", "b\r\n"}}},
      {"remove_last_line", {"u", "textline", "f.txt", "x"}, {{"f.txt", "x\n"}}, "",
       {{"f.txt", "\r\n"}}},
      {"remove_is_case_sensitive", {"u", "textline", "f.txt", "A"}, kAb, "", kAb},
      {"capital_i_uninstalls", {"I", "textline", "f.txt", "a"}, kAb, "", {{"f.txt", "b\r\n"}}},
      {"other_mode_uninstalls", {"install", "textline", "f.txt", "a"}, kAb, "",
       {{"f.txt", "b\r\n"}}},
      {"missing_file", {"i", "textline", "g.txt", "x"}, kAb, "Cannot open file.", kAb},
      {"missing_file_remove", {"u", "textline", "g.txt", "x"}, kAb, "Cannot open file.", kAb},
      {"folder_as_file", {"i", "textline", "d", "x"}, {{"d/", ""}}, "Cannot open file.",
       {{"d/", ""}}},
      // Special files are refused at once: no wait for a writer, no endless read.
      {"fifo", {"u", "textline", "p", "x"}, {{"p|", ""}}, "Cannot open file.", {{"p|", ""}}},
      {"nul_device", {"u", "textline", "NUL", "x"}, kAb, "Cannot open file.", kAb, false,
       kWindowsOnly},
      {"con_device", {"u", "textline", "CON", "x"}, kAb, "Cannot open file.", kAb, false,
       kWindowsOnly},
      {"socket", {"i", "textline", "s", "x"}, {{"s=", ""}}, "Cannot open file.", {{"s=", ""}},
       false, kLinuxOnly},
      {"dev_zero", {"i", "textline", "/dev/zero", "x"}, kAb, "Cannot open file.", kAb, false,
       kLinuxOnly},
      {"dev_null", {"u", "textline", "/dev/null", "x"}, kAb, "Cannot open file.", kAb, false,
       kLinuxOnly},
      // Only files named as the tool names its temporary files, that no live
      // run holds, are left-overs of killed runs.
      {"rewrite_removes_left_overs", {"i", "textline", "f.txt", "x"},
       {{"f.txt", "a\n"}, {".cfgline-Ab12Cd", "old"}, {".cfgline-9zZ9zz", ""},
        {".cfgline-abc", "k"}, {".cfgline-Ab12Cde", "k"}, {"f.cfgline-Ab12Cd", "k"},
        {".cfgline-Dir123/", ""}},
       "",
       {{"f.txt", "a\r\nx\r\n"}, {".cfgline-abc", "k"}, {".cfgline-Ab12Cde", "k"},
        {"f.cfgline-Ab12Cd", "k"}, {".cfgline-Dir123/", ""}},
       false, kLinuxOnly},
      {"rewrite_removes_left_overs_of_gone_writers", {"i", "textline", "f.txt", "x"},
       {{"f.txt", "a\n"}, {".cfgline-1-2-3", "old"}, {".cfgline-1-2-3x", "k"},
        {"f.cfgline-1-2-3", "k"}},
       "", {{"f.txt", "a\r\nx\r\n"}, {".cfgline-1-2-3x", "k"}, {"f.cfgline-1-2-3", "k"}},
       false, kWindowsOnly},
      {"no_wildcard_expansion", {"i", "textline", "*.txt", "x"},
       {{"a.txt", "a\n"}, {"b.txt", "b\n"}}, "Cannot open file.",
       {{"a.txt", "a\n"}, {"b.txt", "b\n"}}},
      {"read_only_add", {"i", "textline", "f.txt", "x"}, kAb, "Cannot open file.", kAb, true},
      {"read_only_remove", {"u", "textline", "f.txt", "a"}, kAb, "Cannot open file.", kAb, true},
      {"read_only_add_present", {"i", "textline", "f.txt", "a"}, kAb, "", kAb, true},
      {"read_only_remove_absent", {"u", "textline", "f.txt", "x"}, kAb, "", kAb, true},
      {"utf16_add", {"i", "textline", "f.ini", "new=1"}, {{"f.ini", kIni}}, "",
       {{"f.ini", Utf16(u"[s]\r\nk=v\r\nnew=1\r\n")}}},
      {"utf16_present", {"i", "textline", "f.ini", "k=v"}, {{"f.ini", kIni}}, "", {{"f.ini", kIni}}},
      {"utf16_remove_lf_only", {"u", "textline", "f.ini", "k"}, {{"f.ini", Utf16(u"[s]\n\nk=v\nx")}},
       "", {{"f.ini", Utf16(u"[s]\r\nx\r\n")}}},
      {"utf16_remove_every_line", {"u", "textline", "f.ini", "="}, {{"f.ini", Utf16(u"a=1\na=2")}},
       "", {{"f.ini", Utf16(u"\r\n")}}},
      {"utf16be_add_non_ascii", {"i", "textline", "f.ini", "Łąka=工具"},
       {{"f.ini", Utf16(u"\u0500\u0a05\n", true)}}, "",  // 00 0A inside: no line end
       {{"f.ini", Utf16(u"\u0500\u0a05\r\nŁąka=工具\r\n", true)}}},
      {"utf16_units_with_lf_bytes", {"u", "textline", "f.ini", "b"},
       {{"f.ini", Utf16(u"\u0a05\u0500\nb\n")}}, "", {{"f.ini", Utf16(u"\u0a05\u0500\r\n")}}},
      {"utf16_bom_only_add", {"i", "textline", "f.ini", "x"}, {{"f.ini", Utf16(u"")}}, "",
       {{"f.ini", Utf16(u"x\r\n")}}},
      {"utf16_bom_only_remove", {"u", "textline", "f.ini", ""}, {{"f.ini", Utf16(u"")}}, "",
       {{"f.ini", Utf16(u"")}}},
      {"utf16_odd_length", {"i", "textline", "f.ini", "x"}, {{"f.ini", kIni + "a"}},
       "Cannot open file.", {{"f.ini", kIni + "a"}}},
      {"utf32_refused", {"i", "textline", "f.ini", "x"}, {{"f.ini", "\xFF\xFE\0\0a\0\0\0"s}},
       "Cannot open file.", {{"f.ini", "\xFF\xFE\0\0a\0\0\0"s}}},
      {"utf8_bom_kept", {"u", "textline", "f.txt", "x"}, {{"f.txt", kUtf8Bom + "x\nb\n"}}, "",
       {{"f.txt", kUtf8Bom + "b\r\n"}}},
      {"utf8_bom_only_add", {"i", "textline", "f.txt", "Łąka"}, {{"f.txt", kUtf8Bom}}, "",
       {{"f.txt", kUtf8Bom + "Łąka\r\n"}}},
      {"utf16_invalid_utf8_text", {"i", "textline", "f.ini", "\xFF"}, {{"f.ini", kIni}},
       "Cannot open file.", {{"f.ini", kIni}}, false, kLinuxOnly},
      {"text_in_code_page", {"i", "textline", "f.txt", "Démo"}, kAb, "",
       {{"f.txt", "a\r\nb\r\nD\xE9mo\r\n"}}, false, kWindowsOnly},
      {"text_outside_code_page_add", {"i", "textline", "f.txt", "工具"}, kAb, "Cannot open file.",
       kAb, false, kWindowsOnly},
      {"text_outside_code_page_remove", {"u", "textline", "f.txt", "工具"}, kAb, "", kAb, false,
       kWindowsOnly},
      {"name_outside_code_page", {"i", "textline", "Łąka.txt", "x"},
       {{"Łąka.txt", "a\n"}, {"Laka.txt", "a\n"}}, "",
       {{"Łąka.txt", "a\r\nx\r\n"}, {"Laka.txt", "a\n"}}},
      {"long_path", {"i", "textline", kDeep + "f.txt", "x"}, {{kDeep + "f.txt", "a\n"}}, "",
       {{kDeep + "f.txt", "a\r\nx\r\n"}}},
      {"delfile", {"u", "delfile", "f.txt"}, kAb, "", {}},
      {"delfile_name_outside_code_page", {"u", "delfile", "Łąka.txt"},
       {{"Łąka.txt", "a\n"}, {"Laka.txt", "a\n"}}, "", {{"Laka.txt", "a\n"}}},
      {"delfile_long_path", {"u", "delfile", kDeep + "f.txt"}, {{kDeep + "f.txt", "a\n"}}, "",
       {{kDeep, ""}}},
      {"delfile_install", {"i", "delfile", "f.txt", "extra"}, kAb, "", {}},
      {"delfile_missing", {"i", "delfile", "g.txt"}, kAb, "Some error occured.", kAb},
      {"delfile_folder", {"i", "delfile", "d"}, {{"d/", ""}}, "Some error occured.",
       {{"d/", ""}}},
  };
}

INSTANTIATE_TEST_SUITE_P(E2E, FileCommand, CasesHere(FileCases()), CaseName);

// 32-bit Windows only: a file larger than the address space cannot be held,
// which gets the catch-all message and leaves the file alone. The file is
// sparse, so it takes no room on the disk.

struct TooLargeCase {
  std::string name;
  std::vector<std::string> args;
  Where where = kWin32Only;
};

void PrintTo(const TooLargeCase& c, std::ostream* os) { *os << c.name; }

class FileTooLarge : public testing::TestWithParam<TooLargeCase> {};

TEST_P(FileTooLarge, IsLeftAlone) {
  TempDir dir;
  const std::string head = "a\nb\n";
  const uintmax_t size = uintmax_t{5} << 30;
  WriteBytes(dir / "f.txt", head);
  fs::resize_file(dir / "f.txt", size);
  ExpectCleanExit(RunTool(GetParam().args, dir.path()), "Some error occured.");
  EXPECT_EQ(fs::file_size(dir / "f.txt"), size);
  std::ifstream in(dir / "f.txt", std::ios::binary);
  std::string start(head.size(), '\0');
  in.read(start.data(), static_cast<std::streamsize>(start.size()));
  EXPECT_EQ(start, head);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f.txt"});
}

INSTANTIATE_TEST_SUITE_P(E2E, FileTooLarge,
                         CasesHere(std::vector<TooLargeCase>{
                             {"add", {"i", "textline", "f.txt", "x"}},
                             {"remove", {"u", "textline", "f.txt", "a"}}}),
                         CaseName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FileTooLarge);  // none but on win32

// Windows only: a rewritten file keeps its attributes.

struct AttributeCase {
  std::string name;
  std::string attribute;  // as attrib sets and shows it
  Where where = kWindowsOnly;
};

void PrintTo(const AttributeCase& c, std::ostream* os) { *os << c.name; }

class FileAttributes : public testing::TestWithParam<AttributeCase> {};

TEST_P(FileAttributes, SurviveARewrite) {
  const AttributeCase& c = GetParam();
  TempDir dir;
  WriteBytes(dir / "f.txt", "a\n");
  auto attrib = [&](const std::string& change) {
    std::vector<std::string> command = {CFGLINE_WINE_SCRIPT, "cmd", "/c", "attrib"};
    if (!change.empty()) command.push_back(change);
    command.push_back("f.txt");
    const std::string shown = RunProcess(command, dir.path()).out;
    return shown.substr(0, shown.find(':'));  // the flags, before the path
  };
  attrib("+" + c.attribute);
  ASSERT_NE(attrib("").find(c.attribute), std::string::npos) << "set-up";
  ExpectCleanExit(RunTool({"i", "textline", "f.txt", "x"}, dir.path()), "");
  EXPECT_EQ(ReadBytes(dir / "f.txt"), "a\r\nx\r\n");
  EXPECT_NE(attrib("").find(c.attribute), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(E2E, FileAttributes,
                         CasesHere(std::vector<AttributeCase>{{"hidden", "H"}, {"system", "S"}}),
                         CaseName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FileAttributes);  // none on Linux

// ---------------------------------------------------------------------------
// Registry: a value under the case's own key below HKEY_CURRENT_USER, before
// and after.

struct RegCase {
  std::string name;
  std::string mode;
  std::string item;
  std::optional<ValueBytes> before;  // nullopt: the key has no such value
  std::string out;
  std::optional<ShownValue> after;  // nullopt: not written
  Where where = kAll;
  std::string path = "HKCU\\{key}";  // as given on the command line
  std::string valueName = "Path";    // as given on the command line
  std::string storedName = "Path";   // as stored
  std::string key = "{key}";         // below HKEY_CURRENT_USER; {key} is the case's own
  bool unprivileged = false;         // on Linux run as user nobody: keys are read-only
};

void PrintTo(const RegCase& c, std::ostream* os) { *os << c.name; }

ValueBytes Sz(const std::string& text) { return {"REG_SZ", text + '\0'}; }
ValueBytes ExpandSz(const std::string& text) { return {"REG_EXPAND_SZ", text + '\0'}; }
ShownValue ShownSz(const std::string& text) { return {"REG_SZ", text}; }
ShownValue ShownExpandSz(const std::string& text) { return {"REG_EXPAND_SZ", text}; }

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class RegCommand : public testing::TestWithParam<RegCase> {};

TEST_P(RegCommand, Run) {
  const RegCase& c = GetParam();
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  TestRegistry registry(target, dir.path());
  const std::string ownKey = "Software\\cfgline-e2e-" + target.name + "\\" + c.name;
  const bool ownKeyUsed = c.key.starts_with("{key}");
  const std::string key = Replace(c.key, "{key}", ownKey);
  const std::string valueName = Replace(c.valueName, "{target}", target.name);
  const std::string storedName = Replace(c.storedName, "{target}", target.name);
  registry.Set(key, storedName, c.before, ownKeyUsed);
  const auto before = registry.Get(key, storedName);
  ASSERT_EQ(before.has_value(), c.before.has_value()) << "set-up";
  const auto identity = registry.Identity(key, storedName);

  std::string upperKey = ownKey;
  for (char& ch : upperKey) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const std::string path = Replace(Replace(c.path, "{key}", ownKey), "{KEY}", upperKey);
  ExpectCleanExit(RunTool({c.mode, "regline", path, valueName, c.item}, dir.path(), c.unprivileged,
                          registry.Env()),
                  c.out);
  auto after = registry.Get(key, storedName);
  if (!ownKeyUsed) registry.DeleteValue(key, storedName);
  if (!c.after) {
    EXPECT_EQ(after, before) << "unchanged";
    if (before) {
      EXPECT_EQ(registry.Identity(key, storedName), identity) << "not written";
    }
    return;
  }
  EXPECT_EQ(after, (ShownValue{c.after->type, c.after->text + '\0'}));
}

const std::string kLongPath = [] {
  std::string path = "%SystemRoot%\\system32";
  for (int i = 0; path.size() < 33000; ++i) path += ";C:\\Program Files\\Vendor" + std::to_string(i) + "\\bin";
  return path;
}();

const std::string kUnicodePath = "C:\\Łąka\\bin;C:\\工具\\bin;C:\\a";

std::vector<RegCase> RegCases() {
  const std::string sys32 = "C:\\Windows\\system32";
  return {
      {"install", "i", "b", Sz("a"), "", ShownSz("a;b")},
      {"install_after_separator", "i", "b", Sz("a;"), "", ShownSz("a;b")},
      {"install_into_empty", "i", "b", Sz(""), "", ShownSz("b")},
      {"install_present", "i", "b", Sz("a;b;c"), "", std::nullopt},
      {"install_inside_other_item", "i", "b", Sz("a;bc"), "", ShownSz("a;bc;b")},
      {"install_is_case_sensitive", "i", "B", Sz("a;b"), "", ShownSz("a;b;B")},
      {"install_with_blanks", "i", "C:\\Program Files\\Tool", Sz("a"), "",
       ShownSz("a;C:\\Program Files\\Tool")},
      {"uninstall", "u", "b", Sz("a;b;c"), "", ShownSz("a;c")},
      {"uninstall_first", "u", "b", Sz("b;c"), "", ShownSz("c")},
      {"uninstall_last", "u", "b", Sz("a;b"), "", ShownSz("a")},
      {"uninstall_only", "u", "b", Sz("b;"), "", ShownSz("")},
      {"uninstall_first_occurrence", "u", "b", Sz("a;b;b"), "", ShownSz("a;b")},
      {"uninstall_tidies_trailing_separator", "u", "b", Sz("a;b;c;"), "", ShownSz("a;c")},
      {"uninstall_absent", "u", "b", Sz("c"), "", std::nullopt},
      {"uninstall_never_cuts_an_item", "u", "b", Sz("ab;c"), "", std::nullopt},
      {"uninstall_system32_keeps_wbem", "u", sys32, ExpandSz(sys32 + "\\wbem;" + sys32), "",
       ShownExpandSz(sys32 + "\\wbem")},
      {"expand_sz_stays_expand_sz", "i", "C:\\Tool", ExpandSz("%SystemRoot%\\system32"), "",
       ShownExpandSz("%SystemRoot%\\system32;C:\\Tool")},
      {"expand_sz_uninstall", "u", "C:\\Tool", ExpandSz("%SystemRoot%;C:\\Tool;%PATH%"), "",
       ShownExpandSz("%SystemRoot%;%PATH%")},
      {"empty_item_install", "i", "", Sz(";a;"), "", std::nullopt},
      {"empty_item_uninstall", "u", "", Sz(";a;"), "", std::nullopt},
      {"data_without_nul", "i", "b", ValueBytes{"REG_SZ", "a;b;c"}, "", std::nullopt},
      {"long_path_install", "i", "C:\\New", ExpandSz(kLongPath), "",
       ShownExpandSz(kLongPath + ";C:\\New")},
      {"long_path_uninstall", "u", "C:\\Program Files\\Vendor7\\bin", ExpandSz(kLongPath), "",
       ShownExpandSz(Replace(kLongPath, ";C:\\Program Files\\Vendor7\\bin;", ";"))},
      {"path_outside_code_page_install", "i", "C:\\b", ExpandSz(kUnicodePath), "",
       ShownExpandSz(kUnicodePath + ";C:\\b")},
      {"path_outside_code_page_uninstall", "u", "C:\\a", ExpandSz(kUnicodePath), "",
       ShownExpandSz("C:\\Łąka\\bin;C:\\工具\\bin")},
      {"look_alike_item_stays", "u", "C:\\Laka\\bin", ExpandSz(kUnicodePath), "", std::nullopt},
      {"names_outside_code_page", "i", "b", Sz("a"), "", ShownSz("a;b"), kAll,
       "HKCU\\{key}\\Łąka工具", "Pfad工具", "Pfad工具", "{key}\\Łąka工具"},
      {"dword_refused", "u", "b", ValueBytes{"REG_DWORD", "\x05\0\0\0"s}, "Key access error.",
       std::nullopt},
      {"multi_sz_refused", "i", "c", ValueBytes{"REG_MULTI_SZ", "a\0b\0\0"s},
       "Key access error.", std::nullopt},
      {"binary_refused", "i", "c", ValueBytes{"REG_BINARY", "a;b"}, "Key access error.",
       std::nullopt},
      {"missing_value", "i", "b", std::nullopt, "Key access error.", std::nullopt},
      {"missing_value_empty_item", "u", "", std::nullopt, "Key access error.", std::nullopt},
      {"missing_key", "i", "b", Sz("a"), "Key access error.", std::nullopt, kAll,
       "HKCU\\{key}\\missing"},
      {"prefix_is_case_sensitive", "i", "b", Sz("a"), "Key access error.", std::nullopt, kAll,
       "hkcu\\{key}"},
      {"long_subkey_refused", "i", "b", Sz("a"), "Key access error.", std::nullopt, kAll,
       "HKCU\\{key}\\" + std::string(10000, 'k')},
      {"names_ignore_case", "i", "b", Sz("a"), "", ShownSz("a;b"), kAll,
       "HKCU\\{KEY}", "PATH"},
      {"default_value", "i", "b", Sz("a"), "", ShownSz("a;b"), kAll, "HKCU\\{key}", "", ""},
      {"environment_key", "i", "b", Sz("a"), "", ShownSz("a;b"), kAll, "HKCU\\Environment",
       "cfgline-e2e-{target}", "cfgline-e2e-{target}", "Environment"},
      {"read_only_key", "u", "b", Sz("a;b"), "Key access error.", std::nullopt, kLinuxOnly,
       "HKCU\\{key}", "Path", "Path", "{key}", true},
      {"read_only_key_nothing_to_do", "i", "b", Sz("a;b"), "Key access error.", std::nullopt,
       kLinuxOnly, "HKCU\\{key}", "Path", "Path", "{key}", true},
  };
}

INSTANTIATE_TEST_SUITE_P(E2E, RegCommand, CasesHere(RegCases()), CaseName);

// ---------------------------------------------------------------------------
// Runs at the same time on one file or one value take turns: all start at
// once, each adding its own line or item, then all remove theirs again.

struct ConcurrentCase {
  std::string name;
  bool registry;  // a value's items rather than a file's lines
  int runs;
  Where where = kLinuxOnly;
};

void PrintTo(const ConcurrentCase& c, std::ostream* os) { *os << c.name; }

// `text` split at each `separator`.
std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos;
       start = end + separator.size()) {
    parts.push_back(text.substr(start, end - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

class ConcurrentRuns : public testing::TestWithParam<ConcurrentCase> {};

TEST_P(ConcurrentRuns, LoseNothing) {
  const ConcurrentCase& c = GetParam();
  TempDir dir;
  TestRegistry registry(target, dir.path());
  const std::string key = "Software\\cfgline-e2e-" + target.name + "\\concurrent";
  if (c.registry) registry.Set(key, "Path", Sz("a"), true);
  else WriteBytes(dir / "f.txt", "a\n");
  // The file's lines, or the value's items, after the first ("a").
  auto added = [&] {
    std::vector<std::string> parts;
    if (c.registry) {
      const auto value = registry.Get(key, "Path");
      parts = Split(value ? value->text : "<missing>", ";");
      std::string& last = parts.back();
      EXPECT_EQ(last.back(), '\0') << "ends as a string";
      last.pop_back();
    } else {
      parts = Split(ReadBytes(dir / "f.txt"), "\r\n");
      EXPECT_EQ(parts.back(), "") << "ends with a line end";
      parts.pop_back();
    }
    EXPECT_EQ(parts.front(), "a");
    parts.erase(parts.begin());
    std::sort(parts.begin(), parts.end());
    return parts;
  };
  std::vector<std::string> texts;
  for (int i = 0; i < c.runs; ++i) texts.push_back("C:\\Tool" + std::to_string(100 + i));
  for (const std::string mode : {"i", "u"}) {
    std::vector<Process> runs;
    for (const std::string& text : texts) {
      const std::vector<std::string> args =
          c.registry ? std::vector<std::string>{mode, "regline", "HKCU\\" + key, "Path", text}
                     : std::vector<std::string>{mode, "textline", "f.txt", text};
      runs.emplace_back(ToolCommand(args), dir.path(), registry.Env());
    }
    for (Process& run : runs) ExpectCleanExit(run.Finish(), "");
    EXPECT_EQ(added(), mode == "i" ? texts : std::vector<std::string>{}) << mode;
  }
}

INSTANTIATE_TEST_SUITE_P(E2E, ConcurrentRuns,
                         CasesHere(std::vector<ConcurrentCase>{
                             {"file", false, 40},
                             {"value", true, 30},
                             {"file_wine", false, 12, kWindowsOnly},
                             {"value_wine", true, 12, kWindowsOnly}}),
                         CaseName);

// Linux only: a run waits 30 s at most for another that holds the file or
// key, then gives its message and writes nothing. Both wait at the same time.
TEST(LockedByAnother, RunGivesUpAndWritesNothing) {
  if (target.windows()) GTEST_SKIP() << "the lock is taken here with flock";
  TempDir dir;
  TestRegistry registry(target, dir.path());
  const std::string key = "Software\\cfgline-e2e-linux\\locked";
  registry.Set(key, "Path", Sz("a"), true);
  WriteBytes(dir / "f.txt", "a\n");
  const unsigned long long identity = registry.Identity(key, "Path");
  std::vector<int> held;
  for (const std::string& path : {dir / "f.txt", dir / "registry/HKEY_CURRENT_USER/" +
                                                     Replace(key, "\\", "/")}) {
    held.push_back(open(path.c_str(), O_RDONLY));
    ASSERT_EQ(flock(held.back(), LOCK_EX), 0) << path;
  }
  Process file(ToolCommand({"i", "textline", "f.txt", "x"}), dir.path());
  Process value(ToolCommand({"i", "regline", "HKCU\\" + key, "Path", "b"}), dir.path(),
                registry.Env());
  ExpectCleanExit(file.Finish(), "Cannot open file.");
  ExpectCleanExit(value.Finish(), "Key access error.");
  for (int fd : held) close(fd);
  EXPECT_EQ(ReadBytes(dir / "f.txt"), "a\n");
  EXPECT_EQ(registry.Get(key, "Path"), ShownSz("a"s + '\0'));
  EXPECT_EQ(registry.Identity(key, "Path"), identity);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"f.txt", "registry"}));
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("--target=")) target.name = arg.substr(9);
    if (arg.starts_with("--tool=")) target.tool = fs::absolute(arg.substr(7)).string();
  }
  if (target.name.empty() || target.tool.empty() || access(target.tool.c_str(), X_OK) != 0) {
    fprintf(stderr, "usage: e2e_tests --target=linux|win32|win64 --tool=PATH (an executable)\n");
    return 2;
  }
  if (target.windows() && RunTool({}, ".").status == 77) return 77;  // see scripts/wine
  testing::InitGoogleTest(&argc, argv);  // instantiates the cases for the target
  return RUN_ALL_TESTS();
}
