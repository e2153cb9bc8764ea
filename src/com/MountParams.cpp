#include "com/MountParams.h"

#include "com/OptionMap.h"
#include "service/DebugLog.h"

namespace {

// What the log shows of a password: whether one was given, never its text.
constexpr const char16_t* kPasswordMask = u"********";

std::optional<std::u16string> copyIfGiven(const char16_t* text) {
  if (text == nullptr || *text == 0) return std::nullopt;
  return std::u16string(text);
}

std::optional<std::u16string> copyIfNotNull(const char16_t* text) {
  if (text == nullptr) return std::nullopt;
  return std::u16string(text);
}

const char16_t* orNull(const char16_t* text) { return text ? text : u"NULL"; }

}  // namespace

MountParams::MountParams(const char16_t* imageFilePath, const char16_t* baseImageFilePath, int16_t usingImageEncryption,
                         const char16_t* imageMasterPassword, const char16_t* debugLogPath, const char16_t* tempFile,
                         const char16_t* additionalOpts)
    : fileName_(copyIfGiven(imageFilePath)),
      baseFileName_(copyIfGiven(baseImageFilePath)),
      debugFile_(copyIfGiven(debugLogPath)),
      tempFile_(copyIfNotNull(tempFile)),
      password_(usingImageEncryption != 0 ? copyIfNotNull(imageMasterPassword) : std::nullopt) {
  readOptions(additionalOpts);
  log();
}

void MountParams::readOptions(const char16_t* additionalOpts) {
  if (additionalOpts == nullptr) return;
  const OptionMap options(additionalOpts, u'/', u'=');
  options.getUIntOption(u"/pid", pid_);
  networkImage_ = options.hasOption(u"/network");
}

void MountParams::log() const {
  const char16_t* password = password_ ? (password_->empty() ? u"" : kPasswordMask) : u"NULL";
  debugLog(u"MountParams::MountParams getFileName=%s\n", orNull(getFileName()));
  debugLog(u"MountParams::MountParams getBaseFileName=%s\n", orNull(getBaseFileName()));
  debugLog(u"MountParams::MountParams getDebugFile=%s\n", orNull(getDebugFile()));
  debugLog(u"MountParams::MountParams getTempFile=%s\n", orNull(getTempFile()));
  debugLog(u"MountParams::MountParams getPassword=%s\n", password);
  debugLog(u"MountParams::MountParams getPid=%u\n", pid_);
  debugLog(u"MountParams::MountParams isNetworkImage=%s\n", networkImage_ ? u"true" : u"false");
}
