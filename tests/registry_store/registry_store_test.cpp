// What the Linux build's registry store does that the command line cannot
// show; the rest of it is in the end-to-end table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "support/temp_dir.h"

namespace {

using platform::RootKey;
namespace fs = std::filesystem;

// Makes the file `path` with its folders and returns the path.
std::string Put(const std::string& path, const std::string& bytes = "") {
  fs::create_directories(fs::path(path).parent_path());
  WriteBytes(path, bytes);
  return path;
}

// The value as "<type>:<bytes>", or "fail" when not even its size can be read. A value
// whose size can be read must read in full, and fail with a buffer one byte short.
std::string Read(const std::string& name) {
  platform::RegKey* key = nullptr;
  uint32_t type = 99, size = 0;
  const bool sized = platform::OpenRegKey(RootKey::kCurrentUser, "", &key).ok() &&
                     platform::QueryRegValue(key, name, &type, nullptr, &size).ok();
  std::string data(size, '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(data.data());
  uint32_t shortSize = size - 1;
  const bool read =
      sized && (size == 0 || !platform::QueryRegValue(key, name, &type, bytes, &shortSize).ok()) &&
      platform::QueryRegValue(key, name, &type, bytes, &size).ok();
  platform::CloseRegKey(key);
  if (!sized) return "fail";
  return read ? std::to_string(type) + ":" + data.substr(0, size) : "unreadable";
}

// A value too large to hold is no value (a FIFO or a device is none either:
// see the end-to-end table); the same file reads while it fits.
TEST(RegistryStore, ReadsOnlyWhatItCanHold) {
  TempDir dir;
  setenv("CFGLINE_REGISTRY", dir.path().c_str(), 1);
  const std::string value = Put(dir / "HKEY_CURRENT_USER/Huge.REG_BINARY", "x");
  EXPECT_EQ(Read("huge"), "3:x");
  fs::resize_file(value, uint64_t{1} << 32);  // sparse
  EXPECT_EQ(Read("huge"), "fail");
}

// The store is $CFGLINE_REGISTRY, else $XDG_DATA_HOME/cfgline/registry, else
// $HOME/.local/share/cfgline/registry; an empty variable counts as unset.
TEST(RegistryStore, LocationComesFromTheEnvironment) {
  TempDir dir;
  Put(dir / "own/HKEY_CURRENT_USER/.REG_SZ", "own");
  Put(dir / "xdg/cfgline/registry/HKEY_CURRENT_USER/.REG_SZ", "xdg");
  Put(dir / "home/.local/share/cfgline/registry/HKEY_CURRENT_USER/.REG_SZ", "home");
  setenv("HOME", (dir / "home").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir / "xdg").c_str(), 1);
  setenv("CFGLINE_REGISTRY", (dir / "own").c_str(), 1);
  EXPECT_EQ(Read(""), "1:own");
  setenv("CFGLINE_REGISTRY", "", 1);
  EXPECT_EQ(Read(""), "1:xdg");
  setenv("XDG_DATA_HOME", "", 1);
  EXPECT_EQ(Read(""), "1:home");
  unsetenv("CFGLINE_REGISTRY");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(Read(""), "1:home");
}

}  // namespace
