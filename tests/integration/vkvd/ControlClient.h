#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/Guid.h"
#include "sys/posix/UniqueFd.h"

// The driver's control requests as they travel, written from the wire
// format alone, and a client that sends them on the driver's interface.
namespace wire {

constexpr uint32_t kControlCode = 0x0004D038;
constexpr uint32_t kGetDriverGuid = 0xF77FF038;
constexpr uint32_t kConnect = 0xF72AB040;
constexpr uint32_t kDisconnect = 0xF72AB044;
constexpr uint32_t kGetActiveDevice = 0xF72AB048;
constexpr size_t kRecordSize = 1143;
constexpr uint32_t kActiveReplySize = 5759;
constexpr Guid kInterfaceClass{0xAAA4747F, 0xF023, 0x430C, {0x80, 0xC1, 0x6D, 0xBD, 0xA4, 0xEC, 0x69, 0x9D}};
constexpr Guid kDriverGuid{0x543BC692, 0x941C, 0x46FA, {0x89, 0x88, 0xFB, 0x3B, 0xAE, 0x5D, 0x76, 0x37}};

// Win32 errors in the replies.
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kInvalidFunction = 1;
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kBusy = 170;

// Little-endian integers and UTF-16LE text at byte offsets.
void put(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t size);
uint64_t get(const std::vector<uint8_t>& bytes, size_t at, size_t size);
// The text of a field of `units` UTF-16 units, up to its first zero unit.
std::u16string getText(const std::vector<uint8_t>& bytes, size_t at, size_t units);

std::vector<uint8_t> subCommand(uint32_t command);
std::vector<uint8_t> connectRecord(uint32_t command, const std::u16string& tag, const std::u16string& path = u"",
                                   uint64_t volumeSize = 0, uint32_t sectorSize = 0, uint8_t mountFlag = 0);
std::vector<uint8_t> requestMessage(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputSize);

}  // namespace wire

struct Reply {
  bool received = false;
  uint32_t status = 0xFFFFFFFF;
  uint32_t bytesReturned = 0;
  std::vector<uint8_t> output;
};

// An open handle on the driver's interface.
class ControlClient {
 public:
  explicit ControlClient(const std::string& path);
  bool connected() const { return connected_; }

  Reply request(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputSize) {
    return send(wire::requestMessage(code, input, outputSize));
  }
  // The request for user `uid`, as the service names the user a disk is for
  // (the test runs as root, who may name any user).
  Reply requestFor(uid_t uid, uint32_t code, const std::vector<uint8_t>& input, uint32_t outputSize);
  // A disk is made or removed within the service's bound; a slow sanitized
  // build is given room.
  Reply send(const std::vector<uint8_t>& message) { return post(message) ? receive(60000) : Reply{}; }
  bool post(const std::vector<uint8_t>& message);
  // The next reply; none when it did not come within `timeoutMs`.
  Reply receive(int timeoutMs);

 private:
  sys::posix::UniqueFd fd_;
  bool connected_ = false;
};
