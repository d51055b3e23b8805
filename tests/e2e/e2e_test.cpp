// The tool as a process, case by case: byte-exact standard output, file
// contents and registry values. The same tables run against the Linux build
// and, under Wine, against the Windows builds:
//   e2e_tests --target=linux|win32|win64 --tool=PATH [gtest flags]
// Cases labelled kLinuxOnly, kWindowsOnly or kWin32Only run on that target
// alone. On Linux the tool's registry is a store of the test's own; under
// Wine the real one, set up and read through the W functions by
// tests/windows/regtool.cpp.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <map>
#include <optional>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

struct {
  std::string name;  // "linux", "win32" or "win64"
  std::string tool;  // the program's path
  bool windows() const { return name != "linux"; }
} target;

enum Where { kAll, kLinuxOnly, kWindowsOnly, kWin32Only };

// The cases of a table that run on the target, named for gtest.
template <typename Case>
auto CasesHere(std::vector<Case> table) {
  std::erase_if(table, [](const Case& c) {
    return (c.where == kLinuxOnly && target.windows()) ||
           (c.where == kWindowsOnly && !target.windows()) ||
           (c.where == kWin32Only && target.name != "win32");
  });
  return testing::ValuesIn(table);
}

auto CaseName = [](const auto& info) { return info.param.name; };

struct Result {
  std::string out;
  std::string err;
  int status = -1;
};

// A process started in the background, running `args` (program first) in
// folder `cwd`, with `env` entries ("NAME=value") added to the environment.
// timeout(1) ends one that runs longer than any run can take, even under
// Wine or waiting 30 s for a lock.
class Process {
 public:
  Process(std::vector<std::string> args, const std::string& cwd,
          const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), {"timeout", "-s", "KILL", "150"});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if ((pid_ = fork()) != 0) return;
    for (const std::string& entry : env) putenv(const_cast<char*>(entry.c_str()));
    if (freopen((outputs_ / "out").c_str(), "w", stdout) &&
        freopen((outputs_ / "err").c_str(), "w", stderr) && freopen("/dev/null", "r", stdin) &&
        chdir(cwd.c_str()) == 0) {
      execvp(argv[0], argv.data());
    }
    _exit(127);
  }
  ~Process() { Finish(); }

  // Waits for the process to end and collects its output.
  Result Finish() {
    int status = 0;
    if (pid_ <= 0 || waitpid(std::exchange(pid_, -1), &status, 0) < 0) return {};
    return {ReadBytes(outputs_ / "out"), ReadBytes(outputs_ / "err"),
            WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  }

 private:
  TempDir outputs_;
  pid_t pid_ = -1;
};

Result RunProcess(const std::vector<std::string>& args, const std::string& cwd,
                  const std::vector<std::string>& env = {}) {
  return Process(args, cwd, env).Finish();
}

// The command line that runs the tool; on Linux as user nobody when
// `unprivileged`, which makes files without write permission unwritable also
// when the tests run as root. Nobody runs a copy that it can reach, wherever
// the build folder lies.
std::vector<std::string> ToolCommand(std::vector<std::string> args, bool unprivileged = false) {
  static TempDir copy;
  std::vector<std::string> command = {target.tool};
  if (target.windows()) {
    command = {CFGLINE_WINE_SCRIPT, target.tool};
  } else if (unprivileged) {
    if (!fs::exists(copy / "cfgline")) {
      fs::permissions(copy.path(), fs::perms(0755));
      fs::copy_file(target.tool, copy / "cfgline");
    }
    command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", copy / "cfgline"};
  }
  args.insert(args.begin(), command.begin(), command.end());
  return args;
}

