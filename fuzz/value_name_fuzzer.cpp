// The Linux store's value names: EncodeValueName gives a file name stem that
// holds no '/' and decodes back to the name ('%' is "%25" and '/' is "%2F",
// nothing else is escaped); and since the store finds names without regard
// to ASCII case, two stems match exactly when their names do.

#include <optional>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "platform/ascii_case.h"
#include "platform/registry_posix.h"

namespace {

// The stem's name, or nullopt when a '%' starts no escape.
std::optional<std::string> Decode(const std::string& stem) {
  std::string name;
  for (size_t i = 0; i < stem.size(); ++i) {
    if (stem[i] != '%') {
      name += stem[i];
    } else if (stem.compare(i, 3, "%25") == 0) {
      name += '%';
      i += 2;
    } else if (stem.compare(i, 3, "%2F") == 0) {
      name += '/';
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool caseVariant = input.ConsumeBool();
  const std::string a = input.ConsumeRandomLengthString(size);
  // A second name: `a` with the case of some ASCII letters changed, or any.
  std::string b = caseVariant ? a : input.ConsumeRemainingBytesAsString();
  if (caseVariant) {
    for (char& c : b) {
      const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      if (letter && input.ConsumeBool()) c = static_cast<char>(c ^ 0x20);
    }
  }

  const std::string stem = platform::EncodeValueName(a);
  FUZZ_CHECK(stem.find('/') == std::string::npos);
  FUZZ_CHECK(stem.find('\0') == std::string::npos || a.find('\0') != std::string::npos);
  FUZZ_CHECK(Decode(stem) == a);
  FUZZ_CHECK(EqualsIgnoringAsciiCase(stem, platform::EncodeValueName(b)) ==
             EqualsIgnoringAsciiCase(a, b));
  return 0;
}
