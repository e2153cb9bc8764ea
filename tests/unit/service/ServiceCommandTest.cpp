#include "service/ServiceCommand.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(ServiceCommandTest, TheFirstRegistrationCommandDecidesAndServiceOnlyWithoutOne) {
  struct Case {
    std::vector<std::string> words;
    ServiceCommand command;
  };
  const Case cases[] = {
      {{}, ServiceCommand::Serve},
      {{"-log", "/var/log/vkbvd.log"}, ServiceCommand::Serve},
      {{"-RegServer"}, ServiceCommand::RegServer},
      {{"/regserver"}, ServiceCommand::RegServer},
      {{"-SERVICE"}, ServiceCommand::Service},
      {{"/Service", "-log", "x"}, ServiceCommand::Service},
      {{"-UnregServer"}, ServiceCommand::UnregServer},
      {{"-RegServerPerUser"}, ServiceCommand::RegServerPerUser},
      {{"/UnregServerPerUser"}, ServiceCommand::UnregServerPerUser},
      // Scanning from the left, the first registration command decides.
      {{"-UnregServer", "-RegServer"}, ServiceCommand::UnregServer},
      {{"-RegServer", "-UnregServer"}, ServiceCommand::RegServer},
      // Service counts only when no other registration command is given, wherever it stands.
      {{"-Service", "-UnregServer"}, ServiceCommand::UnregServer},
      {{"-RegServer", "-Service"}, ServiceCommand::RegServer},
      // Only options count, and only whole names.
      {{"RegServer"}, ServiceCommand::Serve},
      {{"-RegServerX"}, ServiceCommand::Serve},
      {{"--RegServer"}, ServiceCommand::Serve},
      {{"-Reg"}, ServiceCommand::Serve},
      {{"-log", "-Service"}, ServiceCommand::Service},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& word : c.words) line += word + " ";
    SCOPED_TRACE(line);
    EXPECT_EQ(parseServiceCommand(c.words), c.command);
  }
}
