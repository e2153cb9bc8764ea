#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "ProviderTestSupport.h"
#include "provider/ImageFile.h"

using namespace vsimgpvd;

namespace {

// Points the temp path (TMP, read first) at a directory for the guard's scope.
class ScopedTmp {
 public:
  explicit ScopedTmp(const std::filesystem::path& directory) {
    wchar_t old[MAX_PATH + 1];
    const DWORD length = GetEnvironmentVariableW(L"TMP", old, MAX_PATH + 1);
    if (length > 0 && length <= MAX_PATH) previous_ = std::wstring(old, length);
    SetEnvironmentVariableW(L"TMP", directory.wstring().c_str());
  }
  ~ScopedTmp() { SetEnvironmentVariableW(L"TMP", previous_ ? previous_->c_str() : nullptr); }
  ScopedTmp(const ScopedTmp&) = delete;
  ScopedTmp& operator=(const ScopedTmp&) = delete;

 private:
  std::optional<std::wstring> previous_;
};

size_t entries(const std::filesystem::path& directory) {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator(directory), std::filesystem::directory_iterator()));
}

}  // namespace

TEST_F(ProviderTest, UnnamedTempFileIsUnsharedAndGoesWithItsHandle) {
  ScopedTmp tmp(dir_.path());
  std::unique_ptr<ImageFile> file = createUnnamedTempFile();
  ASSERT_NE(file, nullptr);
  const std::string bytes = patternBytes(5000, 3);
  ASSERT_EQ(file->writeAt(bytes.data(), 1 << 30, 5000), 5000u);
  std::string back(5000, '\0');
  ASSERT_EQ(file->readAt(back.data(), 1 << 30, 5000), 5000u);
  EXPECT_EQ(back, bytes);

  ASSERT_EQ(entries(dir_.path()), 1u);
  const std::filesystem::path name = std::filesystem::directory_iterator(dir_.path())->path();
  HANDLE other =
      CreateFileW(name.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE) << "no one else opens it";
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);

  file.reset();
  EXPECT_EQ(entries(dir_.path()), 0u);
}
