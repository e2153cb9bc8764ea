#pragma once

#include <cstdint>
#include <string>

// The arguments of a Mount call as the mount service object takes them. A
// D-Bus string cannot be null, so the empty string stands for a null
// argument (an empty temp file cannot be told from none), except for the
// password when the encryption flag is set: the flag says a password is
// given, so an empty one is the empty password. The strings come as UTF-8
// and go on as UTF-16, and the encryption flag becomes a VARIANT_BOOL.
// mount_tag and callback_context play no part and are not kept.
class MountArguments {
 public:
  MountArguments(const std::string& imageFilePath, const std::string& baseImageFilePath, bool usingImageEncryption,
                 const std::string& imageMasterPassword, const std::string& debugLogPath, const std::string& tempFile,
                 const std::string& additionalOpts);

  // Null for an empty argument (the password only without the encryption
  // flag); valid while this object lives.
  const char16_t* imageFilePath() const { return orNull(imageFilePath_); }
  const char16_t* baseImageFilePath() const { return orNull(baseImageFilePath_); }
  int16_t usingImageEncryption() const { return usingImageEncryption_; }
  const char16_t* imageMasterPassword() const {
    return usingImageEncryption_ == kVariantTrue ? imageMasterPassword_.c_str() : orNull(imageMasterPassword_);
  }
  const char16_t* debugLogPath() const { return orNull(debugLogPath_); }
  const char16_t* tempFile() const { return orNull(tempFile_); }
  const char16_t* additionalOpts() const { return orNull(additionalOpts_); }

  static constexpr int16_t kVariantTrue = -1;
  static constexpr int16_t kVariantFalse = 0;

 private:
  static const char16_t* orNull(const std::u16string& text) { return text.empty() ? nullptr : text.c_str(); }

  std::u16string imageFilePath_;
  std::u16string baseImageFilePath_;
  int16_t usingImageEncryption_;
  std::u16string imageMasterPassword_;
  std::u16string debugLogPath_;
  std::u16string tempFile_;
  std::u16string additionalOpts_;
};
