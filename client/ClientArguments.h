#pragma once

#include <string>
#include <vector>

enum class ClientCommand { Help, Mount, Umount, List };

// What vkbvd's command line asks for:
//   vkbvd mount IMAGE [--base IMAGE] [--password-file FILE | --ask-password]
//                     [--temp FILE] [--log FILE] [--options TEXT]
//   vkbvd umount
//   vkbvd list
// An option's value follows it as the next argument or after '=' in the
// same one; "--" ends the options.
struct ClientArguments {
  ClientCommand command = ClientCommand::Help;
  std::string image;
  std::string baseImage;
  std::string passwordFile;
  bool askPassword = false;
  std::string tempFile;
  std::string logFile;
  std::string options;

  // Parses the arguments that follow the program's name; false with a
  // sentence for the user when they make no valid command.
  static bool parse(const std::vector<std::string>& arguments, ClientArguments& parsed, std::string& error);
  // The usage text.
  static const char* usage();
};
