#include "sys/posix/ErrnoMapping.h"

#include <cerrno>

#include "common/WinError.h"

namespace sys::posix {

uint32_t winErrorFromErrno(int error) {
  switch (error) {
    case 0: return WinError::Success;
    case ENOENT: return WinError::FileNotFound;
    case ENOTDIR: return WinError::PathNotFound;
    case EMFILE:
    case ENFILE: return WinError::TooManyOpenFiles;
    case EACCES:
    case EPERM: return WinError::AccessDenied;
    case ENOMEM: return WinError::NotEnoughMemory;
    case EROFS: return WinError::WriteProtect;
    case EBUSY:
    case ETXTBSY: return WinError::SharingViolation;
    case EEXIST: return WinError::FileExists;
    case ENOSPC:
    case EDQUOT: return WinError::DiskFull;
    case ENAMETOOLONG: return WinError::FilenameExceedsRange;
    case ELOOP: return WinError::CantResolveFilename;  // a link refused on the way
    case EISDIR: return WinError::AccessDenied;
    case EINVAL: return WinError::InvalidParameter;
    case ENOSYS:
    case EOPNOTSUPP: return WinError::NotSupported;
    default: return WinError::InvalidFunction;
  }
}

}  // namespace sys::posix
