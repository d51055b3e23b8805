// Holds an open registry key and closes it exactly once, on every way out.
#pragma once

#include "platform/registry.h"

class ScopedRegKey {
 public:
  ScopedRegKey() = default;
  ~ScopedRegKey() {
    if (key_ != nullptr) platform::CloseRegKey(key_);
  }
  ScopedRegKey(const ScopedRegKey&) = delete;
  ScopedRegKey& operator=(const ScopedRegKey&) = delete;

  platform::RegKey* get() const { return key_; }
  platform::RegKey** receive() { return &key_; }  // for the call that opens it

 private:
  platform::RegKey* key_ = nullptr;
};
