#include "service/VersionInfo.h"

#include <cstring>

#include "common/ByteBuffer.h"
#include "common/LogFormatter.h"
#include "service/DebugLog.h"
#include "sys/Platform.h"

namespace {

std::u16string versionText(uint32_t mostSignificant, uint32_t leastSignificant) {
  return formatLogMessage(u"%u.%u.%u.%u", {mostSignificant >> 16, mostSignificant & 0xFFFF, leastSignificant >> 16,
                                           leastSignificant & 0xFFFF});
}

}  // namespace

bool VersionInfo::load(const std::u16string& path) {
  if (path.empty()) return false;
  sys::ModuleInfo& module = sys::platform().moduleInfo();
  const uint32_t size = module.versionDataSize(path);
  if (size == 0) return false;
  ByteBuffer data(size);
  data.zero();
  if (!module.readVersionData(path, data.data(), data.size())) return false;
  const void* value = nullptr;
  uint32_t length = 0;
  if (!module.queryRootBlock(data.data(), data.size(), &value, &length)) return false;
  // A root block too short for the fixed information is refused, never read past.
  if (!value || length < sizeof(fixed_)) return false;
  std::memcpy(&fixed_, value, sizeof(fixed_));
  return true;
}

std::u16string VersionInfo::fileVersion() const { return versionText(fixed_.fileVersionMS, fixed_.fileVersionLS); }

std::u16string VersionInfo::productVersion() const {
  return versionText(fixed_.productVersionMS, fixed_.productVersionLS);
}

void VersionInfo::logReport() {
  debugLog(u"[VERSION INFO]\n");
  const std::u16string program = sys::platform().moduleInfo().programPath();
  debugLog(u"\t exe_name=%s\n", program);
  VersionInfo version;
  if (version.load(program)) {
    debugLog(u"\t\t file_ver=%s\n", version.fileVersion());
    debugLog(u"\t\t product_ver=%s\n", version.productVersion());
  }
  debugLog(u"[VERSION INFO]\n");
}
