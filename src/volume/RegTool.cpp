#include "volume/RegTool.h"

#include <limits>
#include <memory>
#include <new>

#include "service/DebugLog.h"
#include "sys/Platform.h"

namespace {

using sys::Registry;

std::u16string withoutTrailingBackslash(const std::u16string& path) {
  if (!path.empty() && path.back() == u'\\') return path.substr(0, path.size() - 1);
  return path;
}

// `path` joined with `name` less one leading and one trailing backslash.
std::u16string joinKeyPath(const std::u16string& path, const std::u16string& name) {
  std::u16string part = name;
  if (!part.empty() && part.front() == u'\\') part.erase(part.begin());
  if (!part.empty() && part.back() == u'\\') part.pop_back();
  if (part.empty()) return path;
  // A name joined to an empty path is a key right under the root.
  if (path.empty() || path.back() == u'\\') return path + part;
  return path + u'\\' + part;
}

uint32_t stringBytes(const std::u16string& text) { return static_cast<uint32_t>((text.size() + 1) * 2); }

}  // namespace

bool RegTool::setMountedParams(const std::u16string& volumeGuidPath, const std::u16string& deviceName,
                               const std::vector<std::u16string>& mountPoints) {
  const RegTool tool(Registry::HKEY_LOCAL_MACHINE, Registry::KEY_WOW64_32KEY);
  const std::u16string companyKey = u"Software\\Velkara Software";
  if (!tool.ensureKey(companyKey)) {
    debugLog(u"RegTool::setMountedParams failed to create HKLM\\[%s]\n", companyKey);
    return false;
  }
  const std::u16string recordKey = joinKeyPath(companyKey, u"Velkara Backup");
  if (!tool.ensureKey(recordKey)) {
    debugLog(u"RegTool::setMountedParams failed to create HKLM\\[%s]\n", recordKey);
    return false;
  }
  if (!tool.setParamValue(recordKey, u"MountedVolumeID", volumeGuidPath.c_str(), stringBytes(volumeGuidPath),
                          Registry::REG_SZ)) {
    debugLog(u"RegTool::setMountedParams setParamValue err for [MountedVolumeID]\n");
  }
  if (!tool.setParamValue(recordKey, u"MountedDeviceName", deviceName.c_str(), stringBytes(deviceName),
                          Registry::REG_SZ)) {
    debugLog(u"RegTool::setMountedParams setParamValue err for [MountedDeviceName]\n");
  }
  if (!tool.setMultiStringValue(recordKey, u"MountedDrives", mountPoints)) {
    debugLog(u"RegTool::setMountedParams setParamValue err for [MountedDrives]\n");
  }
  return true;
}

void RegTool::clearMountedParams() { setMountedParams(u"", u"", {}); }

bool RegTool::ensureKey(const std::u16string& keyPath) const {
  Registry& registry = sys::platform().registry();
  Registry::Key key = 0;
  if (registry.openKeyEx(root_, keyPath, Registry::KEY_QUERY_VALUE | extraAccess_, key) == 0) {
    registry.closeKey(key);
    return true;
  }
  return createFolder(keyPath, u"");
}

bool RegTool::createFolder(const std::u16string& keyPath, const std::u16string& subkeyName) const {
  const std::u16string path = joinKeyPath(withoutTrailingBackslash(keyPath), subkeyName);
  Registry& registry = sys::platform().registry();
  Registry::Key key = 0;
  const uint32_t error =
      registry.createKeyEx(root_, path, Registry::REG_OPTION_NON_VOLATILE, Registry::KEY_WRITE | extraAccess_, key);
  if (error != 0) {
    debugLog(u"RegTool::createFolder RegCreateKeyEx winerr=%d folder=%s\n", static_cast<int32_t>(error), path);
    return false;
  }
  registry.closeKey(key);
  return true;
}

bool RegTool::setParamValue(const std::u16string& keyPath, const std::u16string& valueName, const void* data,
                            uint32_t size, uint32_t type) const {
  if (valueName.empty() || keyPath.empty() || !data) return false;
  Registry& registry = sys::platform().registry();
  Registry::Key key = 0;
  uint32_t error =
      registry.openKeyEx(root_, withoutTrailingBackslash(keyPath), Registry::KEY_SET_VALUE | extraAccess_, key);
  if (error != 0) {
    debugLog(u"RegTool::setParamValue RegOpenKeyEx winerr=%d\n", static_cast<int32_t>(error));
    return false;
  }
  error = registry.setValueEx(key, valueName, type, data, size);
  registry.closeKey(key);
  if (error != 0) {
    debugLog(u"RegTool::setParamValue RegSetValueEx winerr=%d\n", static_cast<int32_t>(error));
    return false;
  }
  return true;
}

bool RegTool::setMultiStringValue(const std::u16string& keyPath, const std::u16string& valueName,
                                  const std::vector<std::u16string>& strings) const {
  size_t count = strings.empty() ? 2 : 1;
  for (const std::u16string& text : strings) count += text.size() + 1;
  // A list whose size does not fit a value is treated as one that cannot be allocated.
  const bool fits = count <= std::numeric_limits<uint32_t>::max() / 2;
  std::unique_ptr<char16_t[]> buffer(fits ? new (std::nothrow) char16_t[count]() : nullptr);
  if (buffer) {
    size_t at = 0;
    for (const std::u16string& text : strings) {
      text.copy(buffer.get() + at, text.size());
      at += text.size() + 1;
    }
  }
  return setParamValue(keyPath, valueName, buffer.get(), static_cast<uint32_t>(count * 2), Registry::REG_MULTI_SZ);
}
