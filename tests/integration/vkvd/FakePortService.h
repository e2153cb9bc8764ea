#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "sys/posix/UniqueFd.h"

// A stand-in for the service's sector port: it serves a disk held in memory,
// or fails as a faulty service would, dropping connections unanswered or
// answering wrongly. One connection at a time on a thread of its own, as the
// service serves them. The behaviour may change at any time.
class FakePortService {
 public:
  enum class Behaviour { Serve, DropEveryOther, DropAll, ReplyFailed, ReplyShort, ReplyTooMuch, ReplyTruncated };

  explicit FakePortService(std::vector<uint8_t> disk);
  ~FakePortService();
  FakePortService(const FakePortService&) = delete;
  FakePortService& operator=(const FakePortService&) = delete;

  bool listening() const { return listener_.valid(); }
  void setBehaviour(Behaviour behaviour) { behaviour_ = behaviour; }
  int connections() const { return connections_; }

 private:
  void run();
  void serve(int connection);

  std::vector<uint8_t> disk_;
  sys::posix::UniqueFd listener_;
  std::atomic<Behaviour> behaviour_{Behaviour::Serve};
  std::atomic<int> connections_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};
