#include <gtest/gtest.h>
#include <sys/stat.h>

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
std::string Read(RootKey root, const std::string& subkey, const std::string& name) {
  platform::RegKey* key = nullptr;
  uint32_t type = 99, size = 0;
  const bool sized = platform::OpenRegKey(root, subkey, &key) &&
                     platform::QueryRegValue(key, name, &type, nullptr, &size);
  std::string data(size, '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(data.data());
  uint32_t shortSize = size - 1;
  const bool read = sized &&
                    (size == 0 || !platform::QueryRegValue(key, name, &type, bytes, &shortSize)) &&
                    platform::QueryRegValue(key, name, &type, bytes, &size);
  platform::CloseRegKey(key);
  if (!sized) return "fail";
  return read ? std::to_string(type) + ":" + data.substr(0, size) : "unreadable";
}

TEST(RegistryStore, FindsKeysAndValues) {
  TempDir dir;
  setenv("CFGLINE_REGISTRY", dir.path().c_str(), 1);
  const std::string cu = dir / "HKEY_CURRENT_USER/";
  // Each value holds its own file's path. Then a file named like a key, a folder named like a
  // value, and names that are not values.
  for (const char* path :
       {".REG_SZ", "Software/Vendor/.REG_SZ", "Environment/Path.REG_EXPAND_SZ",
        "Environment/a%25b%2Fc.REG_SZ", "Environment/Dotted.Name.REG_DWORD", "ENVIRONMENT",
        "Twin/.REG_SZ", "TWIN/.REG_SZ", "Environment/Two.REG_SZ", "Environment/two.REG_BINARY",
        "Environment/PATH.REG_EXPAND_SZ/x", "Environment/.cfgline-Ab12Cd", "Environment/Odd.txt",
        "Environment/Odd.reg_sz"}) {
    Put(cu + path, path);
  }
  Put(cu + "Environment/.REG_SZ", std::string("env\0", 4));
  fs::resize_file(Put(cu + "Environment/Huge.REG_BINARY"), uint64_t{1} << 32);  // sparse
  // Special files are no values, and are never read: a FIFO would block, a device never end.
  ASSERT_EQ(mkfifo((cu + "Environment/Fifo.REG_SZ").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", cu + "Environment/Zero.REG_SZ");
  // clang-format off
  const struct { const char *subkey, *name; std::string expected; } kCases[] = {
      {"Environment", "", std::string("1:env\0", 6)},
      {"SOFTWARE\\vendor", "", "1:Software/Vendor/.REG_SZ"},
      {"", "", "1:.REG_SZ"},
      {"twin", "", "fail"},
      {"Environment\\", "", "fail"},
      {"\\Environment", "", "fail"},
      {"Software\\\\Vendor", "", "fail"},
      {".", "", "fail"},
      {"Software\\..\\Environment", "", "fail"},
      {"Software/Vendor", "", "fail"},
      {"Environment", "path", "2:Environment/Path.REG_EXPAND_SZ"},
      {"Environment", "A%b/C", "1:Environment/a%25b%2Fc.REG_SZ"},
      {"Environment", "a%25b%2Fc", "fail"},
      {"Environment", "two", "fail"},
      {"Environment", "Odd", "fail"},
      {"Environment", ".cfgline-Ab12Cd", "fail"},
      {"Environment", "huge", "fail"},
      {"Environment", "fifo", "fail"},
      {"Environment", "zero", "fail"},
      {"Environment", "dotted.name", "4:Environment/Dotted.Name.REG_DWORD"},
  };
  // clang-format on
  for (const auto& c : kCases) {
    EXPECT_EQ(Read(RootKey::kCurrentUser, c.subkey, c.name), c.expected)
        << c.subkey << " " << c.name;
  }
  EXPECT_EQ(Read(RootKey::kUsers, "", ""), "fail");  // no folder for the root key
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
  EXPECT_EQ(Read(RootKey::kCurrentUser, "", ""), "1:own");
  setenv("CFGLINE_REGISTRY", "", 1);
  EXPECT_EQ(Read(RootKey::kCurrentUser, "", ""), "1:xdg");
  setenv("XDG_DATA_HOME", "", 1);
  EXPECT_EQ(Read(RootKey::kCurrentUser, "", ""), "1:home");
  unsetenv("CFGLINE_REGISTRY");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(Read(RootKey::kCurrentUser, "", ""), "1:home");
}

}  // namespace
