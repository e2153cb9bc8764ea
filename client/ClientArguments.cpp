#include "ClientArguments.h"

#include <string_view>

namespace {

bool isHelpOption(std::string_view argument) { return argument == "-h" || argument == "--help"; }

// The field of `parsed` that an option with a value fills; null for others.
std::string* valueOption(std::string_view name, ClientArguments& parsed) {
  if (name == "--base") return &parsed.baseImage;
  if (name == "--password-file") return &parsed.passwordFile;
  if (name == "--temp") return &parsed.tempFile;
  if (name == "--log") return &parsed.logFile;
  if (name == "--options") return &parsed.options;
  return nullptr;
}

bool fail(std::string& error, std::string text) {
  error = std::move(text);
  return false;
}

bool parseMount(const std::vector<std::string>& arguments, ClientArguments& parsed, std::string& error) {
  std::vector<std::string_view> seen;
  bool optionsEnded = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      if (!parsed.image.empty()) {
        return fail(error, "mount takes one image; '" + std::string(argument) + "' is one more");
      }
      if (argument.empty()) return fail(error, "the image path is empty");
      parsed.image = argument;
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    const size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    for (std::string_view earlier : seen) {
      if (earlier == name) return fail(error, std::string(name) + " is given twice");
    }
    seen.push_back(name);
    if (name == "--ask-password" && equals == std::string_view::npos) {
      parsed.askPassword = true;
      continue;
    }
    std::string* value = valueOption(name, parsed);
    if (!value) return fail(error, "unknown option '" + std::string(argument) + "'");
    if (equals != std::string_view::npos) {
      *value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      *value = arguments[++i];
    } else {
      return fail(error, std::string(name) + " needs a value");
    }
    if (value->empty() && name != "--options") return fail(error, std::string(name) + " needs a value");
  }
  if (parsed.image.empty()) return fail(error, "mount needs the image to mount");
  if (parsed.askPassword && !parsed.passwordFile.empty()) {
    return fail(error, "--password-file and --ask-password exclude each other");
  }
  return true;
}

}  // namespace

bool ClientArguments::parse(const std::vector<std::string>& arguments, ClientArguments& parsed, std::string& error) {
  parsed = ClientArguments();
  if (arguments.empty()) return fail(error, "no command given");
  if (arguments.front() == "help") return true;
  for (const std::string& argument : arguments) {
    if (argument == "--") break;
    if (isHelpOption(argument)) return true;
  }
  const std::string& command = arguments.front();
  if (command == "mount") {
    parsed.command = ClientCommand::Mount;
    return parseMount(arguments, parsed, error);
  }
  if (command != "umount" && command != "list") return fail(error, "unknown command '" + command + "'");
  parsed.command = command == "umount" ? ClientCommand::Umount : ClientCommand::List;
  if (arguments.size() > 1) return fail(error, command + " takes no arguments");
  return true;
}

const char* ClientArguments::usage() {
  return "usage: vkbvd mount IMAGE [--base IMAGE] [--password-file FILE | --ask-password]\n"
         "                         [--temp FILE] [--log FILE] [--options TEXT]\n"
         "       vkbvd umount\n"
         "       vkbvd list\n"
         "\n"
         "  mount     mounts the backup image IMAGE as a disk and prints its volume's\n"
         "            device and mount points\n"
         "    --base IMAGE          the base image of an incremental image\n"
         "    --password-file FILE  the image's password: the file's first line\n"
         "    --ask-password        asks for the image's password on the terminal\n"
         "    --temp FILE           keeps the disk's writes in FILE\n"
         "    --log FILE            the image provider's debug log\n"
         "    --options TEXT        further mount options (/pid N, /network)\n"
         "  umount    unmounts the mounted image and checks that its disk is gone\n"
         "  list      shows the mounted image, its volume's device and mount points\n";
}
