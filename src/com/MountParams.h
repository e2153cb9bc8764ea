#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The arguments of one mount call as owned copies, with what counts as given
// decided, and the two options the mount understands read from the free-form
// options ("/pid" with a process id, "/network"). Every value is written to
// the debug log; the password only as a mask. Belongs to the call that makes it.
class MountParams {
 public:
  // `usingImageEncryption` is a VARIANT_BOOL: any non-zero value is true.
  MountParams(const char16_t* imageFilePath, const char16_t* baseImageFilePath, int16_t usingImageEncryption,
              const char16_t* imageMasterPassword, const char16_t* debugLogPath, const char16_t* tempFile,
              const char16_t* additionalOpts);

  // Each string is null when absent.
  const char16_t* getFileName() const { return text(fileName_); }
  const char16_t* getBaseFileName() const { return text(baseFileName_); }
  const char16_t* getDebugFile() const { return text(debugFile_); }
  const char16_t* getTempFile() const { return text(tempFile_); }
  const char16_t* getPassword() const { return text(password_); }
  uint32_t getPid() const { return pid_; }
  bool isNetworkImage() const { return networkImage_; }

 private:
  static const char16_t* text(const std::optional<std::u16string>& value) { return value ? value->c_str() : nullptr; }
  void readOptions(const char16_t* additionalOpts);
  void log() const;

  std::optional<std::u16string> fileName_;
  std::optional<std::u16string> baseFileName_;
  std::optional<std::u16string> debugFile_;
  std::optional<std::u16string> tempFile_;
  std::optional<std::u16string> password_;
  uint32_t pid_ = 0;
  bool networkImage_ = false;
};
