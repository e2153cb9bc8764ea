#include "ClientArguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Arguments = std::vector<std::string>;

ClientArguments parsed(const Arguments& arguments) {
  ClientArguments result;
  std::string error;
  EXPECT_TRUE(ClientArguments::parse(arguments, result, error)) << error;
  return result;
}

TEST(ClientArguments, MountTakesEachOptionAsNextArgumentOrAfterEquals) {
  const ClientArguments mount = parsed({"mount", "--base", "b.img", "--password-file=pw", "--temp", "t", "img",
                                        "--log=l", "--options", "/pid 12 /network"});
  EXPECT_EQ(mount.command, ClientCommand::Mount);
  EXPECT_EQ(mount.image, "img");
  EXPECT_EQ(mount.baseImage, "b.img");
  EXPECT_EQ(mount.passwordFile, "pw");
  EXPECT_FALSE(mount.askPassword);
  EXPECT_EQ(mount.tempFile, "t");
  EXPECT_EQ(mount.logFile, "l");
  EXPECT_EQ(mount.options, "/pid 12 /network");
}

TEST(ClientArguments, CommandsAndHelp) {
  EXPECT_EQ(parsed({"umount"}).command, ClientCommand::Umount);
  EXPECT_EQ(parsed({"list"}).command, ClientCommand::List);
  EXPECT_EQ(parsed({"help"}).command, ClientCommand::Help);
  EXPECT_EQ(parsed({"mount", "img", "--help"}).command, ClientCommand::Help);
  EXPECT_TRUE(parsed({"mount", "img", "--ask-password"}).askPassword);
  // After "--" an argument is the image, whatever it looks like; a lone "-" is one too.
  EXPECT_EQ(parsed({"mount", "--", "--help"}).image, "--help");
  EXPECT_EQ(parsed({"mount", "-"}).image, "-");
  EXPECT_EQ(parsed({"mount", "help"}).image, "help");
  EXPECT_EQ(parsed({"mount", "img", "--options="}).options, "");
}

TEST(ClientArguments, RefusesWhatMakesNoCommand) {
  const struct {
    Arguments arguments;
    const char* error;
  } cases[] = {
      {{}, "no command given"},
      {{"mnt"}, "unknown command 'mnt'"},
      {{"mount"}, "mount needs the image to mount"},
      {{"mount", ""}, "the image path is empty"},
      {{"mount", "a", "b"}, "mount takes one image; 'b' is one more"},
      {{"mount", "img", "--base"}, "--base needs a value"},
      {{"mount", "img", "--temp="}, "--temp needs a value"},
      {{"mount", "img", "--log", ""}, "--log needs a value"},
      {{"mount", "img", "--base", "x", "--base=y"}, "--base is given twice"},
      {{"mount", "img", "--ask-password", "--password-file", "f"},
       "--password-file and --ask-password exclude each other"},
      {{"mount", "img", "--ask-password=yes"}, "unknown option '--ask-password=yes'"},
      {{"mount", "img", "--readonly"}, "unknown option '--readonly'"},
      {{"umount", "img"}, "umount takes no arguments"},
      {{"list", "--all"}, "list takes no arguments"},
  };
  for (const auto& test : cases) {
    ClientArguments result;
    std::string error;
    EXPECT_FALSE(ClientArguments::parse(test.arguments, result, error)) << test.error;
    EXPECT_EQ(error, test.error);
  }
}

}  // namespace
