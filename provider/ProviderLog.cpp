#include "provider/ProviderLog.h"

#include <new>
#include <string>

namespace vsimgpvd {

void ProviderLog::open(const char16_t* path) {
  file_.reset();
  if (path && *path) file_ = openLogFile(path);
}

void ProviderLog::write(std::u16string_view format, std::span<const LogArg> args) {
  try {
    const std::u16string text = formatLogMessage(format, args);
    std::string bytes;
    bytes.reserve(text.size());
    for (char16_t c : text) {
      if (c <= 0xFF) bytes.push_back(static_cast<char>(c));
    }
    file_->append(bytes);
  } catch (const std::bad_alloc&) {
    // Out of memory: the line is lost, the caller goes on.
  }
}

}  // namespace vsimgpvd
