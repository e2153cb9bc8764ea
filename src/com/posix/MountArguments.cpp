#include "com/posix/MountArguments.h"

#include "common/WideString.h"

MountArguments::MountArguments(const std::string& imageFilePath, const std::string& baseImageFilePath,
                               bool usingImageEncryption, const std::string& imageMasterPassword,
                               const std::string& debugLogPath, const std::string& tempFile,
                               const std::string& additionalOpts)
    : imageFilePath_(wide::fromUtf8(imageFilePath)),
      baseImageFilePath_(wide::fromUtf8(baseImageFilePath)),
      usingImageEncryption_(usingImageEncryption ? kVariantTrue : kVariantFalse),
      imageMasterPassword_(wide::fromUtf8(imageMasterPassword)),
      debugLogPath_(wide::fromUtf8(debugLogPath)),
      tempFile_(wide::fromUtf8(tempFile)),
      additionalOpts_(wide::fromUtf8(additionalOpts)) {}