// Standard output as the platform writes it: LF becomes CR LF on Windows.
void ExpectCleanExit(const Result& result, std::string out) {
  for (size_t lf = out.find('\n'); target.windows() && lf != std::string::npos;
       lf = out.find('\n', lf + 2)) {
    out.insert(lf, "\r");
  }
  EXPECT_EQ(result.out, out);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

// ---------------------------------------------------------------------------
// Files: the command line, the folder's files before, and after. Files whose
// bytes stay the same must not have been written at all.

// A name ending in '/' is a folder, in '|' a FIFO, in '=' a socket (as ls -F
// shows them); their bytes are "".
using Files = std::map<std::string, std::string>;

struct FileCase {
  std::string name;
  std::vector<std::string> args;
  Files before;
  std::string out;
  Files after;
  Where where = kAll;
  unsigned mode = 0;  // the files' permissions when not 0; on Linux then run unprivileged
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

// Every file below `folder`, and every empty folder, with its inode.
std::map<std::string, std::pair<std::string, ino_t>> ListFolder(const std::string& folder) {
  std::map<std::string, std::pair<std::string, ino_t>> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(entry.path(), folder).string();
    struct stat st {};
    lstat(entry.path().c_str(), &st);
    if (entry.is_fifo())
      files[name + "|"] = {"", st.st_ino};
    else if (entry.is_socket())
      files[name + "="] = {"", st.st_ino};
    else if (!entry.is_directory())
      files[name] = {ReadBytes(entry.path().string()), st.st_ino};
    else if (fs::is_empty(entry.path()))
      files[name + "/"] = {"", st.st_ino};
  }
  return files;
}

class FileCommand : public testing::TestWithParam<FileCase> {};

TEST_P(FileCommand, Run) {
  const FileCase& c = GetParam();
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);  // sticky: only owners replace files
  for (const auto& [name, bytes] : c.before) {
    const std::string path = dir / name, bare = path.substr(0, path.size() - 1);
    fs::create_directories(fs::path(path).parent_path());
    sockaddr_un address{AF_UNIX, {}};
    bare.copy(address.sun_path, sizeof address.sun_path - 1);
    if (name.ends_with('|')) {
      ASSERT_EQ(mkfifo(bare.c_str(), 0644), 0);
    } else if (name.ends_with('=')) {
      ASSERT_EQ(bind(socket(AF_UNIX, SOCK_STREAM, 0), reinterpret_cast<sockaddr*>(&address),
                     sizeof address),
                0);
    } else if (!name.ends_with('/')) {
      WriteBytes(path, bytes);
      if (c.mode != 0) chmod(path.c_str(), c.mode);
    }
  }
  const auto before = ListFolder(dir.path());
  ExpectCleanExit(RunProcess(ToolCommand(c.args, c.mode != 0), dir.path()), c.out);
  Files after;
  for (const auto& [name, file] : ListFolder(dir.path())) {
    after[name] = file.first;
    if (before.contains(name) && before.at(name).first == file.first) {
      EXPECT_EQ(file.second, before.at(name).second) << name << " written";
    }
  }
  EXPECT_EQ(after, c.after);
}

std::vector<std::string> Add(const std::string& text) { return {"i", "textline", "f.txt", text}; }
std::vector<std::string> Remove(const std::string& text) {
  return {"u", "textline", "f.txt", text};
}
Files F(const std::string& bytes) { return {{"f.txt", bytes}}; }
const Files kAb = F("a\nb\n");

