#include "provider/ProviderLog.h"

#include <new>

namespace vsimgpvd {

void ProviderLog::open(const char16_t* path) {
  file_.reset();
  if (path && *path) file_ = openLogFile(path);
}

void ProviderLog::write(std::u16string_view format, std::span<const LogArg> args) {
  try {
    file_->append(toLogBytes(formatLogMessage(format, args)));
  } catch (const std::bad_alloc&) {
    // Out of memory: the line is lost, the caller goes on.
  }
}

}  // namespace vsimgpvd
