#include "DiskDriver.h"

#include <cstdint>
#include <limits>

#include "DriverControl.h"
#include "common/WideString.h"
#include "common/WinError.h"

namespace dc = driver_control;

namespace {

// dbg_status of a connect that failed; one that succeeded gives the number
// N of the disk's /dev/loopN.
constexpr uint32_t kNoDisk = 0xFFFFFFFF;

uint32_t readUint32(std::span<const uint8_t> bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::vector<uint8_t> uint32Bytes(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

std::string text(const std::u16string& value) { return wide::toUtf8(value); }

bool isSupportedSectorSize(uint32_t size) { return size >= 512 && size <= 4096 && (size & (size - 1)) == 0; }

}  // namespace

DiskDriver::~DiskDriver() {
  if (disk_) log_->line("stopping: removing the disk \"%s\"", text(record_.connectionTag).c_str());
}

DiskDriver::Reply DiskDriver::handle(uint32_t controlCode, std::span<const uint8_t> input, uint32_t outputSize,
                                     uid_t requester) {
  if (controlCode != dc::kControlCode) {
    log_->line("refused a request with the unknown control code 0x%08X", controlCode);
    return {WinError::InvalidFunction, {}};
  }
  if (input.size() < dc::kSubCommandSize) {
    log_->line("refused a request of %zu input bytes, too short for a sub-command", input.size());
    return {WinError::InvalidParameter, {}};
  }
  const uint32_t subCommand = readUint32(input);
  switch (subCommand) {
    case dc::CMD_GET_DRIVER_GUID: return driverGuid(outputSize);
    case dc::CMD_CONNECT_DEVICE: return connect(input, outputSize, requester);
    case dc::CMD_DISCONNECT_DEVICE: return disconnect(input);
    case dc::CMD_GET_ACTIVE_DEVICE: return activeDevice(outputSize);
    default: log_->line("refused the unknown sub-command 0x%08X", subCommand); return {WinError::InvalidFunction, {}};
  }
}

DiskDriver::Reply DiskDriver::driverGuid(uint32_t outputSize) const {
  if (outputSize < dc::kGuidSize) return {WinError::InsufficientBuffer, {}};
  Reply reply{WinError::Success, std::vector<uint8_t>(dc::kGuidSize)};
  dc::DRIVER_CONTROL_GUID.toBytes(reply.output.data());
  return reply;
}

DiskDriver::Reply DiskDriver::connect(std::span<const uint8_t> input, uint32_t outputSize, uid_t owner) {
  if (outputSize < dc::kDbgStatusSize) return {WinError::InsufficientBuffer, {}};
  const std::optional<ConnectRecord> record = ConnectRecord::parse(input);
  if (!record) {
    log_->line("refused a connect record of %zu bytes (a record has %zu)", input.size(), ConnectRecord::kSize);
    return {WinError::InvalidParameter, uint32Bytes(kNoDisk)};
  }
  if (const uint32_t refused = checkConnect(*record)) return {refused, uint32Bytes(kNoDisk)};
  log_->line("connect \"%s\" for user %u: %llu bytes, %u-byte sectors, image %s, mount_flag %u",
             text(record->connectionTag).c_str(), static_cast<unsigned>(owner),
             static_cast<unsigned long long>(record->volumeSize), record->sectorSize, text(record->imagePath).c_str(),
             record->mountFlag);
  uint32_t error = WinError::Success;
  disk_ = VirtualDisk::create(runtime_, mounts_, owner, record->volumeSize, record->sectorSize, log_, error);
  if (!disk_) {
    log_->line("connect \"%s\" failed: no disk was made (error %u)", text(record->connectionTag).c_str(), error);
    return {error, uint32Bytes(kNoDisk)};
  }
  record_ = *record;
  log_->line("disk \"%s\" is %s", text(record_.connectionTag).c_str(), disk_->devicePath().c_str());
  return {WinError::Success, uint32Bytes(static_cast<uint32_t>(disk_->loopNumber())), true};
}

void DiskDriver::undoConnect() {
  if (!disk_) return;
  log_->line("the reply to connect \"%s\" was not delivered: removing its disk", text(record_.connectionTag).c_str());
  disk_.reset();
  record_ = {};
}

// What the record asks for must make a disk that a loop device can present.
uint32_t DiskDriver::checkConnect(const ConnectRecord& record) const {
  const char* refusal = nullptr;
  if (!record.tagTerminated()) {
    refusal = "its connection_tag fills the field without a terminator";
  } else if (record.volumeSize == 0) {
    refusal = "its volume_size is 0";
  } else if (record.volumeSize > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    refusal = "its volume_size is larger than a file can be";
  } else if (!isSupportedSectorSize(record.sectorSize)) {
    refusal = "its sector_size is not a power of two from 512 to 4096";
  } else if (record.volumeSize % record.sectorSize != 0) {
    refusal = "its volume_size is not a whole number of sectors";
  }
  if (refusal) {
    log_->line("refused connect \"%s\" (%llu bytes, %u-byte sectors): %s", text(record.connectionTag).c_str(),
               static_cast<unsigned long long>(record.volumeSize), record.sectorSize, refusal);
    return WinError::InvalidParameter;
  }
  if (disk_) {
    log_->line("refused connect \"%s\": the disk \"%s\" exists, and there is room for one",
               text(record.connectionTag).c_str(), text(record_.connectionTag).c_str());
    return WinError::Busy;
  }
  return WinError::Success;
}

DiskDriver::Reply DiskDriver::disconnect(std::span<const uint8_t> input) {
  const std::optional<ConnectRecord> record = ConnectRecord::parse(input);
  if (!record) {
    log_->line("refused a disconnect record of %zu bytes (a record has %zu)", input.size(), ConnectRecord::kSize);
    return {WinError::InvalidParameter, {}};
  }
  const std::string tag = text(record->connectionTag);
  if (!disk_ || record->connectionTag != record_.connectionTag) {
    log_->line("disconnect \"%s\": there is no disk with that tag", tag.c_str());
    return {WinError::FileNotFound, {}};
  }
  if (const uint32_t error = disk_->releasePartitions()) return {error, {}};
  disk_.reset();
  record_ = {};
  log_->line("disk \"%s\" removed", tag.c_str());
  return {WinError::Success, {}};
}

DiskDriver::Reply DiskDriver::activeDevice(uint32_t outputSize) const {
  if (outputSize < dc::kActiveDeviceReplySize) return {WinError::InsufficientBuffer, {}};
  Reply reply{WinError::Success, std::vector<uint8_t>(dc::kActiveDeviceReplySize, 0)};
  if (disk_) {
    reply.output[0] = 1;
    // The fields lie where a record laid at offset 4 would have them.
    record_.writeFields(reply.output.data() + 4);
  }
  return reply;
}
