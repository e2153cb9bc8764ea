#pragma once

#include <string_view>

namespace sys::posix {

// Writes all of `text` to `fd`, going on after short writes and interruptions;
// false with errno set when it cannot (ENOSPC when nothing more is taken).
bool writeAll(int fd, std::string_view text);

}  // namespace sys::posix
