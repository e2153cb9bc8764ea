#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "DriverLog.h"
#include "SectorChannel.h"
#include "common/Thread.h"
#include "sys/posix/UniqueFd.h"

// The disk as a file: a FUSE file system of vkvd's own holding one file,
// "disk", of the disk's size. The file is opened for direct I/O, so that
// every read and write of it becomes sector requests to the service (no
// page cache in between). Requests are served one at a time on the file
// system's own thread. It is mounted on, and its file opened through,
// descriptors, and unmounted by a path that follows no symbolic link. Not
// thread-safe; the owner mounts and unmounts.
class FuseDisk {
 public:
  static constexpr const char* kFileName = "disk";
  // How long unmounting waits for the thread: longer than one sector request
  // sent twice (a dropped one is sent once more), each within its bound.
  static constexpr std::chrono::milliseconds kStopWait{25000};

  // Mounts the file system on the directory `mountPoint` (a descriptor),
  // whose path is `mountPointPath`, and starts serving it; null with
  // `error` (an errno) when it cannot.
  static std::unique_ptr<FuseDisk> mount(int mountPoint, const std::string& mountPointPath, uint64_t size,
                                         std::unique_ptr<SectorChannel> channel, std::shared_ptr<DriverLog> log,
                                         int& error);
  // Stops the thread, which unmounts (lazily) as it ends, waiting for it at
  // most kStopWait; a thread still busy then ends, and unmounts, by itself.
  ~FuseDisk();
  FuseDisk(const FuseDisk&) = delete;
  FuseDisk& operator=(const FuseDisk&) = delete;

  std::string filePath() const;
  // Opens the disk's file for reading and writing; invalid with errno set.
  sys::posix::UniqueFd openFile() const;

  // What the thread and the request handlers share; it lives as long as
  // either the owner or the thread holds it.
  struct Session;

 private:
  FuseDisk(sys::posix::UniqueFd root, std::shared_ptr<Session> session);
  static void serve(Session& session);

  sys::posix::UniqueFd root_;  // of the mounted file system
  std::shared_ptr<Session> session_;
  Thread thread_;
  bool serving_ = false;
};
