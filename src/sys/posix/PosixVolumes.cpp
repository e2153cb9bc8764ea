#include "sys/posix/PosixVolumes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

#include "common/Guid.h"
#include "common/LittleEndian.h"
#include "common/WideString.h"
#include "common/WinError.h"
#include "sys/posix/DeviceProtocol.h"
#include "sys/posix/ErrnoMapping.h"
#include "sys/posix/MountInfo.h"
#include "sys/posix/PortProtocol.h"

namespace sys::posix {
namespace {

namespace fs = std::filesystem;

const fs::path kBlockClass = "/sys/class/block";
// How long the mount points of a volume of vkvd's disk may take to appear.
constexpr auto kVolumesSettleWait = std::chrono::seconds(15);
constexpr auto kSettlePollInterval = std::chrono::milliseconds(20);
constexpr std::u16string_view kPathPrefix = u"\\\\?\\";
// Sysfs attributes and identity files are small: a larger file is not one.
constexpr size_t kMaxTextFile = 4096;
// The longest identity string a descriptor carries; a longer one is left out.
constexpr size_t kMaxIdentityField = 255;

// STORAGE_PROPERTY_QUERY: PropertyId, QueryType.
constexpr uint32_t kStorageDeviceProperty = 0;
constexpr uint32_t kPropertyStandardQuery = 0;
constexpr uint32_t kQueryHeaderSize = 8;
// STORAGE_DEVICE_DESCRIPTOR: Version and Size (the STORAGE_DESCRIPTOR_HEADER),
// DeviceType, DeviceTypeModifier, RemovableMedia, CommandQueueing, the vendor,
// product, revision and serial offsets, BusType, RawPropertiesLength; the
// strings follow the structure.
constexpr uint32_t kDescriptorHeaderSize = 8;
constexpr uint32_t kDescriptorSize = 40;
constexpr size_t kSizeAt = 4;
constexpr size_t kRemovableMediaAt = 10;
constexpr size_t kVendorOffsetAt = 12;
constexpr size_t kProductOffsetAt = 16;
constexpr size_t kRevisionOffsetAt = 20;
constexpr size_t kSerialOffsetAt = 24;
constexpr size_t kBusTypeAt = 28;
constexpr uint32_t kBusTypeUnknown = 0;
constexpr uint32_t kBusTypeFileBackedVirtual = 0xF;

struct DeviceNumber {
  uint32_t major = 0;
  uint32_t minor = 0;
  friend bool operator==(const DeviceNumber&, const DeviceNumber&) = default;
};

struct Partition {
  std::string name;  // e.g. "loop0p1"
  DeviceNumber number;
};

// The whole disk's identity, each string absent when the disk has none.
struct StorageIdentity {
  std::optional<std::string> vendor;
  std::optional<std::string> product;
  std::optional<std::string> revision;
  std::optional<std::string> serial;
  bool removable = false;
  uint32_t busType = kBusTypeUnknown;
};

// A small text file whole: FileNotFound when it cannot be read, InvalidData
// when it is larger than a small file can be.
uint32_t readTextFile(const fs::path& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return WinError::FileNotFound;
  text.assign(kMaxTextFile + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return WinError::FileNotFound;
  text.resize(static_cast<size_t>(in.gcount()));
  return text.size() > kMaxTextFile ? WinError::InvalidData : WinError::Success;
}

// A sysfs attribute without its line end; none when it cannot be read.
std::optional<std::string> attribute(const fs::path& path) {
  std::string text;
  if (readTextFile(path, text) != WinError::Success) return std::nullopt;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// A value an inquiry can carry, or none.
std::optional<std::string> identityField(std::optional<std::string> value) {
  if (value && value->size() > kMaxIdentityField) return std::nullopt;
  return value;
}

// "major:minor", as sysfs and mount info write a device number.
bool parseDeviceNumber(std::string_view text, DeviceNumber& number) {
  const char* end = text.data() + text.size();
  const auto [colon, majorError] = std::from_chars(text.data(), end, number.major);
  if (majorError != std::errc() || colon == end || *colon != ':') return false;
  const auto [rest, minorError] = std::from_chars(colon + 1, end, number.minor);
  return minorError == std::errc() && rest == end;
}

// The present partitions, by name.
std::vector<Partition> presentPartitions() {
  std::vector<Partition> partitions;
  std::error_code error;
  for (fs::directory_iterator it(kBlockClass, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (!fs::exists(it->path() / "partition", ignored)) continue;
    Partition partition{it->path().filename().string(), {}};
    const std::optional<std::string> dev = attribute(it->path() / "dev");
    if (dev && parseDeviceNumber(*dev, partition.number)) partitions.push_back(partition);
  }
  std::sort(partitions.begin(), partitions.end(),
            [](const Partition& a, const Partition& b) { return a.name < b.name; });
  return partitions;
}

// A partition's volume name, "Volume{GUID}". The GUID holds the device number
// (the major in its first field, the minor in its last bytes): the kernel
// keeps that number for as long as the partition exists and gives it to no
// other present block device, so the name is stable and unique with no state
// kept anywhere. Version 8 and the RFC variant mark it as a GUID made so.
std::u16string volumeName(const DeviceNumber& number) {
  const Guid guid{number.major,
                  0,
                  0x8000,
                  {0x80, 0, 0, 0, static_cast<uint8_t>(number.minor >> 24), static_cast<uint8_t>(number.minor >> 16),
                   static_cast<uint8_t>(number.minor >> 8), static_cast<uint8_t>(number.minor)}};
  return u"Volume" + guid.toString();
}

// The present partition whose volume name is `name`, in any letter case.
bool findPartition(std::u16string_view name, Partition& found) {
  const std::u16string wanted = wide::toLower(name);
  for (const Partition& partition : presentPartitions()) {
    if (wide::toLower(volumeName(partition.number)) == wanted) {
      found = partition;
      return true;
    }
  }
  return false;
}

// The partition named by a volume path "\\?\Volume{GUID}" followed by `suffix`.
bool findPartitionByPath(std::u16string_view path, std::u16string_view suffix, Partition& found) {
  if (path.size() < kPathPrefix.size() + suffix.size() || !path.starts_with(kPathPrefix) || !path.ends_with(suffix)) {
    return false;
  }
  return findPartition(path.substr(kPathPrefix.size(), path.size() - kPathPrefix.size() - suffix.size()), found);
}

// `strings` as zero-terminated strings ended by an empty one.
std::u16string multiString(const std::vector<std::u16string>& strings) {
  std::u16string joined;
  for (const std::u16string& text : strings) {
    joined += text;
    joined += u'\0';
  }
  joined += u'\0';
  return joined;
}

// The places where the root of block device `number` is mounted, each with a
// trailing '/', in mount order.
std::vector<std::u16string> mountPoints(const DeviceNumber& number) {
  std::vector<std::u16string> points;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    DeviceNumber mounted;
    if (!(fields >> id >> parent >> device >> root >> mountPoint) || !parseDeviceNumber(device, mounted) ||
        mounted != number || unescapeMountField(root) != "/") {
      continue;
    }
    std::string point = unescapeMountField(mountPoint);
    if (point.empty() || point.back() != '/') point += '/';
    points.push_back(wide::fromUtf8(point));
  }
  return points;
}

// Whether a loop device holds a disk file of vkvd: the file lies in the
// runtime directory. An identity file of a loop device that now holds some
// other file was left behind and does not describe it.
bool holdsDriverDisk(const fs::path& loopDisk) {
  const std::optional<std::string> backingFile = attribute(loopDisk / "loop" / "backing_file");
  std::error_code error;
  const fs::path runtime = fs::weakly_canonical(port_protocol::runtimeDirectory(), error);
  return backingFile && !error && backingFile->starts_with(runtime.string() + "/");
}

// Whether vkvd's identity file of disk `diskName` is there without the line
// saying that the disk's volumes are mounted.
bool driverVolumesUnsettled(const std::string& diskName) {
  std::string text;
  if (readTextFile(device_protocol::identityFile(diskName), text) != WinError::Success) return false;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line == device_protocol::kVolumesSettledLine) return false;
  }
  return true;
}

// vkvd mounts the volumes of its disk only after their partitions appear; a
// volume of its disk that has just arrived is asked for its mount points once
// vkvd says they are made, so that it is not taken for one without any.
// The wait is bounded: the mount points as they are then are the answer.
void waitForDriverMounts(const Partition& partition) {
  std::error_code error;
  const fs::path disk = fs::canonical(kBlockClass / partition.name, error).parent_path();
  const std::string diskName = disk.filename().string();
  if (error || !diskName.starts_with("loop") || !holdsDriverDisk(kBlockClass / diskName)) return;
  const auto deadline = std::chrono::steady_clock::now() + kVolumesSettleWait;
  while (driverVolumesUnsettled(diskName) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kSettlePollInterval);
  }
}

// The identity vkvd published for loop device `diskName`: "key=value" lines.
uint32_t readDriverIdentity(const std::string& diskName, StorageIdentity& identity) {
  std::string text;
  const uint32_t result = readTextFile(device_protocol::identityFile(diskName), text);
  if (result != WinError::Success) return result;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::optional<std::string> value = identityField(line.substr(equals + 1));
    if (key == "vendor") identity.vendor = value;
    if (key == "product") identity.product = value;
    if (key == "revision") identity.revision = value;
    if (key == "serial") identity.serial = value;
  }
  return WinError::Success;
}

