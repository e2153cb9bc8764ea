#pragma once

#include <filesystem>
#include <string>

// A directory of its own for one test, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The UTF-16 path of `name` inside the directory.
  std::u16string file(const std::u16string& name) const;

 private:
  std::filesystem::path path_;
};

// The whole content of a file as bytes; empty when it cannot be read.
std::string readFileBytes(const std::filesystem::path& path);
