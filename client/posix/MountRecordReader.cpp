#include "MountRecordReader.h"

#include "common/WinError.h"

namespace {

using sys::Registry;

constexpr char16_t kRecordKey[] = u"Software\\Velkara Software\\Velkara Backup";

bool isMissing(uint32_t error) { return error == WinError::FileNotFound || error == WinError::PathNotFound; }

}  // namespace

bool MountRecordReader::read(MountRecord& record, uint32_t& error) {
  record = MountRecord();
  Registry::Key key = 0;
  error = registry_.openKeyEx(Registry::HKEY_LOCAL_MACHINE, kRecordKey,
                              Registry::KEY_QUERY_VALUE | Registry::KEY_WOW64_32KEY, key);
  if (isMissing(error)) {
    error = WinError::Success;
    return true;
  }
  if (error != WinError::Success) return false;
  sys::posix::PosixRegistry::Value volumeId, deviceName, mountPoints;
  error = readValue(key, u"MountedVolumeID", Registry::REG_SZ, volumeId);
  if (error == WinError::Success) error = readValue(key, u"MountedDeviceName", Registry::REG_SZ, deviceName);
  if (error == WinError::Success) error = readValue(key, u"MountedDrives", Registry::REG_MULTI_SZ, mountPoints);
  registry_.closeKey(key);
  if (error != WinError::Success) return false;
  record.volumeId = MountRecord::decodeString(volumeId.data);
  record.deviceName = MountRecord::decodeString(deviceName.data);
  record.mountPoints = MountRecord::decodeStrings(mountPoints.data);
  return true;
}

uint32_t MountRecordReader::readValue(Registry::Key key, const std::u16string& name, uint32_t type,
                                      sys::posix::PosixRegistry::Value& value) {
  const uint32_t error = registry_.queryValueEx(key, name, value);
  if (isMissing(error)) {
    value = {};
    return WinError::Success;
  }
  if (error == WinError::Success && value.type != type) return WinError::InvalidData;
  return error;
}

std::string MountRecordReader::describeError(uint32_t error) {
  if (error == WinError::AccessDenied) return "access denied";
  if (error == WinError::InvalidData) return "a value is damaged";
  return "Windows error " + std::to_string(error);
}
