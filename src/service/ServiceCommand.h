#pragma once

#include <span>
#include <string>

// What the program's command line asks for: one of the registration
// commands, or to serve. A word is an option when it begins with '-' or '/';
// option names are compared without regard to case. Scanning from the left,
// the first of RegServer, UnregServer, RegServerPerUser and
// UnregServerPerUser decides; Service counts only when none of those four is
// given. Any other word is a start argument of the service.
enum class ServiceCommand { Serve, RegServer, Service, UnregServer, RegServerPerUser, UnregServerPerUser };

ServiceCommand parseServiceCommand(std::span<const std::string> words);