// The identity of the whole disk at sysfs directory `disk`.
uint32_t diskIdentity(const fs::path& disk, StorageIdentity& identity) {
  const std::string name = disk.filename().string();
  identity.removable = attribute(disk / "removable") == "1";
  if (name.starts_with("loop")) {
    identity.busType = kBusTypeFileBackedVirtual;
    if (holdsDriverDisk(disk)) {
      const uint32_t result = readDriverIdentity(name, identity);
      if (result != WinError::FileNotFound) return result;
    }
  }
  identity.vendor = identityField(attribute(disk / "device" / "vendor"));
  identity.product = identityField(attribute(disk / "device" / "model"));
  identity.revision = identityField(attribute(disk / "device" / "rev"));
  identity.serial = identityField(attribute(disk / "device" / "serial"));
  if (!identity.serial) identity.serial = identityField(attribute(disk / "serial"));
  return WinError::Success;
}

void put32(std::vector<uint8_t>& bytes, size_t at, size_t value) { writeLittleEndian(bytes.data() + at, 4, value); }

uint32_t get32(const void* bytes, size_t at) {
  return static_cast<uint32_t>(readLittleEndian(static_cast<const uint8_t*>(bytes) + at, 4));
}

void appendField(std::vector<uint8_t>& bytes, size_t offsetAt, const std::optional<std::string>& value) {
  if (!value) return;
  put32(bytes, offsetAt, bytes.size());
  bytes.insert(bytes.end(), value->begin(), value->end());
  bytes.push_back(0);
}

