#include "ControlClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>

#include "common/LittleEndian.h"
#include "sys/posix/DeviceProtocol.h"

namespace protocol = sys::posix::device_protocol;

namespace wire {

void put(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t size) {
  writeLittleEndian(bytes.data() + at, size, value);
}

uint64_t get(const std::vector<uint8_t>& bytes, size_t at, size_t size) {
  return readLittleEndian(bytes.data() + at, size);
}

std::u16string getText(const std::vector<uint8_t>& bytes, size_t at, size_t units) {
  return readUtf16LittleEndian(bytes.data() + at, units);
}

std::vector<uint8_t> subCommand(uint32_t command) {
  std::vector<uint8_t> input(4);
  put(input, 0, command, 4);
  return input;
}

std::vector<uint8_t> connectRecord(uint32_t command, const std::u16string& tag, const std::u16string& path,
                                   uint64_t volumeSize, uint32_t sectorSize, uint8_t mountFlag) {
  std::vector<uint8_t> record(kRecordSize, 0);
  put(record, 0, command, 4);
  for (size_t i = 0; i < tag.size(); ++i) put(record, 4 + 2 * i, tag[i], 2);
  for (size_t i = 0; i < path.size(); ++i) put(record, 106 + 2 * i, path[i], 2);
  put(record, 1130, volumeSize, 8);
  put(record, 1138, sectorSize, 4);
  record[1142] = mountFlag;
  return record;
}

std::vector<uint8_t> requestMessage(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputSize) {
  std::vector<uint8_t> message(16 + input.size());
  put(message, 0, protocol::kRequestMagic, 4);
  put(message, 4, code, 4);
  put(message, 8, input.size(), 4);
  put(message, 12, outputSize, 4);
  std::copy(input.begin(), input.end(), message.begin() + 16);
  return message;
}

}  // namespace wire

ControlClient::ControlClient(const std::string& path) : fd_(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  connected_ = connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

Reply ControlClient::requestFor(uid_t uid, uint32_t code, const std::vector<uint8_t>& input, uint32_t outputSize) {
  const std::vector<uint8_t> message = wire::requestMessage(code, input, outputSize);
  const protocol::Requester requester{uid, static_cast<gid_t>(uid)};
  if (protocol::sendFor(fd_.get(), message, requester, MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) return {};
  return receive(60000);
}

bool ControlClient::post(const std::vector<uint8_t>& message) {
  return ::send(fd_.get(), message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
}

Reply ControlClient::receive(int timeoutMs) {
  pollfd entry{fd_.get(), POLLIN, 0};
  std::vector<uint8_t> buffer(16 + protocol::kMaxPayload);
  if (poll(&entry, 1, timeoutMs) <= 0) return {};
  const ssize_t size = recv(fd_.get(), buffer.data(), buffer.size(), 0);
  if (size < 16 || wire::get(buffer, 0, 4) != protocol::kReplyMagic) return {};
  Reply reply{true, static_cast<uint32_t>(wire::get(buffer, 4, 4)), static_cast<uint32_t>(wire::get(buffer, 8, 4)), {}};
  reply.output.assign(buffer.begin() + 16, buffer.begin() + size);
  return reply;
}
