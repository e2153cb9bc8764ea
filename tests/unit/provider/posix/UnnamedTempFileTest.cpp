#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "ProviderTestSupport.h"
#include "provider/ImageFile.h"

using namespace vsimgpvd;

namespace {

// Sets TMPDIR for the guard's scope.
class ScopedTmpDir {
 public:
  explicit ScopedTmpDir(const std::string& value) {
    if (const char* old = getenv("TMPDIR")) previous_ = old;
    setenv("TMPDIR", value.c_str(), 1);
  }
  ~ScopedTmpDir() {
    if (previous_) {
      setenv("TMPDIR", previous_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }
  ScopedTmpDir(const ScopedTmpDir&) = delete;
  ScopedTmpDir& operator=(const ScopedTmpDir&) = delete;

 private:
  std::optional<std::string> previous_;
};

bool isEmpty(const std::filesystem::path& directory) { return std::filesystem::is_empty(directory); }

// Writes at a far offset and reads it back.
void expectUsable(ImageFile& file) {
  const std::string bytes = patternBytes(5000, 3);
  ASSERT_EQ(file.writeAt(bytes.data(), 1 << 30, 5000), 5000u);
  std::string back(5000, '\0');
  ASSERT_EQ(file.readAt(back.data(), 1 << 30, 5000), 5000u);
  EXPECT_EQ(back, bytes);
}

}  // namespace

TEST_F(ProviderTest, UnnamedTempFileLeavesNoNameInTmpDir) {
  ScopedTmpDir tmp(dir_.path().string());
  std::unique_ptr<ImageFile> file = createUnnamedTempFile();
  ASSERT_NE(file, nullptr);
  expectUsable(*file);
  EXPECT_TRUE(isEmpty(dir_.path()));
  file.reset();
  EXPECT_TRUE(isEmpty(dir_.path()));
}

TEST_F(ProviderTest, UnnamedTempFileFallsBackWhenTmpDirIsMissing) {
  const std::filesystem::path missing = dir_.path() / "missing";
  ScopedTmpDir tmp(missing.string());
  std::unique_ptr<ImageFile> file = createUnnamedTempFile();
  ASSERT_NE(file, nullptr);
  expectUsable(*file);
  EXPECT_FALSE(std::filesystem::exists(missing));
}
