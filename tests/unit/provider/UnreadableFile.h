#pragma once

#include <filesystem>
#include <functional>

// Keeps this process from reading an existing file for the guard's scope, as
// far as the platform lets a test do that: no read permission on Linux, an
// exclusive open on Windows.
class UnreadableFile {
 public:
  explicit UnreadableFile(const std::filesystem::path& path);
  ~UnreadableFile() {
    if (undo_) undo_();
  }
  UnreadableFile(const UnreadableFile&) = delete;
  UnreadableFile& operator=(const UnreadableFile&) = delete;

  // False when the file stayed readable (a privileged process reads anything).
  bool active() const { return active_; }

 private:
  std::function<void()> undo_;
  bool active_ = false;
};
