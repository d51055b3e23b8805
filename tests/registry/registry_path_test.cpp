// How a path names its root key: the command line shows only HKCU paths.
#include <gtest/gtest.h>

#include <utility>

#include "registry/CclRegistryUtils.h"

namespace {

using platform::RootKey;

TEST(RegistryPathTest, SplitsRootAndSubkey) {
  // clang-format off
  const struct { std::string path; RootKey rootKey; std::string subkey; } cases[] = {
      {"HKCR\\.txt", RootKey::kClassesRoot, ".txt"},
      {"HKLM\\Software\\X", RootKey::kLocalMachine, "Software\\X"},
      {"HKU\\S-1-5-18\\Software", RootKey::kUsers, "S-1-5-18\\Software"},
      {"HKCC\\System", RootKey::kCurrentConfig, "System"},
      {"HKEY_LOCAL_MACHINE\\Software", RootKey::kCurrentUser, "HKEY_LOCAL_MACHINE\\Software"},
      {"HKLM\\", RootKey::kLocalMachine, ""},
      {"HKLM", RootKey::kCurrentUser, "HKLM"},
      {"x\\HKLM\\y", RootKey::kCurrentUser, "x\\HKLM\\y"},
      {"HKLM\\" + std::string(10000, 'k'), RootKey::kLocalMachine, std::string(10000, 'k')},
      {std::string(20000, 'k'), RootKey::kCurrentUser, std::string(20000, 'k')},
  };
  // clang-format on
  for (const auto& c : cases) {
    CclRegistryUtils registry(c.path, ";");
    EXPECT_EQ(std::pair(registry.rootKey(), registry.subkey()), std::pair(c.rootKey, c.subkey));
  }
}

}  // namespace
