// Each command with each call of the C library it makes failing in turn, and
// each allocation (see inject.cpp), until it runs without a fault. After
// every run the file or value is byte for byte as it was, with the
// command's message, or as the command makes it, without one; it keeps its
// mode; and no temporary file is left. Interrupted and short writes are
// ridden out. That a failed read, write, flush or rename fails the edit, the
// step table below shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "support/temp_dir.h"

namespace {

struct Command {
  std::vector<const char*> args;
  std::string file, before, after;
  const char* message;  // when nothing changed
};

using namespace std::string_literals;

const char kKey[] = "HKCU\\Software\\x";
const std::string kValue = "registry/HKEY_CURRENT_USER/Software/x/Path.REG_SZ";
// clang-format off
const Command kCommands[] = {
    {{"i", "textline", "f", "x"}, "f", "a\n", "a\nx\n", "Cannot open file."},
    {{"u", "textline", "f", "a"}, "f", "a\nb\n", "b\n", "Cannot open file."},
    {{"i", "delfile", "f"}, "f", "a\n", "<missing>", "Some error occured."},
    {{"i", "regline", kKey, "Path", "c"}, kValue, "a;b\0"s, "a;b;c\0"s, "Key access error."},
    {{"u", "regline", kKey, "Path", "a"}, kValue, "a;b\0"s, "b\0"s, "Key access error."},
};
// clang-format on

// Runs `program` (the tool) in `dir` with `args` and the fault `fault`, its
// output in `logs`/out and the fault it made in `logs`/fault; returns its
// exit status.
int Launch(const TempDir& dir, std::vector<const char*> args, const std::string& fault, bool nomap,
           const TempDir& logs, const char* program = CFGLINE_PROGRAM) {
  const std::string env[] = {"LD_PRELOAD=" CFGLINE_INJECT, "CFGLINE_REGISTRY=registry",
                             "CFGLINE_FAULT=" + fault, nomap ? "CFGLINE_FAULT_NOMAP=1" : "_="};
  const char* envp[] = {env[0].c_str(), env[1].c_str(), env[2].c_str(), env[3].c_str(), nullptr};
  args.insert(args.begin(), program);
  args.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(open((logs / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open((logs / "fault").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (chdir(dir.path().c_str()) == 0)
      execve(args[0], const_cast<char**>(args.data()), const_cast<char**>(envp));
    _exit(127);
  }
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs each command, or the first alone, with the fault `kind` at each call N
// in turn.
void RunEach(const std::string& kind, const std::string& error = "", bool firstOnly = false) {
  const bool transient = kind == "eintr" || kind == "short";
  for (const Command& command : kCommands) {
    if (firstOnly && &command != kCommands) break;
    // Files are mapped; the first command also runs with its file read.
    for (int nomap = 0; nomap <= (&command == kCommands && !firstOnly); ++nomap) {
      TempDir dir, logs;
      const std::filesystem::path file = dir / command.file;
      for (int n = 1;; ++n) {
        ASSERT_LT(n, 1000) << "the command never ran without a fault";
        SCOPED_TRACE(testing::Message() << command.args[0] << " " << command.args[1] << ", mapped "
                                        << !nomap << ", " << kind << " " << error << " at " << n);
        std::filesystem::create_directories(file.parent_path());
        WriteBytes(file, command.before);
        chmod(file.c_str(), 0640);
        ASSERT_EQ(
            Launch(dir, command.args, kind + " " + std::to_string(n) + " " + error, nomap, logs),
            0);
        const std::string out = ReadBytes(logs / "out"), fault = ReadBytes(logs / "fault");
        const bool changed = ReadBytes(file) != command.before;
        if (changed) {
          EXPECT_EQ(ReadBytes(file), command.after);
          EXPECT_EQ(out, "");
        } else {
          EXPECT_EQ(out, kind == "oom" ? "Some error occured." : command.message);
        }
        EXPECT_TRUE(changed || !(transient || fault.empty())) << fault;
        struct stat st;
        EXPECT_TRUE(stat(file.c_str(), &st) != 0 || (st.st_mode & 07777) == 0640);
        for (const auto& entry : std::filesystem::directory_iterator(file.parent_path()))
          EXPECT_EQ(entry.path(), file);
        if (fault.empty()) break;
        std::filesystem::remove(file);
      }
    }
  }
}

// ENOSPC (a full disk) stands for any error; the others lead the tool's own
// ways, through the file layer that every command uses.
TEST(Faults, EachCallFails) { RunEach("fail", std::to_string(ENOSPC)); }
TEST(Faults, EachCallFailsWithAnErrorOfNote) {
  for (const int error : {EACCES, ENOENT, EEXIST, ENOLCK})
    RunEach("fail", std::to_string(error), true);
}
TEST(Faults, InterruptedCallsAreRiddenOut) { RunEach("eintr"); }
TEST(Faults, ShortWritesAreRiddenOut) { RunEach("short"); }
TEST(Faults, EachAllocationFails) { RunEach("oom"); }

// The step that the file layer names when each call of the C library fails
// (ENOSPC), as steps.cpp reports it: for each call, every step that its
// failure led to, "ok" where the operation rode it out. A rewrite reads its
// file mapped and not; "delete" removes it.
TEST(Faults, FailuresNameTheirStep) {
  const char* const kSteps[] = {
      "ok",    "resolve", "link rule",       "lock",         "read",   "create temporary",
      "write", "flush",   "copy protection", "name changed", "rename", "delete"};
  std::map<std::string, std::set<std::string>> seen;
  const std::pair<const char*, bool> kRuns[] = {
      {"rewrite", false}, {"rewrite", true}, {"delete", false}};
  for (const auto& [mode, nomap] : kRuns) {
    TempDir dir, logs;
    for (int n = 1; n < 1000; ++n) {
      WriteBytes(dir / "f", "old\n");
      chmod((dir / "f").c_str(), 0640);
      const std::string fail = "fail " + std::to_string(n) + " " + std::to_string(ENOSPC);
      const int step = Launch(dir, {mode, "f"}, fail, nomap, logs, CFGLINE_STEPS);
      std::string fault = ReadBytes(logs / "fault");
      if (fault.empty()) break;
      fault = fault.substr(7, fault.size() - 8);  // "fault: " ... "\n"
      ASSERT_TRUE(step >= 0 && step < static_cast<int>(std::size(kSteps))) << fault;
      seen[fault].insert(kSteps[step]);
    }
  }
  auto steps = [&](const std::string& call) {
    std::string all;
    for (const std::string& step : seen[call]) all += (all.empty() ? "" : ", ") + step;
    return all;
  };
  // clang-format off
  const struct { const char* call; const char* steps; } kTable[] = {
      {"open", "resolve"},
      {"fcntl", "lock, ok"},  // ok: another try at a temporary file's lock
      {"read", "read"},
      {"openat O_CREAT", "create temporary"},
      {"write", "write"},
      {"fsync", "flush"},
      {"fsync after rename", "ok"},
      {"fchown", "copy protection"},
      {"fchmod", "copy protection"},
      {"fstatat", "name changed, ok"},  // ok: Load's own check, which tries again
      {"renameat", "rename"},
      {"unlinkat", "delete"},
  };
  // clang-format on
  for (const auto& row : kTable) EXPECT_EQ(steps(row.call), row.steps) << row.call;
}

}  // namespace