// UTF-16 file contents: the byte-order mark, then `text` in that byte order.
std::string Utf16(std::u16string_view text, bool bigEndian = false) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t unit : text) {
    bytes += static_cast<char>(bigEndian ? unit >> 8 : unit & 0xFF);
    bytes += static_cast<char>(bigEndian ? unit & 0xFF : unit >> 8);
  }
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
std::vector<FileCase> FileCases() {
  return {
      {"no_arguments", {}, kAb, kUsage, kAb},
      {"mode_only", {"i"}, kAb, kUsage, kAb},
      {"unknown_command", {"i", "textlines", "f.txt", "x"}, kAb, kUsage, kAb},
      {"command_is_case_sensitive", {"i", "TEXTLINE", "f.txt", "x"}, kAb, kUsage, kAb},
      {"textline_without_text", {"u", "textline", "f.txt"}, kAb, kUsage, kAb},
      {"regline_without_item", {"i", "regline", "HKLM\\Software\\X", "Path"}, kAb, kUsage, kAb},
      {"add", Add("x"), kAb, "", F("a\r\nb\r\nx\r\n")},
      {"add_extra_argument_ignored", {"i", "textline", "f.txt", "x", "y"}, F("a\nb"), "", F("a\r\nb\r\nx\r\n")},
      {"add_blanks_and_quotes", Add("say \"hi\" = 1\t"), kAb, "", F("a\r\nb\r\nsay \"hi\" = 1\t\r\n")},
      {"add_to_crlf_lines", Add("x"), F("a\r\nb\r\n"), "", F("a\r\nb\r\nx\r\n")},
      {"add_to_empty_file", Add("x"), F(""), "", F("x\r\n")},
      {"add_drops_empty_lines", Add("x"), F("\n\na\n\r\n\nb\r\n"), "", F("a\r\nb\r\nx\r\n")},
      {"add_present", Add("b"), F("a\n\nab\n"), "", F("a\n\nab\n")},
      {"add_keeps_other_bytes", Add("x"), F("a\rb\tc\n\x1a\n\0\r\r\n\x1a"s), "", F("a\rb\tc\r\n\x1a\r\n\0\r\r\n\x1a\r\nx\r\n"s)},
      {"add_cr_text", Add("x\r"), F("x\r\n"), "", F("x\r\nx\r\r\n"), kLinuxOnly},
      {"add_cr_text_present", Add("x\r"), F("x\r\r\n"), "", F("x\r\r\n"), kLinuxOnly},
      {"add_empty_text", Add(""), kAb, "", kAb},
      {"add_empty_text_to_empty_file", Add(""), F(""), "", F("\r\n")},
      {"add_empty_text_to_line_ends", Add(""), F("\r\n\n"), "", F("\r\n")},
      {"add_text_with_line_end", Add("a\nx"), kAb, kCannotOpen, kAb},
      {"remove_text_with_line_end", Remove("a\nb"), kAb, "", kAb},
      {"remove", Remove("a"), F("a\r\nx\r\nb\r\nc\n\r\nd\r\nea"), "", F("x\r\nb\r\nc\r\nd\r\n")},
      {"remove_every_match", Remove("x"), F("xa\r\nb\nx\0x\n"s), "", F("b\r\n")},
      {"remove_last_line", Remove("x"), F("x\n"), "", F("\r\n")},
      {"remove_is_case_sensitive", Remove("A"), kAb, "", kAb},
      {"remove_cr_text", Remove("a\r"), F("a\r\nb\n"), "", F("a\r\nb\n"), kLinuxOnly},
      {"remove_cr_text_before_cr", Remove("a\r"), F("a\r\r\nb\n"), "", F("b\r\n"), kLinuxOnly},
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
      {"con_device", {"u", "textline", "CON", "x"}, kAb, kCannotOpen, kAb, kWindowsOnly},
      {"socket", Add("x"), {{"f.txt=", ""}}, kCannotOpen, {{"f.txt=", ""}}, kLinuxOnly},
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
      {"read_only_remove", Remove("a"), kAb, kCannotOpen, kAb, kAll, 0444},
      {"read_only_add_present", Add("a"), kAb, "", kAb, kAll, 0444},
      {"read_only_remove_absent", Remove("x"), kAb, "", kAb, kAll, 0444},
      // Only its owner may replace a file in a sticky folder: the rename fails after the write.
      {"writable_file_of_another_in_sticky_folder", Add("x"), kAb, kCannotOpen, kAb, kLinuxOnly, 0666},
      {"utf16_add", Add("new=1"), F(kIni), "", F(Utf16(u"[s]\r\nk=v\r\nnew=1\r\n"))},
      {"utf16_present", Add("k=v"), F(kIni), "", F(kIni)},
      {"utf16_remove", Remove("k"), F(Utf16(u"[s]\n\nk=v\nx")), "", F(Utf16(u"[s]\r\nx\r\n"))},
      {"utf16_remove_every_line", Remove("="), F(Utf16(u"a=1\na=2")), "", F(Utf16(u"\r\n"))},
      // 00 0A inside a unit, or across two, ends no line.
      {"utf16be_add", Add("Łąka=工具"), F(Utf16(u"\u0500\u0a05\n", true)), "", F(Utf16(u"\u0500\u0a05\r\nŁąka=工具\r\n", true))},
      {"utf16_lf_bytes_in_units", Remove("b"), F(Utf16(u"\u0a05\u0500\nb\n")), "", F(Utf16(u"\u0a05\u0500\r\n"))},
      {"utf16_bom_only", Add("x"), F(Utf16(u"")), "", F(Utf16(u"x\r\n"))},
      {"utf16_odd_length", Add("x"), F(kIni + "a"), kCannotOpen, F(kIni + "a")},
      {"utf32_refused", Add("x"), F("\xFF\xFE\0\0a\0\0\0"s), kCannotOpen, F("\xFF\xFE\0\0a\0\0\0"s)},
      {"utf8_bom_kept", Remove("x"), F(kBom8 + "x\nb\n"), "", F(kBom8 + "b\r\n")},
      {"utf8_bom_only", Add("Łąka"), F(kBom8), "", F(kBom8 + "Łąka\r\n")},
      {"utf16_invalid_utf8_text", Add("\xFF"), F(kIni), kCannotOpen, F(kIni), kLinuxOnly},
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

INSTANTIATE_TEST_SUITE_P(E2E, FileCommand, CasesHere(FileCases()), CaseName);

// 32-bit Windows only: a file larger than the address space cannot be held,
// which gets the catch-all message and leaves the file alone. The file is
// sparse, so it takes no room on the disk.
TEST(FileTooLarge, IsLeftAlone) {
  if (target.name != "win32") GTEST_SKIP() << "only a 32-bit program runs out of address space";
  TempDir dir;
  for (const auto& args : {Add("x"), Remove("a")}) {
    WriteBytes(dir / "f.txt", "a\nb\n");
    fs::resize_file(dir / "f.txt", uintmax_t{5} << 30);
    ExpectCleanExit(RunProcess(ToolCommand(args), dir.path()), "Some error occured.");
    EXPECT_EQ(fs::file_size(dir / "f.txt"), uintmax_t{5} << 30);
    std::string start(4, '\0');
    std::ifstream(dir / "f.txt", std::ios::binary).read(start.data(), 4);
    EXPECT_EQ(start, "a\nb\n");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"f.txt"});
  }
}

