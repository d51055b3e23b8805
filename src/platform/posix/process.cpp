#include "platform/process.h"

namespace platform {

// Links are refused by the rule that the file layer's walk applies.
bool RequestRedirectionGuard() { return false; }

}  // namespace platform
