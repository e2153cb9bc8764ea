#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>

// The service's registration on Linux: the files through which the system
// bus lets clients reach it and starts it, installed below a root directory
// ("/" for the system) and removed again.
//
//   bus policy       etc/dbus-1/system.d/com.velkara.MountService.conf
//   bus activation   usr/local/share/dbus-1/system-services/com.velkara.MountService.service
//   systemd unit     etc/systemd/system/vkbvd-service.service
//
// "RegServer" installs the policy and an activation file by which the bus
// starts the program itself, and removes an installed unit (as on Windows it
// removes an installed service). "Service" installs all three, the activation
// file having systemd start the unit. "UnregServer" removes all three. The
// files name the program by its path. Each file is written whole (a new file
// renamed into place), mode 0644; each step is told on `out`, each failure
// on `err`.
class Registration {
 public:
  static constexpr std::string_view kPolicyFile = "etc/dbus-1/system.d/com.velkara.MountService.conf";
  static constexpr std::string_view kActivationFile =
      "usr/local/share/dbus-1/system-services/com.velkara.MountService.service";
  static constexpr std::string_view kUnitFile = "etc/systemd/system/vkbvd-service.service";
  static constexpr std::string_view kUnitName = "vkbvd-service.service";

  Registration(std::filesystem::path root, std::string program, std::ostream& out, std::ostream& err);

  // Each is true when every step succeeded.
  bool registerServer();
  bool registerService();
  bool unregisterServer();

 private:
  // The program's path as the files can name it: absolute, and without what
  // the activation file or the unit would read otherwise (blanks, quotes,
  // backslashes, '%', '$').
  bool programIsNameable();
  // A template with the program and the activation's systemd line filled in.
  std::string fill(std::string_view text, std::string_view systemdLine) const;
  bool install(std::string_view file, const std::string& content);
  bool remove(std::string_view file);
  bool fail(const std::string& what, int error);

  const std::filesystem::path root_;
  const std::string program_;
  std::ostream& out_;
  std::ostream& err_;
};