// Windows only: a rewritten file keeps its attributes.
TEST(FileAttributes, SurviveARewrite) {
  if (!target.windows()) GTEST_SKIP() << "Windows file attributes";
  TempDir dir;
  WriteBytes(dir / "f.txt", "a\n");
  // Whether attrib shows both flags, before the path.
  auto attrib = [&](std::vector<std::string> command) {
    command.insert(command.begin(), {CFGLINE_WINE_SCRIPT, "cmd", "/c", "attrib"});
    command.push_back("f.txt");
    const std::string shown = RunProcess(command, dir.path()).out;
    return shown.find('H') < shown.find(':') && shown.find('S') < shown.find(':');
  };
  attrib({"+H"});
  attrib({"+S"});
  ASSERT_TRUE(attrib({})) << "set-up";
  ExpectCleanExit(RunProcess(ToolCommand(Add("x")), dir.path()), "");
  EXPECT_EQ(ReadBytes(dir / "f.txt"), "a\r\nx\r\n");
  EXPECT_TRUE(attrib({}));
}

// ---------------------------------------------------------------------------
// Registry: a value under the case's own key below HKEY_CURRENT_USER, before
// and after. Keys are paths below HKEY_CURRENT_USER, such as "Software\\x".

// A value's type name and data, string data as the program's text (UTF-8
// and the terminating NUL).
struct Value {
  std::string type;
  std::string bytes;
  bool operator==(const Value&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const Value& v) {
    return os << v.type << " \"" << v.bytes << '"';
  }
};

