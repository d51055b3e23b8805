#include "platform/registry.h"

#include <windows.h>

#include <cstring>

#include "platform/win32/lock.h"
#include "platform/win32/wide.h"

namespace platform {

struct RegKey {
  HKEY key = nullptr;
  HANDLE lock = nullptr;  // held while the key is open, so that edits never interleave
};

namespace {

HKEY ToHkey(RegKey* key) { return key->key; }

// The predefined handles are sign-extended on 64-bit Windows, so they are
// named here rather than built from the enum's value.
HKEY ToHkey(RootKey root) {
  switch (root) {
    case RootKey::kClassesRoot:
      return HKEY_CLASSES_ROOT;
    case RootKey::kCurrentUser:
      return HKEY_CURRENT_USER;
    case RootKey::kLocalMachine:
      return HKEY_LOCAL_MACHINE;
    case RootKey::kUsers:
      return HKEY_USERS;
    case RootKey::kCurrentConfig:
      return HKEY_CURRENT_CONFIG;
  }
  return nullptr;
}

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// The value's type and its data as the program holds it: a string value's
// UTF-16 text converted, with the NUL that ends it; any other value's bytes.
Status ReadValue(HKEY key, const std::wstring& name, DWORD* type, std::string& data) {
  DWORD size = 0;
  LSTATUS error = RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size);
  if (error != ERROR_SUCCESS) return {Step::kQueryValue, static_cast<uint32_t>(error)};
  std::string stored(size, '\0');
  // Fails also when the value grew since its size was asked.
  error = RegQueryValueExW(key, name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(stored.data()),
                           &size);
  if (error != ERROR_SUCCESS) return {Step::kQueryValue, static_cast<uint32_t>(error)};
  stored.resize(size);
  if (!IsString(*type)) {
    data = stored;
    return {};
  }
  std::wstring text(stored.size() / 2, L'\0');
  std::memcpy(text.data(), stored.data(), text.size() * 2);
  const size_t nul = text.find(L'\0');
  const bool ended = nul != std::wstring::npos;
  data = Narrow(std::wstring_view(text).substr(0, nul));
  if (ended) data += '\0';
  return {};
}

}  // namespace

Status OpenRegKey(RootKey root, const std::string& subkey, RegKey** key) {
  const HKEY parent = ToHkey(root);
  std::wstring wideSubkey;
  if (parent == nullptr || !Widen(subkey, wideSubkey)) return {Step::kOpenKey, ERROR_INVALID_NAME};
  const HANDLE lock = AcquireLock(L"registry\\" + std::to_wstring(static_cast<uint32_t>(root)) +
                                  L"\\" + wideSubkey);
  if (lock == nullptr) return {Step::kLock, GetLastError()};
  HKEY opened = nullptr;
  const LSTATUS error = RegOpenKeyExW(parent, wideSubkey.c_str(), 0, KEY_READ | KEY_WRITE, &opened);
  if (error != ERROR_SUCCESS) {
    ReleaseLock(lock);
    return {Step::kOpenKey, static_cast<uint32_t>(error)};
  }
  *key = new RegKey{opened, lock};
  return {};
}

void CloseRegKey(RegKey* key) {
  RegCloseKey(key->key);
  ReleaseLock(key->lock);
  delete key;
}

Status QueryRegValue(RegKey* key, const std::string& name, uint32_t* type, unsigned char* data,
                     uint32_t* size) {
  std::wstring wideName;
  DWORD valueType = REG_NONE;
  std::string value;
  if (!Widen(name, wideName)) return {Step::kQueryValue, ERROR_INVALID_NAME};
  if (Status status = ReadValue(ToHkey(key), wideName, &valueType, value); !status.ok()) {
    return status;
  }
  if (value.size() > UINT32_MAX || (data != nullptr && value.size() > *size)) {
    return {Step::kQueryValue, ERROR_MORE_DATA};
  }
  if (data != nullptr) std::memcpy(data, value.data(), value.size());
  *type = valueType;
  *size = static_cast<uint32_t>(value.size());
  return {};
}

Status SetRegValue(RegKey* key, const std::string& name, uint32_t type, const unsigned char* data,
                   uint32_t size) {
  std::wstring wideName;
  if (!Widen(name, wideName)) return {Step::kSetValue, ERROR_INVALID_NAME};
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::wstring text;
  if (IsString(type)) {
    // Stored as UTF-16, with the NUL that ends the text.
    const bool ended = bytes.ends_with('\0');
    if (ended) bytes.remove_suffix(1);
    if (!Widen(bytes, text)) return {Step::kSetValue, ERROR_NO_UNICODE_TRANSLATION};
    if (ended) text += L'\0';
    data = reinterpret_cast<const unsigned char*>(text.data());
    size = static_cast<uint32_t>(text.size() * sizeof(wchar_t));
  }
  const LSTATUS error = RegSetValueExW(ToHkey(key), wideName.c_str(), 0, type, data, size);
  if (error != ERROR_SUCCESS) return {Step::kSetValue, static_cast<uint32_t>(error)};
  return {};
}

namespace {

// The whole announcement's bound, and what one window may take of it: a
// window that answers within that time is waited for; a slower one, or one
// whose thread has stopped taking messages, is passed over.
constexpr DWORD kAnnounceMilliseconds = 2000;
constexpr UINT kWindowMilliseconds = 200;

DWORD WINAPI Broadcast(void*) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                      SMTO_ABORTIFHUNG, kWindowMilliseconds, &result);
  return 0;
}

}  // namespace

// HWND_BROADCAST visits the top-level windows one at a time, so many slow
// ones would add up; the broadcast runs on a thread of its own, which the
// program waits for no longer than the bound and then leaves behind, to end
// with the process.
void AnnounceEnvironmentChange() {
  const HANDLE thread = CreateThread(nullptr, 0, Broadcast, nullptr, 0, nullptr);
  if (thread == nullptr) return;
  WaitForSingleObject(thread, kAnnounceMilliseconds);
  CloseHandle(thread);
}

}  // namespace platform
