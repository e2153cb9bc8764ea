#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

// One file of FUSE that passes reads straight to another file: the raw image
// served as vkvd serves its disk (low-level libfuse, one thread, direct I/O,
// reads of up to 1 MiB), with nothing between FUSE and the image. With a loop
// device on it, it is the cost of FUSE and loop alone.
class FusePassthrough {
 public:
  // Serves `imagePath` as `mountPoint`/image (the directory is made).
  FusePassthrough(const std::string& imagePath, const std::string& mountPoint);
  ~FusePassthrough();
  FusePassthrough(const FusePassthrough&) = delete;
  FusePassthrough& operator=(const FusePassthrough&) = delete;

  // The served file's path; empty when it could not be mounted.
  std::string filePath() const;

  struct Session;

 private:
  std::unique_ptr<Session> session_;
  std::thread serving_;
};
