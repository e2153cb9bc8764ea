#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "DriverLog.h"
#include "lpc/LpcDiskMessage.h"
#include "sys/posix/PortClient.h"

// The disk's data path to the service: each read or write of at most one
// window (1 MiB) is one sector request on the service's port, a connection
// of its own, with the data in the shared view (reads at its start, writes
// 1 MiB into it). Every request is bounded by kRequestTimeout; one whose
// connection the service dropped unanswered is sent once more. A failure is
// logged when it begins and when requests are answered again, not each time.
// Not thread-safe: the disk's file system thread alone uses it.
class SectorChannel {
 public:
  static constexpr std::chrono::milliseconds kRequestTimeout{10000};

  // A channel with its view made; null when the view cannot be made.
  static std::unique_ptr<SectorChannel> open(std::shared_ptr<DriverLog> log);

  SectorChannel(const SectorChannel&) = delete;
  SectorChannel& operator=(const SectorChannel&) = delete;

  // Reads `length` bytes (at most one window) at disk offset `offset` into
  // readWindow(); false unless the service moved them all.
  bool read(uint64_t offset, uint32_t length);
  const uint8_t* readWindow() const { return client_.view(); }

  // Writes `length` bytes (at most one window) from `data` at `offset`.
  bool write(uint64_t offset, const uint8_t* data, uint32_t length);

 private:
  explicit SectorChannel(std::shared_ptr<DriverLog> log);
  bool request(uint8_t op, uint64_t offset, uint32_t length);
  int32_t exchange(LpcDiskMessage& message);
  void report(const char* failure, int32_t status, uint8_t op, uint64_t offset, uint32_t length);

  sys::posix::PortClient client_;
  std::shared_ptr<DriverLog> log_;
  bool failing_ = false;
};
