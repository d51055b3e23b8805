// How a path names its root key, where the command line cannot show it: a
// key at the root, a prefix inside a path, the subkey length limit.
#include <gtest/gtest.h>

#include <utility>

#include "registry/CclRegistryUtils.h"

namespace {

using platform::RootKey;

TEST(RegistryPathTest, SplitsRootAndSubkey) {
  // clang-format off
  const struct { std::string path; RootKey rootKey; std::string subkey; } cases[] = {
      {"HKLM\\", RootKey::kLocalMachine, ""},
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
