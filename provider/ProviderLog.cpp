#include "provider/ProviderLog.h"

#include <new>
#include <string>

#include "sys/Platform.h"

namespace vsimgpvd {

void ProviderLog::open(const char16_t* path) {
  file_.reset();
  uint32_t error = 0;
  if (path && *path) file_ = sys::platform().fileSystem().openTextFile(path, sys::FileSystem::OpenMode::Append, error);
}

void ProviderLog::write(std::u16string_view format, std::span<const LogArg> args) {
  try {
    file_->write(toLogBytes(formatLogMessage(format, args)));
  } catch (const std::bad_alloc&) {
    // Out of memory: the line is lost, the caller goes on.
  }
}

}  // namespace vsimgpvd
