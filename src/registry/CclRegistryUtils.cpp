#include "registry/CclRegistryUtils.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

#include "platform/encoding.h"
#include "registry/ScopedRegKey.h"
#include "registry/item_list.h"
#include "text/ascii_case.h"

namespace {

const char kKeyAccessError[] = "Key access error.";
constexpr size_t kMaxSubkeyLength = 10000;

struct RootKeyPrefix {
  std::string_view prefix;
  platform::RootKey rootKey;
};

// Searched in this order; the first prefix that the path starts with wins.
constexpr RootKeyPrefix kRootKeyPrefixes[] = {
    {"HKCR\\", platform::RootKey::kClassesRoot},   {"HKCU\\", platform::RootKey::kCurrentUser},
    {"HKLM\\", platform::RootKey::kLocalMachine},  {"HKU\\", platform::RootKey::kUsers},
    {"HKCC\\", platform::RootKey::kCurrentConfig},
};

}  // namespace

CclRegistryUtils::CclRegistryUtils(const std::string& path, const std::string& separator)
    : separator_(separator) {
  for (const RootKeyPrefix& row : kRootKeyPrefixes) {
    if (path.starts_with(row.prefix)) {
      // A longer subkey is refused rather than cut, which could name another key.
      subkey_ = path.substr(row.prefix.size());
      if (platform::TextLength(subkey_) > kMaxSubkeyLength) throw kKeyAccessError;
      rootKey_ = row.rootKey;
      return;
    }
  }
  subkey_ = path;
}

CclRegistryUtils::~CclRegistryUtils() = default;

void CclRegistryUtils::AddLine(const std::string& valueName, const std::string& item) {
  const bool written =
      EditValue(valueName, [&](std::string& text) { return AddItem(text, item, separator_); });
  if (written && IsEnvironmentKey()) platform::AnnounceEnvironmentChange();
}

void CclRegistryUtils::RemoveLine(const std::string& valueName, const std::string& item) {
  const bool written =
      EditValue(valueName, [&](std::string& text) { return RemoveItem(text, item, separator_); });
  if (written && IsEnvironmentKey()) platform::AnnounceEnvironmentChange();
}

// Reads the string value, lets `edit` change its text, and writes it back
// with its own type when `edit` says it changed; returns whether it wrote.
// The key, and with it its lock, is closed on return, so that an
// announcement after it never holds up another run on the key.
template <typename Edit>
bool CclRegistryUtils::EditValue(const std::string& valueName, Edit edit) {
  ScopedRegKey key;
  if (!platform::OpenRegKey(rootKey_, subkey_, key.receive()).ok()) throw kKeyAccessError;

  uint32_t type = platform::kRegNone;
  uint32_t size = 0;
  if (!platform::QueryRegValue(key.get(), valueName, &type, nullptr, &size).ok())
    throw kKeyAccessError;
  if (size == UINT32_MAX) throw std::bad_alloc();
  // One zero byte more than the data, so that the text ends inside the buffer
  // also when the stored data carries no NUL.
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[size_t{size} + 1]());
  if (!platform::QueryRegValue(key.get(), valueName, &type, buffer.get(), &size).ok()) {
    throw kKeyAccessError;
  }
  if (type != platform::kRegSz && type != platform::kRegExpandSz) throw kKeyAccessError;

  std::string text(reinterpret_cast<const char*>(buffer.get()));
  if (!edit(text)) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  if (!platform::SetRegValue(key.get(), valueName, type, bytes,
                             static_cast<uint32_t>(text.size() + 1))
           .ok()) {
    throw kKeyAccessError;
  }
  return true;
}

// The keys whose values make up the environment of new processes.
bool CclRegistryUtils::IsEnvironmentKey() const {
  return (rootKey_ == platform::RootKey::kCurrentUser &&
          EqualsIgnoringAsciiCase(subkey_, "Environment")) ||
         (rootKey_ == platform::RootKey::kLocalMachine &&
          EqualsIgnoringAsciiCase(
              subkey_, "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment"));
}
