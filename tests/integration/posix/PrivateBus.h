#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

// A D-Bus daemon of the test's own, of the system bus's type, listening on a
// socket in `directory`: the system bus's default rules (anyone connects,
// nobody owns a name or calls a method unless a policy says so) and the
// service's policy as packaging/ ships it. Stopped with SIGTERM; one that
// does not end in time is killed. `extraCaller`, when given, names a user
// who may call the service as a member of its group would, so that a test
// can call it as a user other than root without a group on the machine.
class PrivateBus {
 public:
  explicit PrivateBus(const std::filesystem::path& directory, const std::string& extraCaller = {});
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Its address once it accepts connections; empty when it did not come up.
  const std::string& address() const { return address_; }

 private:
  bool accepts(const std::filesystem::path& socket) const;

  pid_t pid_ = -1;
  std::string address_;
};
