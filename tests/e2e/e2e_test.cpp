// The tool as a process, case by case: byte-exact standard output, file
// contents and registry values. The same tables run against the Linux build
// and, under Wine, against the Windows builds:
//   e2e_tests --target=linux|win32|win64 --tool=PATH [gtest flags]
// Cases labelled kLinuxOnly or kWindowsOnly run on that platform alone.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>

#include <gtest/gtest.h>

#include "e2e/tool_runner.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

ToolTarget target;

enum Where { kAll, kLinuxOnly, kWindowsOnly };

bool RunsHere(Where where) {
  return where == kAll || (where == kWindowsOnly) == target.windows();
}

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

// Runs the tool; on Linux as user nobody when `unprivileged`, which makes
// files without write permission unwritable also when the tests run as root.
ProcessResult RunTool(const std::vector<std::string>& args, const std::string& cwd,
                      bool unprivileged = false, const std::vector<std::string>& env = {}) {
  std::vector<std::string> command;
  if (target.windows()) {
    command = {CFGLINE_WINE_SCRIPT, target.tool};
  } else if (unprivileged) {
    command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", UnprivilegedTool()};
  } else {
    command = {target.tool};
  }
  command.insert(command.end(), args.begin(), args.end());
  return RunProcess(command, cwd, env);
}

void ExpectCleanExit(const ProcessResult& result, const std::string& out) {
  EXPECT_EQ(result.out, AsWritten(out));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

// ---------------------------------------------------------------------------
// Files: the command line, the folder's files before, and after.

using Files = std::map<std::string, std::string>;  // a name ending in '/' is a folder

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

Files ListFolder(const std::string& folder) {
  Files files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory()) files[name + "/"] = "";
    else files[name] = ReadBytes(entry.path().string());
  }
  return files;
}

class FileCommand : public testing::TestWithParam<FileCase> {};

TEST_P(FileCommand, Run) {
  const FileCase& c = GetParam();
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  for (const auto& [name, bytes] : c.before) {
    if (name.ends_with('/')) {
      fs::create_directory(dir / name);
      continue;
    }
    WriteBytes(dir / name, bytes);
    if (c.readOnly) chmod((dir / name).c_str(), 0444);
  }
  ExpectCleanExit(RunTool(c.args, dir.path(), c.readOnly), c.out);
  EXPECT_EQ(ListFolder(dir.path()), c.after);
}

const Files kAb = {{"f.txt", "a\nb\n"}};
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
      {"no_wildcard_expansion", {"i", "textline", "*.txt", "x"},
       {{"a.txt", "a\n"}, {"b.txt", "b\n"}}, "Cannot open file.",
       {{"a.txt", "a\n"}, {"b.txt", "b\n"}}},
      {"read_only_add", {"i", "textline", "f.txt", "x"}, kAb, "Cannot open file.", kAb, true},
      {"read_only_remove", {"u", "textline", "f.txt", "a"}, kAb, "Cannot open file.", kAb, true},
      {"read_only_add_present", {"i", "textline", "f.txt", "a"}, kAb, "", kAb, true},
      {"read_only_remove_absent", {"u", "textline", "f.txt", "x"}, kAb, "", kAb, true},
      {"delfile", {"u", "delfile", "f.txt"}, kAb, "", {}},
      {"delfile_install", {"i", "delfile", "f.txt", "extra"}, kAb, "", {}},
      {"delfile_missing", {"i", "delfile", "g.txt"}, kAb, "Some error occured.", kAb},
      {"delfile_folder", {"i", "delfile", "d"}, {{"d/", ""}}, "Some error occured.",
       {{"d/", ""}}},
  };
}

INSTANTIATE_TEST_SUITE_P(E2E, FileCommand, testing::ValuesIn([] {
  std::vector<FileCase> cases;
  for (FileCase& c : FileCases()) {
    if (RunsHere(c.where)) cases.push_back(std::move(c));
  }
  return cases;
}()), [](const auto& info) { return info.param.name; });

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("--target=")) target.name = arg.substr(9);
    if (arg.starts_with("--tool=")) target.tool = fs::absolute(arg.substr(7)).string();
  }
  if (target.name.empty() || target.tool.empty() || access(target.tool.c_str(), X_OK) != 0) {
    fprintf(stderr, "usage: e2e_tests --target=linux|win32|win64 --tool=PATH (an executable)\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
