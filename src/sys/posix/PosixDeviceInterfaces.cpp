#include "sys/posix/PosixDeviceInterfaces.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/WideString.h"
#include "common/WinError.h"
#include "sys/posix/DeviceProtocol.h"
#include "sys/posix/PortProtocol.h"

namespace sys::posix {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> sortedEntries(const fs::path& dir, bool (*wanted)(const fs::directory_entry&)) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    if (wanted(*it)) names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool isSocket(const fs::directory_entry& entry) {
  std::error_code error;
  return entry.is_socket(error);
}

bool isPartition(const fs::directory_entry& entry) {
  std::error_code error;
  return fs::exists(entry.path() / "partition", error);
}

// Copies `text` as zero-terminated UTF-16LE to `at`, when it fits `room` bytes.
bool putWide(const std::string& text, uint8_t* at, uint32_t room) {
  const std::u16string wideText = wide::fromUtf8(text);
  if ((wideText.size() + 1) * 2 > room) return false;
  for (size_t i = 0; i <= wideText.size(); ++i) {
    const char16_t c = i < wideText.size() ? wideText[i] : u'\0';
    at[2 * i] = static_cast<uint8_t>(c);
    at[2 * i + 1] = static_cast<uint8_t>(c >> 8);
  }
  return true;
}

}  // namespace

DeviceInterfaces::InfoSet PosixDeviceInterfaces::getClassDevs(const Guid& interfaceClass, uint32_t& failure) {
  Set set{interfaceClass, {}};
  if (interfaceClass == GUID_DEVINTERFACE_VOLUME) {
    for (const std::string& name : sortedEntries("/sys/class/block", isPartition)) {
      std::error_code error;
      const fs::path device = fs::canonical(fs::path("/sys/class/block") / name, error);
      if (!error) set.interfaces.push_back({device.string(), "/dev/" + name});
    }
  } else {
    // In a runtime directory that others could reach, an interface may be anyone's.
    const PrivateDirectory runtime = port_protocol::openRuntimeDirectory(PrivateDirectory::Missing::Fail);
    if (!runtime.valid() && runtime.error() != ENOENT) {
      failure = WinError::AccessDenied;
      return kInvalidSet;
    }
    const fs::path dir = device_protocol::interfaceClassDirectory(interfaceClass);
    for (const std::string& name : sortedEntries(dir, isSocket)) {
      const std::string path = (dir / name).string();
      set.interfaces.push_back({path, path});
    }
  }
  std::lock_guard<std::mutex> guard(mutex_);
  const InfoSet handle = next_++;
  sets_[handle] = std::move(set);
  return handle;
}

bool PosixDeviceInterfaces::find(InfoSet set, uint64_t index, Interface& found, Guid& interfaceClass, uint32_t& error) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = sets_.find(set);
  if (it == sets_.end()) {
    error = WinError::InvalidHandle;
    return false;
  }
  if (index >= it->second.interfaces.size()) {
    error = ERROR_NO_MORE_ITEMS;
    return false;
  }
  found = it->second.interfaces[index];
  interfaceClass = it->second.interfaceClass;
  return true;
}

bool PosixDeviceInterfaces::enumDeviceInterfaces(InfoSet set, const Guid&, uint32_t index, InterfaceData& data,
                                                 uint32_t& error) {
  Interface found;
  Guid interfaceClass;
  if (!find(set, index, found, interfaceClass, error)) return false;
  data = {interfaceClass, 1, index};
  return true;
}

bool PosixDeviceInterfaces::getDeviceInterfaceDetail(InfoSet set, const InterfaceData& data, uint8_t* detail,
                                                     uint32_t detailSize, DeviceRecord& device, uint32_t& error) {
  Interface found;
  Guid interfaceClass;
  if (!find(set, data.reserved, found, interfaceClass, error)) return false;
  constexpr uint32_t kPathOffset = 4;  // after the structure's cbSize
  if (!detail || detailSize < kPathOffset || !putWide(found.path, detail + kPathOffset, detailSize - kPathOffset)) {
    error = WinError::InsufficientBuffer;
    return false;
  }
  device = {interfaceClass, static_cast<uint32_t>(data.reserved + 1), data.reserved};
  return true;
}

bool PosixDeviceInterfaces::getDeviceRegistryProperty(InfoSet set, const DeviceRecord& device, uint32_t property,
                                                      uint8_t* buffer, uint32_t size, uint32_t& error) {
  Interface found;
  Guid interfaceClass;
  if (!find(set, device.reserved, found, interfaceClass, error)) return false;
  if (property != SPDRP_PHYSICAL_DEVICE_OBJECT_NAME) {
    error = WinError::InvalidData;
    return false;
  }
  if (!buffer || !putWide(found.objectName, buffer, size)) {
    error = WinError::InsufficientBuffer;
    return false;
  }
  return true;
}

void PosixDeviceInterfaces::destroyDeviceInfoList(InfoSet set) {
  std::lock_guard<std::mutex> guard(mutex_);
  sets_.erase(set);
}

}  // namespace sys::posix
