#include "platform/line_end.h"

namespace platform {

const std::string_view kLineEnd = "\r\n";

}  // namespace platform
