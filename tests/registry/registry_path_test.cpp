#include <gtest/gtest.h>

#include "registry/CclRegistryUtils.h"

namespace {

using platform::RootKey;

struct PathCase {
  std::string path;
  RootKey rootKey;
  std::string subkey;
};

class RegistryPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(RegistryPathTest, SplitsRootAndSubkey) {
  const PathCase& c = GetParam();
  CclRegistryUtils registry(c.path, ";");
  EXPECT_EQ(registry.rootKey(), c.rootKey);
  EXPECT_EQ(registry.subkey(), c.subkey);
  EXPECT_EQ(registry.separator(), ";");
}

const PathCase kPathCases[] = {
    {"HKCR\\.txt", RootKey::kClassesRoot, ".txt"},
    {"HKCU\\Environment", RootKey::kCurrentUser, "Environment"},
    {"HKLM\\Software\\X", RootKey::kLocalMachine, "Software\\X"},
    {"HKU\\S-1-5-18\\Software", RootKey::kUsers, "S-1-5-18\\Software"},
    {"HKCC\\System", RootKey::kCurrentConfig, "System"},
    {"hklm\\Software\\X", RootKey::kCurrentUser, "hklm\\Software\\X"},
    {"Software\\X", RootKey::kCurrentUser, "Software\\X"},
    {"HKEY_LOCAL_MACHINE\\Software", RootKey::kCurrentUser, "HKEY_LOCAL_MACHINE\\Software"},
    {"HKLM\\", RootKey::kLocalMachine, ""},
    {"HKLM", RootKey::kCurrentUser, "HKLM"},
    {"HKPD\\x", RootKey::kCurrentUser, "HKPD\\x"},
    {"x\\HKLM\\y", RootKey::kCurrentUser, "x\\HKLM\\y"},
    {"HKLM\\" + std::string(10000, 'k'), RootKey::kLocalMachine, std::string(10000, 'k')},
    {std::string(20000, 'k'), RootKey::kCurrentUser, std::string(20000, 'k')},
};

INSTANTIATE_TEST_SUITE_P(Table, RegistryPathTest, testing::ValuesIn(kPathCases));

TEST(RegistryPathTest, RefusesRatherThanCutsALongSubkey) {
  try {
    CclRegistryUtils registry("HKLM\\" + std::string(10001, 'k'), ";");
    FAIL() << "a subkey of 10001 characters was accepted";
  } catch (const char* message) {
    EXPECT_STREQ(message, "Key access error.");
  }
}

}  // namespace
