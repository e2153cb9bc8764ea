#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/Guid.h"
#include "device/DevInfo.h"

// The driver's control requests and their records, byte for byte: one control
// code, a sub-command in the first four input bytes, the 1143-byte connect
// record and the 5759-byte active-device reply. Little-endian, UTF-16LE text.
namespace driver_records {

constexpr uint32_t IOCTL_MINIPORT_PROCESS_SERVICE_IRP = 0x0004D038;
constexpr uint32_t CMD_GET_DRIVER_GUID = 0xF77FF038;
constexpr uint32_t CMD_CONNECT_DEVICE = 0xF72AB040;
constexpr uint32_t CMD_DISCONNECT_DEVICE = 0xF72AB044;
constexpr uint32_t CMD_GET_ACTIVE_DEVICE = 0xF72AB048;

constexpr Guid VIRTUAL_DISK_INTERFACE_GUID{
    0xAAA4747F, 0xF023, 0x430C, {0x80, 0xC1, 0x6D, 0xBD, 0xA4, 0xEC, 0x69, 0x9D}};
constexpr Guid DRIVER_CONTROL_GUID{0x543BC692, 0x941C, 0x46FA, {0x89, 0x88, 0xFB, 0x3B, 0xAE, 0x5D, 0x76, 0x37}};

constexpr uint32_t kConnectRecordSize = 1143;
constexpr uint32_t kActiveDeviceReplySize = 5759;
constexpr size_t kTagUnits = 51;
constexpr size_t kPathUnits = 512;
constexpr size_t kMaxTagLength = 50;
constexpr size_t kMaxPathLength = 512;

// Connect record fields.
constexpr size_t kRecordTag = 4;
constexpr size_t kRecordPath = 106;
constexpr size_t kRecordVolumeSize = 1130;
constexpr size_t kRecordSectorSize = 1138;
constexpr size_t kRecordMountFlag = 1142;
// The reply's first device lies where a connect record at offset 4 puts its fields.
constexpr size_t kReplyEntry = 4;

// A zero-filled record with the sub-command and the fields; the strings must
// fit their fields (at most 50 and 512 characters).
std::vector<uint8_t> makeConnectRecord(uint32_t subCommand, std::u16string_view tag, std::u16string_view path,
                                       uint64_t volumeSize, uint32_t sectorSize, bool mountFlag);

// The count of active devices in a reply, and the first one's fields (each
// string up to its first zero unit, never beyond its field).
uint32_t replyCount(const uint8_t* reply);
DevInfo replyFirstDevice(const uint8_t* reply);

}  // namespace driver_records
