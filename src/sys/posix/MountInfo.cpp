#include "sys/posix/MountInfo.h"

namespace sys::posix {

std::string unescapeMountField(std::string_view field) {
  std::string text;
  for (size_t i = 0; i < field.size(); ++i) {
    const auto isOctal = [&](size_t at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
    if (field[i] == '\\' && isOctal(i + 1) && isOctal(i + 2) && isOctal(i + 3) && field[i + 1] <= '3') {
      text += static_cast<char>((field[i + 1] - '0') << 6 | (field[i + 2] - '0') << 3 | (field[i + 3] - '0'));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

}  // namespace sys::posix
