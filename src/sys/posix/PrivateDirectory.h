#pragma once

#include <string>

#include "sys/posix/UniqueFd.h"

namespace sys::posix {

// A directory of the service's or vkvd's own (a runtime or state directory),
// trusted only when no other user can have put anything in it or can change
// it: it is not a symbolic link, it belongs to the process's effective user
// (or, for Readers::Everyone, to root), nobody else may write to it, and, for
// Readers::OwnerOnly, nobody else may enter it. Every directory above it belongs to root or to that user and may
// be changed by nobody else, unless it is sticky (as /tmp), so that it cannot
// be renamed away and replaced. A missing directory is made (mode 0700, with
// the missing directories above it) when asked for. It is checked through
// the descriptor it is then held open by, so that what is checked is what is
// used: work inside it goes through fd(), or through path() once checked.
class PrivateDirectory {
 public:
  enum class Readers { OwnerOnly, Everyone };
  enum class Missing { Make, Fail };

  // Opens (or makes) and checks the directory `path`.
  PrivateDirectory(const std::string& path, Readers readers, Missing missing);

  bool valid() const { return fd_.valid(); }
  // Why it is not valid: 0 when it is, ENOENT when it is missing (and was
  // not to be made), EACCES when it is refused, or another errno.
  int error() const { return error_; }
  // Why it is not valid, as a clause for a log line ("it belongs to user 12345").
  const std::string& refusal() const { return refusal_; }

  int fd() const { return fd_.get(); }
  // Its path without symbolic links or dots.
  const std::string& path() const { return path_; }

 private:
  bool open(const std::string& path, Readers readers, Missing missing);
  bool openParent(const std::string& parent, UniqueFd& parentFd);
  bool checkParent(int fd, const std::string& path);
  bool check(Readers readers);
  bool fail(int error, std::string refusal);
  // Fails with errno as it is: "<what>: <its description>".
  bool failWithErrno(const std::string& what);

  UniqueFd fd_;
  std::string path_;
  int error_ = 0;
  std::string refusal_;
};

}  // namespace sys::posix
