// Runs the built tool as a process, natively or under Wine, and sets up and
// reads registry values for it: in a folder store of its own on Linux, with
// a W-function client (tests/windows/regtool.cpp) on the real registry under
// Wine.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

struct ToolTarget {
  std::string name;  // "linux", "win32" or "win64"
  std::string tool;  // the program's path
  bool windows() const { return name != "linux"; }
};

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;
};

// A process started in the background, running `args` (a command line,
// program first) in folder `cwd`, with `env` entries ("NAME=value") added to
// the environment.
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::string& cwd,
          const std::vector<std::string>& env = {});
  Process(Process&& other) noexcept;
  ~Process();

  // Waits for the process to end and collects its output. One that runs
  // longer than kProcessTimeout is killed, and its status is -1.
  ProcessResult Finish();

 private:
  std::unique_ptr<TempDir> outputs_;  // the process's output files
  int pid_ = -1;
};

// Longer than any run can take, even under Wine (which scripts/wine bounds
// itself at 120 s), or waiting 30 s for a lock.
constexpr int kProcessTimeout = 150;

// Runs a process as Process does and waits for it to finish.
ProcessResult RunProcess(const std::vector<std::string>& args, const std::string& cwd,
                         const std::vector<std::string>& env = {});

// A registry value: its type's name and its data, string data as the
// program's text (UTF-8 and the terminating NUL).
struct ShownValue {
  std::string type;
  std::string text;
  bool operator==(const ShownValue&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const ShownValue& v) {
    return os << v.type << " \"" << v.text << "\" (" << v.text.size() << " bytes)";
  }
};

// A value to set up: its type and exact data bytes.
struct ValueBytes {
  std::string type;
  std::string bytes;
};

// The registry the tool sees in one test case. `key` is a path below
// HKEY_CURRENT_USER, such as "Software\\x".
class TestRegistry {
 public:
  TestRegistry(const ToolTarget& target, const std::string& scratch);

  // Creates the key afresh (or keeps it, when `fresh` is false) and sets the
  // value; with no value, only the key.
  void Set(const std::string& key, const std::string& name, const std::optional<ValueBytes>& value,
           bool fresh);
  // The value as it is now, or nullopt when it does not exist.
  std::optional<ShownValue> Get(const std::string& key, const std::string& name) const;
  // Identifies the stored data: on Linux the value file's inode, which a
  // rewrite changes; elsewhere always 0.
  unsigned long long Identity(const std::string& key, const std::string& name) const;
  void DeleteValue(const std::string& key, const std::string& name);

  // Environment entries that point the tool at this registry.
  std::vector<std::string> Env() const;

 private:
  std::string KeyFolder(const std::string& key) const;
  std::string ValueFile(const std::string& key, const std::string& name,
                        const std::string& type) const;
  ProcessResult RegTool(const std::vector<std::string>& args) const;

  const ToolTarget& target_;
  std::string scratch_;
  std::string store_;
};