Value Sz(const std::string& text) { return {"REG_SZ", text + '\0'}; }
Value ExpandSz(const std::string& text) { return {"REG_EXPAND_SZ", text + '\0'}; }

// The store of the tool's registry on Linux, in folder `scratch`.
std::vector<std::string> StoreEnv(const std::string& scratch) {
  return {"CFGLINE_REGISTRY=" + scratch + "/registry"};
}

std::string KeyFolder(const std::string& scratch, std::string key) {
  std::replace(key.begin(), key.end(), '\\', '/');
  return scratch + "/registry/HKEY_CURRENT_USER/" + key;
}

// The value's file in the store, whatever its type; "" when there is none.
std::string ValueFile(const std::string& scratch, const std::string& key, const std::string& name) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(KeyFolder(scratch, key), ec)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind('.') == name.size() && file.starts_with(name)) return entry.path().string();
  }
  return "";
}

// Identifies the stored data: on Linux the value file's inode, which a
// rewrite changes; elsewhere 0.
ino_t Identity(const std::string& scratch, const std::string& key, const std::string& name) {
  struct stat st {};
  stat(ValueFile(scratch, key, name).c_str(), &st);
  return st.st_ino;
}

Result RegTool(const std::string& scratch, const std::string& script) {
  WriteBytes(scratch + "/regtool.txt", script);
  return RunProcess({CFGLINE_WINE_SCRIPT, CFGLINE_REGTOOL, "regtool.txt"}, scratch);
}

struct Setting {
  std::string key;
  std::string name;
  std::optional<Value> value;  // nullopt: the key only
  bool fresh = true;           // the key made afresh, or kept as it is
};

// Makes the settings, under Wine all in one run of regtool.
void SetValues(const std::string& scratch, const std::vector<Setting>& settings) {
  std::string script;
  for (const Setting& s : settings) {
    if (target.windows()) {
      if (s.fresh) script += "new\t" + s.key + "\n";
      if (!s.value) continue;
      script += "put\t" + s.key + "\t" + s.name + "\t" + s.value->type + "\t";
      for (unsigned char byte : s.value->bytes)
        script += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
      script += "\n";
      continue;
    }
    if (s.fresh) fs::remove_all(KeyFolder(scratch, s.key));
    fs::create_directories(KeyFolder(scratch, s.key));
    if (s.value)
      WriteBytes(KeyFolder(scratch, s.key) + "/" + s.name + "." + s.value->type, s.value->bytes);
  }
  ASSERT_EQ(target.windows() ? RegTool(scratch, script).status : 0, 0) << "regtool";
}

// The value as it is now, or nullopt when it does not exist.
std::optional<Value> GetValue(const std::string& scratch, const std::string& key,
                              const std::string& name) {
  if (!target.windows()) {
    const std::string file = ValueFile(scratch, key, name);
    if (file.empty()) return std::nullopt;
    return Value{file.substr(file.rfind('.') + 1), ReadBytes(file)};
  }
  const std::string out = RegTool(scratch, "get\t" + key + "\t" + name + "\n").out;  // "TYPE HEX"
  const size_t space = out.find(' ');
  if (space == std::string::npos) return std::nullopt;
  Value value{out.substr(0, space), ""};
  for (size_t i = space + 1;
       i + 1 < out.size() && std::isxdigit(static_cast<unsigned char>(out[i])); i += 2) {
    value.bytes += static_cast<char>(std::stoi(out.substr(i, 2), nullptr, 16));
  }
  return value;
}

