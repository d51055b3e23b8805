// Adds an item to or removes an item from a separator-joined registry string
// value, such as a search path.
//
// The registry path is a root prefix and a subkey: "HKLM\Software\X" is
// Software\X below HKEY_LOCAL_MACHINE. The prefixes "HKCR\", "HKCU\", "HKLM\",
// "HKU\" and "HKCC\" are matched case-sensitively; a path without one is a
// subkey of HKEY_CURRENT_USER.
//
// Error contract: construction throws "Key access error." (const char*) for
// a subkey after a prefix longer than 10000 characters. AddLine and
// RemoveLine throw the same text on every registry failure: a missing key or
// value, no right to read and write the key, a value that is not a string
// (REG_SZ or REG_EXPAND_SZ), a refused write. The value is then untouched.
// Neither ever creates a key or a value, and a value that needs no change is
// not written.
#pragma once

#include <string>

#include "platform/registry.h"

class CclRegistryUtils {
 public:
  CclRegistryUtils(const std::string& path, const std::string& separator);
  virtual ~CclRegistryUtils();
  CclRegistryUtils(const CclRegistryUtils&) = delete;
  CclRegistryUtils& operator=(const CclRegistryUtils&) = delete;

  platform::RootKey rootKey() const { return rootKey_; }
  const std::string& subkey() const { return subkey_; }
  const std::string& separator() const { return separator_; }

  // Appends `item` to the value unless it is already one of its items.
  void AddLine(const std::string& valueName, const std::string& item);
  // Takes the first occurrence of `item` out of the value.
  void RemoveLine(const std::string& valueName, const std::string& item);

 private:
  template <typename Edit>
  bool EditValue(const std::string& valueName, Edit edit);
  bool IsEnvironmentKey() const;

  platform::RootKey rootKey_ = platform::RootKey::kCurrentUser;
  std::string subkey_;
  std::string separator_;
};