// The STORAGE_DEVICE_DESCRIPTOR of a disk (device type 0, a direct-access
// device; no command queueing; no raw properties).
std::vector<uint8_t> deviceDescriptor(const StorageIdentity& identity) {
  std::vector<uint8_t> bytes(kDescriptorSize, 0);
  put32(bytes, 0, kDescriptorSize);  // Version
  bytes[kRemovableMediaAt] = identity.removable ? 1 : 0;
  appendField(bytes, kVendorOffsetAt, identity.vendor);
  appendField(bytes, kProductOffsetAt, identity.product);
  appendField(bytes, kRevisionOffsetAt, identity.revision);
  appendField(bytes, kSerialOffsetAt, identity.serial);
  put32(bytes, kBusTypeAt, identity.busType);
  put32(bytes, kSizeAt, bytes.size());
  return bytes;
}

bool fail(uint32_t& error, uint32_t code) {
  error = code;
  return false;
}

// A volume GUID path into a caller's buffer of `length` characters.
bool copyVolumeName(const std::u16string& volumeName, char16_t* name, uint32_t length, uint32_t& error) {
  if (!name || length <= volumeName.size()) return fail(error, WinError::FilenameExceedsRange);
  std::copy(volumeName.begin(), volumeName.end(), name);
  name[volumeName.size()] = u'\0';
  return true;
}

}  // namespace

Volumes::FindHandle PosixVolumes::findFirstVolume(char16_t* name, uint32_t length, uint32_t& error) {
  Search search;
  for (const Partition& partition : presentPartitions()) {
    search.names.push_back(std::u16string(kPathPrefix) + volumeName(partition.number) + u"\\");
  }
  if (search.names.empty()) {
    error = WinError::NoMoreFiles;
    return kInvalidFind;
  }
  if (!copyVolumeName(search.names.front(), name, length, error)) return kInvalidFind;
  search.next = 1;
  std::lock_guard<std::mutex> guard(mutex_);
  const FindHandle handle = next_++;
  searches_[handle] = std::move(search);
  return handle;
}

bool PosixVolumes::findNextVolume(FindHandle search, char16_t* name, uint32_t length, uint32_t& error) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto found = searches_.find(search);
  if (found == searches_.end()) return fail(error, WinError::InvalidHandle);
  Search& state = found->second;
  if (state.next >= state.names.size()) return fail(error, WinError::NoMoreFiles);
  if (!copyVolumeName(state.names[state.next], name, length, error)) return false;
  ++state.next;
  return true;
}

