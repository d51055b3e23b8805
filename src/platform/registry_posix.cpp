// Placeholder until the folder store lands.
#include "platform/registry.h"

namespace platform {
bool OpenRegKey(RootKey, const std::string&, RegKey**) { return false; }
void CloseRegKey(RegKey*) {}
bool QueryRegValue(RegKey*, const std::string&, uint32_t*, unsigned char*, uint32_t*) { return false; }
bool SetRegValue(RegKey*, const std::string&, uint32_t, const unsigned char*, uint32_t) { return false; }
void AnnounceEnvironmentChange() {}
}  // namespace platform
