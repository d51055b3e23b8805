// The folder-tree registry's naming rule, shared with the fuzzer that checks it.
#pragma once

#include <string>

namespace platform {

// The file name stem of the value `name`: the name with '%' written as "%25"
// and '/' as "%2F", so that every name is one file name and no two names that
// differ beyond ASCII case share a stem.
std::string EncodeValueName(const std::string& name);

}  // namespace platform
