// The registry path's split into root key and subkey (CclRegistryUtils
// construction): a path that starts with one of the prefixes, byte for byte,
// selects its root and the whole rest of the path is the subkey, unless that
// rest is longer than 10000 bytes, which is refused; any other path is
// whole a subkey of HKEY_CURRENT_USER.

#include <cstring>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "registry/CclRegistryUtils.h"

namespace {

using platform::RootKey;

struct Prefix {
  const char* text;
  RootKey root;
};

const Prefix kPrefixes[] = {
    {"HKCR\\", RootKey::kClassesRoot},  {"HKCU\\", RootKey::kCurrentUser},
    {"HKLM\\", RootKey::kLocalMachine}, {"HKU\\", RootKey::kUsers},
    {"HKCC\\", RootKey::kCurrentConfig},
};
constexpr size_t kMaxSubkey = 10000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // Often one of the prefixes, and sometimes a run long enough to reach the
  // subkey's limit, which inputs of the usual sizes would not.
  std::string path;
  const size_t choice = input.ConsumeIntegralInRange<size_t>(0, 7);
  if (choice < 5) path = kPrefixes[choice].text;
  const size_t run = input.ConsumeBool() ? input.ConsumeIntegralInRange<size_t>(9990, 10010) : 0;
  path += input.ConsumeRandomLengthString(64);
  path += std::string(run, 'k');
  path += input.ConsumeRemainingBytesAsString();
  const std::string separator = ";";

  const Prefix* match = nullptr;
  for (const Prefix& prefix : kPrefixes) {
    if (path.compare(0, std::strlen(prefix.text), prefix.text) == 0) {
      FUZZ_CHECK(match == nullptr);  // no path starts with two prefixes
      match = &prefix;
    }
  }
  const std::string rest = match ? path.substr(std::strlen(match->text)) : path;
  try {
    CclRegistryUtils registry(path, separator);
    FUZZ_CHECK(!match || rest.size() <= kMaxSubkey);
    FUZZ_CHECK(registry.rootKey() == (match ? match->root : RootKey::kCurrentUser));
    FUZZ_CHECK(registry.subkey() == rest);
    FUZZ_CHECK(registry.separator() == separator);
  } catch (const char* message) {
    FUZZ_CHECK(std::strcmp(message, "Key access error.") == 0);
    FUZZ_CHECK(match && rest.size() > kMaxSubkey);
  }
  return 0;
}
