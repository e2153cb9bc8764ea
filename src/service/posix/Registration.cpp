#include "service/posix/Registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "RegistrationFiles.h"
#include "sys/posix/UniqueFd.h"
#include "sys/posix/WriteAll.h"

namespace fs = std::filesystem;
using sys::posix::UniqueFd;

namespace {

constexpr mode_t kFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;  // 0644
constexpr std::string_view kProgramPlaceholder = "@VKBVD_SERVICE_PROGRAM@";
constexpr std::string_view kSystemdPlaceholder = "@VKBVD_SYSTEMD_SERVICE@";
constexpr std::string_view kNoSystemd = "# No systemd unit: the bus starts the program itself.";

void replaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
  for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
}

}  // namespace

Registration::Registration(fs::path root, std::string program, std::ostream& out, std::ostream& err)
    : root_(std::move(root)), program_(std::move(program)), out_(out), err_(err) {}

bool Registration::registerServer() {
  if (!programIsNameable()) return false;
  const bool removed = remove(kUnitFile);
  return install(kPolicyFile, std::string(registration_files::kBusPolicy)) &&
         install(kActivationFile, fill(registration_files::kBusActivation, kNoSystemd)) && removed;
}

bool Registration::registerService() {
  if (!programIsNameable()) return false;
  const std::string systemdLine = "SystemdService=" + std::string(kUnitName);
  return install(kPolicyFile, std::string(registration_files::kBusPolicy)) &&
         install(kUnitFile, fill(registration_files::kSystemdUnit, systemdLine)) &&
         install(kActivationFile, fill(registration_files::kBusActivation, systemdLine));
}

bool Registration::unregisterServer() {
  // Each goes even when another cannot.
  const bool activation = remove(kActivationFile);
  const bool unit = remove(kUnitFile);
  const bool policy = remove(kPolicyFile);
  return activation && unit && policy;
}

bool Registration::programIsNameable() {
  if (!program_.empty() && program_.front() == '/' && program_.find_first_of(" \t\n\r\"'\\%$") == std::string::npos) {
    return true;
  }
  err_ << "cannot register " << program_
       << ": the files name the program by its path, which must be absolute and hold no blanks, quotes, "
          "backslashes, '%' or '$'\n";
  return false;
}

std::string Registration::fill(std::string_view text, std::string_view systemdLine) const {
  std::string filled(text);
  replaceAll(filled, kProgramPlaceholder, program_);
  replaceAll(filled, kSystemdPlaceholder, systemdLine);
  return filled;
}

bool Registration::install(std::string_view file, const std::string& content) {
  const fs::path path = root_ / file;
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  if (error) return fail("cannot make " + path.parent_path().string(), error.value());
  const fs::path temp = path.string() + ".new" + std::to_string(getpid());
  const UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kFileMode));
  if (!fd.valid()) return fail("cannot write " + path.string(), errno);
  // Whatever the umask: every user reads these files.
  if (fchmod(fd.get(), kFileMode) != 0 || !sys::posix::writeAll(fd.get(), content) || fsync(fd.get()) != 0 ||
      rename(temp.c_str(), path.c_str()) != 0) {
    const int failure = errno;
    unlink(temp.c_str());
    return fail("cannot write " + path.string(), failure);
  }
  out_ << "installed " << path.string() << "\n";
  return true;
}

bool Registration::remove(std::string_view file) {
  const fs::path path = root_ / file;
  if (unlink(path.c_str()) != 0) return errno == ENOENT || fail("cannot remove " + path.string(), errno);
  out_ << "removed " << path.string() << "\n";
  return true;
}

bool Registration::fail(const std::string& what, int error) {
  err_ << what << ": " << std::strerror(error) << "\n";
  return false;
}
