#pragma once

#include <string>
#include <string_view>

namespace sys::posix {

// A field of /proc/self/mountinfo with its octal escapes ("\040" for a
// blank) decoded.
std::string unescapeMountField(std::string_view field);

}  // namespace sys::posix