struct RegCase {
  std::string name;
  std::string mode;
  std::string item;
  std::optional<Value> before;  // nullopt: the key has no such value
  std::string out;
  std::optional<Value> after;  // nullopt: not written
  Where where = kAll;
  std::string path = "HKCU\\{key}";  // as given on the command line
  std::string valueName = "Path";    // as given on the command line
  std::string storedName = "Path";   // as stored
  std::string key = "{key}";         // below HKEY_CURRENT_USER; {key} is the case's own
  bool unprivileged = false;         // on Linux run as user nobody: keys are read-only
};

void PrintTo(const RegCase& c, std::ostream* os) { *os << c.name; }

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

const std::string kLongPath = [] {
  std::string path = "%SystemRoot%\\system32";
  for (int i = 0; path.size() < 33000; ++i)
    path += ";C:\\Program Files\\Vendor" + std::to_string(i) + "\\bin";
  return path;
}();
const std::string kUnicodePath = "C:\\Łąka\\bin;C:\\工具\\bin;C:\\a";
const std::string kSys32 = "C:\\Windows\\system32";
const std::string kKeyError = "Key access error.";

// One case a line.
// clang-format off
std::vector<RegCase> RegCases() {
  return {
      {"install", "i", "b", Sz("a"), "", Sz("a;b")},
      {"install_after_separator", "i", "b", Sz("a;"), "", Sz("a;b")},
      {"install_into_empty", "i", "b", Sz(""), "", Sz("b")},
      {"install_present", "i", "b", Sz("a;b;c"), "", std::nullopt},
      {"install_inside_other_item", "i", "b", Sz("a;bc;ab"), "", Sz("a;bc;ab;b")},
      {"install_is_case_sensitive", "i", "B", Sz("a;b"), "", Sz("a;b;B")},
      {"install_with_blanks", "i", "C:\\Program Files\\Tool", Sz("a"), "", Sz("a;C:\\Program Files\\Tool")},
      {"uninstall", "u", "b", Sz("a;b;c"), "", Sz("a;c")},
      {"uninstall_first", "u", "b", Sz("b;c"), "", Sz("c")},
      {"uninstall_last", "u", "b", Sz("a;b"), "", Sz("a")},
      {"uninstall_only", "u", "b", Sz("b;"), "", Sz("")},
      {"uninstall_first_occurrence", "u", "b", Sz("a;b;b"), "", Sz("a;b")},
      {"uninstall_tidies_trailing_separator", "u", "b", Sz("a;b;c;"), "", Sz("a;c")},
      {"uninstall_absent", "u", "b", Sz("c"), "", std::nullopt},
      {"uninstall_never_cuts_an_item", "u", "b", Sz("ab;bc;b"), "", Sz("ab;bc")},
      {"uninstall_system32_keeps_wbem", "u", kSys32, ExpandSz(kSys32 + "\\wbem;" + kSys32), "", ExpandSz(kSys32 + "\\wbem")},
      {"expand_sz_stays_expand_sz", "i", "C:\\Tool", ExpandSz("%SystemRoot%"), "", ExpandSz("%SystemRoot%;C:\\Tool")},
      {"expand_sz_uninstall", "u", "C:\\Tool", ExpandSz("%SystemRoot%;C:\\Tool;%PATH%"), "", ExpandSz("%SystemRoot%;%PATH%")},
      {"empty_item_install", "i", "", Sz("a"), "", std::nullopt},
      {"empty_item_uninstall", "u", "", Sz(";a;"), "", std::nullopt},
      {"capital_i_uninstalls", "I", "b", Sz("a;b"), "", Sz("a")},
      {"data_without_nul", "i", "b", Value{"REG_SZ", "a;b;c"}, "", std::nullopt},
      {"long_value", "i", "C:\\New", ExpandSz(kLongPath), "", ExpandSz(kLongPath + ";C:\\New")},
      {"path_outside_code_page_install", "i", "C:\\b", ExpandSz(kUnicodePath), "", ExpandSz(kUnicodePath + ";C:\\b")},
      {"path_outside_code_page_uninstall", "u", "C:\\a", ExpandSz(kUnicodePath), "", ExpandSz("C:\\Łąka\\bin;C:\\工具\\bin")},
      {"look_alike_item_stays", "u", "C:\\Laka\\bin", ExpandSz(kUnicodePath), "", std::nullopt},
      {"names_outside_code_page", "i", "b", Sz("a"), "", Sz("a;b"), kAll, "HKCU\\{key}\\Łąka工具", "Pfad工具", "Pfad工具", "{key}\\Łąka工具"},
      {"dword_refused", "u", "b", Value{"REG_DWORD", "\x05\0\0\0"s}, kKeyError, std::nullopt},
      {"multi_sz_refused", "i", "c", Value{"REG_MULTI_SZ", "a\0b\0\0"s}, kKeyError, std::nullopt},
      {"binary_refused", "i", "c", Value{"REG_BINARY", "a;b"}, kKeyError, std::nullopt},
      {"missing_value", "i", "b", std::nullopt, kKeyError, std::nullopt},
      {"missing_value_empty_item", "u", "", std::nullopt, kKeyError, std::nullopt},
      {"missing_key", "i", "b", Sz("a"), kKeyError, std::nullopt, kAll, "HKCU\\{key}\\missing"},
      {"prefix_is_case_sensitive", "i", "b", Sz("a"), kKeyError, std::nullopt, kAll, "hkcu\\{key}"},
      {"long_subkey_refused", "i", "b", Sz("a"), kKeyError, std::nullopt, kAll, "HKCU\\{key}\\" + std::string(10000, 'k')},
      {"names_ignore_case", "i", "b", Sz("a"), "", Sz("a;b"), kAll, "HKCU\\SOFTWARE\\CFGLINE-E2E-{target}\\NAMES_IGNORE_CASE", "PATH"},
      {"default_value", "i", "b", Sz("a"), "", Sz("a;b"), kAll, "HKCU\\{key}", "", ""},
      {"environment_key", "i", "b", Sz("a"), "", Sz("a;b"), kAll, "HKCU\\Environment", "cfgline-e2e-{target}", "cfgline-e2e-{target}", "Environment"},
      {"read_only_key", "u", "b", Sz("a;b"), kKeyError, std::nullopt, kLinuxOnly, "HKCU\\{key}", "Path", "Path", "{key}", true},
      {"read_only_key_nothing_to_do", "i", "b", Sz("a;b"), kKeyError, std::nullopt, kLinuxOnly, "HKCU\\{key}", "Path", "Path", "{key}", true},
  };
}
// clang-format on

