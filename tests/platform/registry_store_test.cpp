#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/temp_dir.h"

namespace {

using platform::RootKey;
namespace fs = std::filesystem;
const RootKey kCU = RootKey::kCurrentUser;

// The value as "<type>:<bytes>", or "fail". A buffer one byte short must fail.
std::string Read(RootKey root, const std::string& subkey, const std::string& name) {
  platform::RegKey* key = nullptr;
  if (!platform::OpenRegKey(root, subkey, &key)) return "fail";
  uint32_t type = 99, size = 0;
  std::string data;
  bool ok = platform::QueryRegValue(key, name, &type, nullptr, &size);
  data.resize(size);
  auto* bytes = reinterpret_cast<unsigned char*>(data.data());
  uint32_t short_size = size - 1;
  ok = ok && (size == 0 || !platform::QueryRegValue(key, name, &type, bytes, &short_size)) &&
       platform::QueryRegValue(key, name, &type, bytes, &size);
  platform::CloseRegKey(key);
  return ok ? std::to_string(type) + ":" + data.substr(0, size) : "fail";
}

class RegistryStore : public testing::Test {
 protected:
  // Creates the file HKEY_CURRENT_USER/`path` in the store, with its folders.
  std::string Put(const std::string& path, const std::string& bytes = "") {
    fs::create_directories(fs::path(Cu(path)).parent_path());
    WriteBytes(Cu(path), bytes);
    return Cu(path);
  }
  std::string Cu(const std::string& path) { return dir_ / "HKEY_CURRENT_USER/" + path; }

  void SetUp() override { setenv("CFGLINE_REGISTRY", dir_.path().c_str(), 1); }

  TempDir dir_;
};

TEST_F(RegistryStore, FindsKeysAndValues) {
  Put(".REG_SZ", "root");
  Put("Environment/.REG_SZ", std::string("env\0", 4));
  Put("Software/Vendor/.REG_SZ", "vendor");
  Put("Environment/Path.REG_EXPAND_SZ", "p");
  Put("Environment/a%25b%2Fc.REG_SZ", "pct");
  Put("Environment/Dotted.Name.REG_DWORD", std::string("\1\0\0\0", 4));
  // A file named like a key, a folder named like a value, and names that are not values.
  for (const char* path :
       {"ENVIRONMENT", "Twin/.REG_SZ", "TWIN/.REG_SZ", "Environment/Two.REG_SZ",
        "Environment/two.REG_BINARY", "Environment/PATH.REG_EXPAND_SZ/x",
        "Environment/.cfgline-Ab12Cd", "Environment/Odd.txt", "Environment/Odd.reg_sz"}) {
    Put(path);
  }
  fs::resize_file(Put("Environment/Huge.REG_BINARY"), uint64_t{1} << 32);  // sparse
  // Special files are no values, and are never read: a FIFO would block, a device never end.
  ASSERT_EQ(mkfifo(Cu("Environment/Fifo.REG_SZ").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", Cu("Environment/Zero.REG_SZ"));
  const struct {
    const char* subkey;
    const char* name;
    std::string expected;
  } kCases[] = {
      {"Environment", "", std::string("1:env\0", 6)},
      {"SOFTWARE\\vendor", "", "1:vendor"},
      {"", "", "1:root"},
      {"twin", "", "fail"},
      {"Environment\\", "", "fail"},
      {"\\Environment", "", "fail"},
      {"Software\\\\Vendor", "", "fail"},
      {".", "", "fail"},
      {"Software\\..\\Environment", "", "fail"},
      {"Software/Vendor", "", "fail"},
      {"Environment", "path", "2:p"},
      {"Environment", "A%b/C", "1:pct"},
      {"Environment", "a%25b%2Fc", "fail"},
      {"Environment", "two", "fail"},
      {"Environment", "Odd", "fail"},
      {"Environment", ".cfgline-Ab12Cd", "fail"},
      {"Environment", "huge", "fail"},
      {"Environment", "fifo", "fail"},
      {"Environment", "zero", "fail"},
      {"Environment", "dotted.name", std::string("4:\1\0\0\0", 6)},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Read(kCU, c.subkey, c.name), c.expected) << c.subkey << " " << c.name;
  }
  EXPECT_EQ(Read(RootKey::kUsers, "", ""), "fail");  // no folder for the root key
}

TEST_F(RegistryStore, LocationComesFromTheEnvironment) {
  const std::string own = dir_ / "own", xdg = dir_ / "xdg", home = dir_ / "home";
  for (const std::string& store :
       {own, xdg + "/cfgline/registry", home + "/.local/share/cfgline/registry"}) {
    fs::create_directories(store + "/HKEY_CURRENT_USER");
    WriteBytes(store + "/HKEY_CURRENT_USER/.REG_SZ", store.substr(dir_.path().size() + 1, 3));
  }
  const struct {
    const char* store;
    const char* xdg;
    const char* expected;
  } kCases[] = {
      {own.c_str(), xdg.c_str(), "1:own"},
      {"", xdg.c_str(), "1:xdg"},
      {nullptr, "", "1:hom"},
      {nullptr, nullptr, "1:hom"},
  };
  setenv("HOME", home.c_str(), 1);
  for (const auto& c : kCases) {
    c.store ? setenv("CFGLINE_REGISTRY", c.store, 1) : unsetenv("CFGLINE_REGISTRY");
    c.xdg ? setenv("XDG_DATA_HOME", c.xdg, 1) : unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(Read(kCU, "", ""), c.expected);
  }
}

}  // namespace
