#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "DiskDriver.h"
#include "DriverLog.h"
#include "RuntimeDirectory.h"
#include "sys/posix/UniqueFd.h"

// The driver's device interface: a SOCK_SEQPACKET socket in the directory of
// the virtual-disk interface class, on which a client sends control requests
// (a request header and its input in one message) and gets each answer (a
// reply header and its output in one message). One client at a time: the
// next one waits in the socket's backlog until the current one leaves, and a
// client that sends nothing for kClientIdleTimeout is dropped. Requests that
// break the framing are answered with ERROR_INVALID_PARAMETER. Each request is
// for the user its sender's credentials name (which the kernel lets only root
// choose), root's when the sender names none. A connect whose
// reply cannot be delivered (the client went away) is undone. The socket's
// mode and the runtime directory's (0600, 0700) decide who may connect.
// Serves on the thread that calls run().
class ControlServer {
 public:
  static constexpr std::chrono::milliseconds kClientIdleTimeout{10000};
  static constexpr const char* kInterfaceName = "vkvd0";

  // Publishes the interface; null, with the reason logged, when it cannot
  // (such as when another vkvd serves it).
  static std::unique_ptr<ControlServer> publish(DiskDriver& driver, const RuntimeDirectory& runtime,
                                                std::shared_ptr<DriverLog> log);
  // Closes the interface and removes its socket.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Serves requests until `stopFd` becomes readable.
  void run(int stopFd);

 private:
  ControlServer(DiskDriver& driver, std::shared_ptr<DriverLog> log, std::string path, sys::posix::UniqueFd directory,
                ino_t inode, sys::posix::UniqueFd listener);
  // False when the client left or cannot take its reply.
  bool serveRequest();
  bool sendReply(uint32_t status, const std::vector<uint8_t>& output);

  DiskDriver& driver_;
  std::shared_ptr<DriverLog> log_;
  std::string path_;
  sys::posix::UniqueFd directory_;  // the socket's, in the runtime directory
  ino_t inode_;                     // the socket file's
  sys::posix::UniqueFd listener_;
  sys::posix::UniqueFd client_;
  std::vector<uint8_t> buffer_;
};