// `text` with the case's own key for {key} and the target's name for {target}.
std::string Expand(const RegCase& c, const std::string& text) {
  return Replace(Replace(text, "{key}", "Software\\cfgline-e2e-{target}\\" + c.name), "{target}",
                 target.name);
}

// All cases' values are set up at once, for speed under Wine.
class RegCommand : public testing::TestWithParam<RegCase> {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    ASSERT_EQ(chmod(dir_->path().c_str(), 0755), 0);
    std::vector<Setting> settings;
    for (const RegCase& c : RegCases())
      settings.push_back(
          {Expand(c, c.key), Expand(c, c.storedName), c.before, c.key.starts_with("{key}")});
    SetValues(dir_->path(), settings);
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static inline std::unique_ptr<TempDir> dir_;
};

TEST_P(RegCommand, Run) {
  const RegCase& c = GetParam();
  const std::string& scratch = dir_->path();
  const std::string key = Expand(c, c.key), storedName = Expand(c, c.storedName);
  const ino_t identity = Identity(scratch, key, storedName);
  const std::string path = Expand(c, c.path), valueName = Expand(c, c.valueName);
  ExpectCleanExit(
      RunProcess(ToolCommand({c.mode, "regline", path, valueName, c.item}, c.unprivileged), scratch,
                 StoreEnv(scratch)),
      c.out);
  EXPECT_EQ(GetValue(scratch, key, storedName), c.after ? c.after : c.before);
  if (!c.after) {
    EXPECT_EQ(Identity(scratch, key, storedName), identity) << "written";
  }
}

