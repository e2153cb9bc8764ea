#pragma once

#include <filesystem>
#include <functional>

// Keeps the calling thread from reading an existing file for the guard's
// scope: no read permission on Linux (and, as root, the thread's file-system
// identity switched to nobody), an exclusive open on Windows.
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
