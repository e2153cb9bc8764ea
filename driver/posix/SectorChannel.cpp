#include "SectorChannel.h"

#include <cstring>

#include "common/NtStatus.h"
#include "lpc/LpcDiskMessage.h"

namespace {

constexpr uint32_t kWindow = LpcDiskMessage::kWindowSize;

const char* describe(int32_t status) {
  switch (status) {
    case NtStatus::IoTimeout: return "the service did not answer in time";
    case NtStatus::ObjectPathNotFound: return "the service's port is not there";
    case NtStatus::PortConnectionRefused: return "the service refused or dropped the connection";
    case NtStatus::AccessDenied: return "the service's port cannot be reached (access denied)";
    default: return "the request could not be sent";
  }
}

}  // namespace

std::unique_ptr<SectorChannel> SectorChannel::open(std::shared_ptr<DriverLog> log) {
  std::unique_ptr<SectorChannel> channel(new SectorChannel(std::move(log)));
  if (!channel->client_.createView(2 * kWindow)) return nullptr;
  return channel;
}

SectorChannel::SectorChannel(std::shared_ptr<DriverLog> log)
    : client_(LpcDiskMessage::kPortName), log_(std::move(log)) {}

bool SectorChannel::read(uint64_t offset, uint32_t length) {
  return length <= kWindow && request(LpcDiskMessage::LPC_OP_READ, offset, length);
}

bool SectorChannel::write(uint64_t offset, const uint8_t* data, uint32_t length) {
  if (length > kWindow) return false;
  std::memcpy(client_.view() + kWindow, data, length);
  return request(LpcDiskMessage::LPC_OP_WRITE, offset, length);
}

bool SectorChannel::request(uint8_t op, uint64_t offset, uint32_t length) {
  LpcDiskMessage message;
  message.setOp(op);
  message.setOffset(offset);
  message.setLength(length);
  const int32_t status = exchange(message);
  const char* failure = nullptr;
  if (!NtStatus::succeeded(status)) {
    failure = describe(status);
  } else if (message.status() == LpcDiskMessage::LPC_STATUS_NO_IMAGE) {
    failure = "the service has no image open";
  } else if (message.status() != LpcDiskMessage::LPC_STATUS_OK) {
    failure = "the service failed the request";
  } else if (message.result() != length) {
    failure = "the service moved another number of bytes than asked";
  }
  report(failure, status, op, offset, length);
  return failure == nullptr;
}

// Sends `message` and puts the reply into it. A request whose connection the
// service dropped unanswered is sent once more: a read, or a write of the
// same bytes, may be repeated, and a refusal that stands (no image open)
// comes back at once.
int32_t SectorChannel::exchange(LpcDiskMessage& message) {
  const LpcDiskMessage request = message;
  const int32_t status = client_.request(message.message(), kRequestTimeout);
  if (status != NtStatus::PortConnectionRefused) return status;
  const std::string firstFailure = client_.lastFailure();
  message = request;
  const int32_t again = client_.request(message.message(), kRequestTimeout);
  if (NtStatus::succeeded(again)) {
    log_->line("a sector request dropped unanswered (%s) was answered when sent again", firstFailure.c_str());
  }
  return again;
}

void SectorChannel::report(const char* failure, int32_t status, uint8_t op, uint64_t offset, uint32_t length) {
  if (failure && !failing_) {
    log_->line(
        "sector %s of %u bytes at %llu failed: %s (status 0x%08X%s%s; later failures are not logged until a "
        "request succeeds)",
        op == LpcDiskMessage::LPC_OP_READ ? "read" : "write", length, static_cast<unsigned long long>(offset), failure,
        static_cast<uint32_t>(status), client_.lastFailure().empty() ? "" : ", ", client_.lastFailure().c_str());
  } else if (!failure && failing_) {
    log_->line("sector requests are answered again");
  }
  failing_ = failure != nullptr;
}