void PosixVolumes::findVolumeClose(FindHandle search) {
  std::lock_guard<std::mutex> guard(mutex_);
  searches_.erase(search);
}

uint32_t PosixVolumes::queryDosDevice(const std::u16string& deviceName, char16_t* targets, uint32_t length,
                                      uint32_t& error) {
  Partition partition;
  if (!findPartition(deviceName, partition)) {
    error = WinError::FileNotFound;
    return 0;
  }
  const std::u16string result = multiString({wide::fromUtf8("/dev/" + partition.name)});
  if (!targets || length < result.size()) {
    error = WinError::InsufficientBuffer;
    return 0;
  }
  std::copy(result.begin(), result.end(), targets);
  return static_cast<uint32_t>(result.size());
}

bool PosixVolumes::getVolumePathNamesForVolumeName(const std::u16string& volumeName, char16_t* names, uint32_t length,
                                                   uint32_t& returnLength, uint32_t& error) {
  returnLength = 0;
  const std::u16string_view path(volumeName);
  if (!path.starts_with(kPathPrefix) || !path.ends_with(u"\\")) return fail(error, WinError::InvalidName);
  Partition partition;
  if (!findPartitionByPath(path, u"\\", partition)) return fail(error, WinError::FileNotFound);
  waitForDriverMounts(partition);
  const std::u16string result = multiString(mountPoints(partition.number));
  returnLength = static_cast<uint32_t>(result.size());
  if (!names || length < result.size()) return fail(error, WinError::MoreData);
  std::copy(result.begin(), result.end(), names);
  return true;
}

Volumes::Handle PosixVolumes::open(const std::u16string& path, uint32_t& error) {
  Partition partition;
  if (!findPartitionByPath(path, u"", partition)) {
    error = WinError::FileNotFound;
    return kInvalidHandle;
  }
  auto fd = std::make_shared<UniqueFd>(::open(("/dev/" + partition.name).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd->valid()) {
    error = winErrorFromErrno(errno);
    return kInvalidHandle;
  }
  // The node must be the partition itself, not some other file of its name.
  struct stat status {};
  if (fstat(fd->get(), &status) != 0 || !S_ISBLK(status.st_mode) ||
      DeviceNumber{major(status.st_rdev), minor(status.st_rdev)} != partition.number) {
    error = WinError::FileNotFound;
    return kInvalidHandle;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  const Handle handle = next_++;
  opened_[handle] = std::move(fd);
  return handle;
}

bool PosixVolumes::control(Handle volume, uint32_t controlCode, const void* input, uint32_t inputSize, void* output,
                           uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) {
  bytesReturned = 0;
  const std::shared_ptr<UniqueFd> fd = findOpened(volume);
  if (!fd) return fail(error, WinError::InvalidHandle);
  if (controlCode != IOCTL_STORAGE_QUERY_PROPERTY) return fail(error, WinError::InvalidFunction);
  if (!input || inputSize < kQueryHeaderSize) return fail(error, WinError::InvalidParameter);
  if (get32(input, 0) != kStorageDeviceProperty || get32(input, 4) != kPropertyStandardQuery) {
    return fail(error, WinError::NotSupported);
  }
  if (!output || outputSize < kDescriptorHeaderSize) return fail(error, WinError::InsufficientBuffer);

  struct stat status {};
  if (fstat(fd->get(), &status) != 0) return fail(error, winErrorFromErrno(errno));
  std::error_code gone;
  const fs::path device = fs::canonical(
      "/sys/dev/block/" + std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev)), gone);
  if (gone) return fail(error, WinError::GenFailure);
  std::error_code ignored;
  const fs::path disk = fs::exists(device / "partition", ignored) ? device.parent_path() : device;
  StorageIdentity identity;
  const uint32_t result = diskIdentity(disk, identity);
  if (result != WinError::Success) return fail(error, result);

  // As Windows does, a descriptor larger than the output is cut to it; its
  // Size tells the whole.
  const std::vector<uint8_t> descriptor = deviceDescriptor(identity);
  bytesReturned = std::min(outputSize, static_cast<uint32_t>(descriptor.size()));
  std::memcpy(output, descriptor.data(), bytesReturned);
  error = WinError::Success;
  return true;
}

void PosixVolumes::close(Handle volume) {
  std::lock_guard<std::mutex> guard(mutex_);
  opened_.erase(volume);
}

std::shared_ptr<UniqueFd> PosixVolumes::findOpened(Handle volume) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto found = opened_.find(volume);
  return found == opened_.end() ? nullptr : found->second;
}

}  // namespace sys::posix
