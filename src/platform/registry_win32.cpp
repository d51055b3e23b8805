#include <windows.h>

#include "platform/registry.h"

// RegKey is never defined: a RegKey* is the HKEY itself.
namespace platform {
namespace {

HKEY ToHkey(RegKey* key) { return reinterpret_cast<HKEY>(key); }

// The predefined handles are sign-extended on 64-bit Windows, so they are
// named here rather than built from the enum's value.
HKEY ToHkey(RootKey root) {
  switch (root) {
    case RootKey::kClassesRoot: return HKEY_CLASSES_ROOT;
    case RootKey::kCurrentUser: return HKEY_CURRENT_USER;
    case RootKey::kLocalMachine: return HKEY_LOCAL_MACHINE;
    case RootKey::kUsers: return HKEY_USERS;
    case RootKey::kCurrentConfig: return HKEY_CURRENT_CONFIG;
  }
  return nullptr;
}

}  // namespace

bool OpenRegKey(RootKey root, const std::string& subkey, RegKey** key) {
  const HKEY parent = ToHkey(root);
  HKEY opened = nullptr;
  if (parent == nullptr ||
      RegOpenKeyExA(parent, subkey.c_str(), 0, KEY_READ | KEY_WRITE, &opened) != ERROR_SUCCESS) {
    return false;
  }
  *key = reinterpret_cast<RegKey*>(opened);
  return true;
}

void CloseRegKey(RegKey* key) { RegCloseKey(ToHkey(key)); }

bool QueryRegValue(RegKey* key, const std::string& name, uint32_t* type, unsigned char* data,
                   uint32_t* size) {
  DWORD valueType = REG_NONE;
  DWORD valueSize = *size;
  if (RegQueryValueExA(ToHkey(key), name.c_str(), nullptr, &valueType, data, &valueSize) !=
      ERROR_SUCCESS) {
    return false;
  }
  *type = valueType;
  *size = valueSize;
  return true;
}

bool SetRegValue(RegKey* key, const std::string& name, uint32_t type, const unsigned char* data,
                 uint32_t size) {
  return RegSetValueExA(ToHkey(key), name.c_str(), 0, type, data, size) == ERROR_SUCCESS;
}

void AnnounceEnvironmentChange() {
  // Programs that do not answer within the time are left alone.
  DWORD_PTR result = 0;
  SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                      reinterpret_cast<LPARAM>("Environment"), SMTO_ABORTIFHUNG, 5000, &result);
}

}  // namespace platform
