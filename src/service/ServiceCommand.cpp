#include "service/ServiceCommand.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

struct Name {
  std::string_view text;
  ServiceCommand command;
};

// The commands that decide when they come first; "Service" is not among them.
constexpr Name kRegistrationCommands[] = {
    {"RegServer", ServiceCommand::RegServer},
    {"UnregServer", ServiceCommand::UnregServer},
    {"RegServerPerUser", ServiceCommand::RegServerPerUser},
    {"UnregServerPerUser", ServiceCommand::UnregServerPerUser},
};

bool isOption(std::string_view word, std::string_view name) {
  if (word.empty() || (word.front() != '-' && word.front() != '/')) return false;
  word.remove_prefix(1);
  return std::equal(word.begin(), word.end(), name.begin(), name.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

}  // namespace

ServiceCommand parseServiceCommand(std::span<const std::string> words) {
  bool service = false;
  for (const std::string& word : words) {
    for (const Name& name : kRegistrationCommands) {
      if (isOption(word, name.text)) return name.command;
    }
    service = service || isOption(word, "Service");
  }
  return service ? ServiceCommand::Service : ServiceCommand::Serve;
}