INSTANTIATE_TEST_SUITE_P(E2E, RegCommand, CasesHere(RegCases()), CaseName);

// ---------------------------------------------------------------------------
// Runs at the same time on one file or one value take turns: all start at
// once, each adding its own line or item, then all remove theirs again.
TEST(ConcurrentRuns, LoseNothing) {
  const std::string key = "Software\\cfgline-e2e-" + target.name + "\\concurrent";
  for (const bool registry : {false, true}) {
    TempDir dir;
    SetValues(dir.path(), {{key, "Path", Sz("a")}});
    WriteBytes(dir / "f.txt", "a\r\n");
    std::vector<std::string> texts;
    std::string whole = "a";
    for (int i = 0; i < (target.windows() ? 12 : 30); ++i) {
      texts.push_back("C:\\Tool" + std::to_string(100 + i));
      whole += (registry ? ";" : "\r\n") + texts.back();
    }
    for (const std::string mode : {"i", "u"}) {
      std::deque<Process> runs;
      for (const std::string& text : texts) {
        runs.emplace_back(
            ToolCommand(
                registry ? std::vector<std::string>{mode, "regline", "HKCU\\" + key, "Path", text}
                         : std::vector<std::string>{mode, "textline", "f.txt", text}),
            dir.path(), StoreEnv(dir.path()));
      }
      for (Process& run : runs) ExpectCleanExit(run.Finish(), "");
      // Every run's line or item is there, in any order: the same bytes.
      std::string now = registry ? GetValue(dir.path(), key, "Path").value_or(Value{}).bytes
                                 : ReadBytes(dir / "f.txt");
      std::string want = (mode == "i" ? whole : "a") + (registry ? "\0"s : "\r\n");
      std::sort(now.begin(), now.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(now, want) << mode << (registry ? " value" : " file");
    }
  }
}

// Linux only: a run waits 30 s at most for another that holds the file or
// key, then gives its message and writes nothing. Both wait at the same time.
TEST(LockedByAnother, RunGivesUpAndWritesNothing) {
  if (target.windows()) GTEST_SKIP() << "the lock is taken here with flock";
  TempDir dir;
  SetValues(dir.path(), {{"Software\\locked", "Path", Sz("a")}});
  WriteBytes(dir / "f.txt", "a\n");
  const ino_t identity = Identity(dir.path(), "Software\\locked", "Path");
  std::vector<int> held;
  for (const std::string& path : {dir / "f.txt", KeyFolder(dir.path(), "Software\\locked")}) {
    held.push_back(open(path.c_str(), O_RDONLY));
    ASSERT_EQ(flock(held.back(), LOCK_EX), 0) << path;
  }
  Process file(ToolCommand(Add("x")), dir.path());
  Process value(ToolCommand({"i", "regline", "HKCU\\Software\\locked", "Path", "b"}), dir.path(),
                StoreEnv(dir.path()));
  ExpectCleanExit(file.Finish(), kCannotOpen);
  ExpectCleanExit(value.Finish(), kKeyError);
  for (int fd : held) close(fd);
  EXPECT_EQ(ReadBytes(dir / "f.txt"), "a\n");
  EXPECT_EQ(GetValue(dir.path(), "Software\\locked", "Path"), Sz("a"));
  EXPECT_EQ(Identity(dir.path(), "Software\\locked", "Path"), identity);
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
  if (target.windows() && RunProcess(ToolCommand({}), ".").status == 77)
    return 77;                           // see scripts/wine
  testing::InitGoogleTest(&argc, argv);  // instantiates the cases for the target
  return RUN_ALL_TESTS();
}
