#include "support/TempDir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

// A name that no other test, nor another run of the suite beside this one,
// holds: the directory must be new.
TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  for (;;) {
    const auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
    std::ostringstream name;
    name << "vkbvd-test-" << stamp << "-" << counter++;
    path_ = std::filesystem::temp_directory_path() / name.str();
    if (std::filesystem::create_directory(path_)) return;
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::u16string TempDir::file(const std::u16string& name) const { return (path_ / name).u16string(); }

std::string readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
