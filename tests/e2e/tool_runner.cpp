#include "e2e/tool_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace {

const std::vector<std::pair<std::string, int>> kTypeNumbers = {
    {"REG_NONE", 0}, {"REG_SZ", 1},    {"REG_EXPAND_SZ", 2}, {"REG_BINARY", 3},
    {"REG_DWORD", 4}, {"REG_MULTI_SZ", 7}, {"REG_QWORD", 11},
};

int TypeNumber(const std::string& type) {
  for (const auto& [name, number] : kTypeNumbers) {
    if (name == type) return number;
  }
  throw std::invalid_argument("unknown type " + type);
}

// Splits a registry path below HKEY_CURRENT_USER into its components.
std::vector<std::string> Components(const std::string& key) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = key.find('\\', start)) != std::string::npos; start = end + 1) {
    parts.push_back(key.substr(start, end - start));
  }
  parts.push_back(key.substr(start));
  return parts;
}

}  // namespace

Process::Process(const std::vector<std::string>& args, const std::string& cwd,
                 const std::vector<std::string>& env)
    : outputs_(std::make_unique<TempDir>()) {
  const std::string outFile = *outputs_ / "out", errFile = *outputs_ / "err";
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || dup2(in, 0) < 0 ||
        chdir(cwd.c_str()) != 0) {
      _exit(126);
    }
    for (const std::string& entry : env) putenv(const_cast<char*>(entry.c_str()));
    execvp(argv[0], argv.data());
    _exit(127);
  }
}

Process::Process(Process&& other) noexcept
    : outputs_(std::move(other.outputs_)), pid_(std::exchange(other.pid_, -1)) {}

Process::~Process() {
  if (pid_ > 0) Finish();
}

ProcessResult Process::Finish() {
  ProcessResult result;
  if (pid_ <= 0) return result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kProcessTimeout);
  int status = 0;
  pid_t done;
  while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (done == 0) {  // hung: a failure, never a wait without end
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    result.err = "killed after " + std::to_string(kProcessTimeout) + " s\n";
  } else if (done == pid_ && WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
  pid_ = -1;
  result.out = ReadBytes(*outputs_ / "out");
  result.err = ReadBytes(*outputs_ / "err") + result.err;
  return result;
}

ProcessResult RunProcess(const std::vector<std::string>& args, const std::string& cwd,
                         const std::vector<std::string>& env) {
  return Process(args, cwd, env).Finish();
}

TestRegistry::TestRegistry(const ToolTarget& target, const std::string& scratch)
    : target_(target), scratch_(scratch), store_(scratch + "/registry") {}

std::vector<std::string> TestRegistry::Env() const {
  return {"CFGLINE_REGISTRY=" + store_};
}

std::string TestRegistry::KeyFolder(const std::string& key) const {
  std::string folder = store_ + "/HKEY_CURRENT_USER";
  for (const std::string& part : Components(key)) folder += "/" + part;
  return folder;
}

// The value's file in the store; with an empty type, whichever type it has.
std::string TestRegistry::ValueFile(const std::string& key, const std::string& name,
                                    const std::string& type) const {
  const std::string folder = KeyFolder(key);
  if (!type.empty()) return folder + "/" + name + "." + type;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind('.') == name.size() && file.starts_with(name)) return entry.path().string();
  }
  return "";
}

ProcessResult TestRegistry::RegTool(const std::vector<std::string>& args) const {
  std::vector<std::string> command = {CFGLINE_WINE_SCRIPT, CFGLINE_REGTOOL};
  command.insert(command.end(), args.begin(), args.end());
  return RunProcess(command, scratch_);
}

void TestRegistry::Set(const std::string& key, const std::string& name,
                       const std::optional<ValueBytes>& value, bool fresh) {
  if (!target_.windows()) {
    if (fresh) fs::remove_all(KeyFolder(key));
    fs::create_directories(KeyFolder(key));
    if (value) WriteBytes(ValueFile(key, name, value->type), value->bytes);
    return;
  }
  std::vector<std::string> args = {fresh ? "set" : "add", key};
  if (value) {
    std::string hex;
    char digits[3];
    for (unsigned char byte : value->bytes) {
      std::snprintf(digits, sizeof digits, "%02x", byte);
      hex += digits;
    }
    WriteBytes(scratch_ + "/value.hex", hex);
    args.insert(args.end(), {name, std::to_string(TypeNumber(value->type)), "@value.hex"});
  }
  const ProcessResult result = RegTool(args);
  if (result.status != 0) throw std::runtime_error("regtool failed: " + result.out + result.err);
}

std::optional<ShownValue> TestRegistry::Get(const std::string& key,
                                            const std::string& name) const {
  if (!target_.windows()) {
    const std::string file = ValueFile(key, name, "");
    if (file.empty()) return std::nullopt;
    return ShownValue{file.substr(file.rfind('.') + 1), ReadBytes(file)};
  }
  // "<type number> <hex data>\r\n"
  const ProcessResult result = RegTool({"get", key, name});
  if (result.status != 0) return std::nullopt;
  const size_t space = result.out.find(' ');
  ShownValue shown{"", ""};
  for (const auto& [typeName, number] : kTypeNumbers) {
    if (std::to_string(number) == result.out.substr(0, space)) shown.type = typeName;
  }
  for (size_t i = space + 1; i + 1 < result.out.size() && result.out[i] != '\r'; i += 2) {
    shown.text += static_cast<char>(std::stoi(result.out.substr(i, 2), nullptr, 16));
  }
  return shown;
}

unsigned long long TestRegistry::Identity(const std::string& key, const std::string& name) const {
  struct stat st {};
  if (target_.windows() || stat(ValueFile(key, name, "").c_str(), &st) != 0) return 0;
  return st.st_ino;
}

void TestRegistry::DeleteValue(const std::string& key, const std::string& name) {
  if (!target_.windows()) {
    fs::remove(ValueFile(key, name, ""));
  } else {
    RegTool({"delete", key, name});
  }
}
