#include "service/posix/Registration.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr char kProgram[] = "/opt/velkara/sbin/vkbvd-service";

class RegistrationTest : public ::testing::Test {
 protected:
  Registration registration(const std::string& program = kProgram) {
    return Registration(dir_.path(), program, out_, err_);
  }
  fs::path policy() const { return dir_.path() / Registration::kPolicyFile; }
  fs::path activation() const { return dir_.path() / Registration::kActivationFile; }
  fs::path unit() const { return dir_.path() / Registration::kUnitFile; }
  static mode_t modeOf(const fs::path& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
  }
  // The file's lines that do not begin with '#'.
  static std::string settingsOf(const fs::path& path) {
    std::istringstream lines(readFileBytes(path));
    std::string settings;
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with("#")) settings += line + "\n";
    }
    return settings;
  }

  TempDir dir_;
  std::ostringstream out_;
  std::ostringstream err_;
};

}  // namespace

TEST_F(RegistrationTest, ServiceInstallsThePolicyTheUnitAndAnActivationThroughTheUnit) {
  ASSERT_TRUE(registration().registerService()) << err_.str();
  EXPECT_EQ(settingsOf(activation()),
            "[D-BUS Service]\nName=com.velkara.MountService\nExec=/opt/velkara/sbin/vkbvd-service\nUser=root\n"
            "SystemdService=vkbvd-service.service\n");
  const std::string unitText = readFileBytes(unit());
  EXPECT_NE(unitText.find("\nDescription=Erm\u00f6glicht die Einbindung von Velkara Backup-Festplatten-Abbildern als "
                          "Laufwerke.\n"),
            std::string::npos)
      << unitText;
  EXPECT_NE(unitText.find("\nType=dbus\nBusName=com.velkara.MountService\nExecStart=" + std::string(kProgram) + "\n"),
            std::string::npos)
      << unitText;
  const std::string policyText = readFileBytes(policy());
  EXPECT_NE(policyText.find("<policy user=\"root\">\n    <allow own=\"com.velkara.MountService\"/>"),
            std::string::npos);
  EXPECT_NE(policyText.find("<policy group=\"vkbvd\">\n    <allow send_destination=\"com.velkara.MountService\"/>"),
            std::string::npos);
  for (const fs::path& file : {policy(), activation(), unit()}) {
    EXPECT_EQ(modeOf(file), 0644u) << file;
    EXPECT_NE(out_.str().find("installed " + file.string() + "\n"), std::string::npos) << out_.str();
  }
  EXPECT_EQ(readFileBytes(policy()), readFileBytes(fs::path(VK_PACKAGING_DIR) / "com.velkara.MountService.conf"));
}

// As on Windows RegServer removes an installed service, it removes the unit:
// the bus then starts the program itself.
TEST_F(RegistrationTest, RegServerInstallsAnActivationByTheBusAloneAndRemovesTheUnit) {
  ASSERT_TRUE(registration().registerService());
  ASSERT_TRUE(registration().registerServer()) << err_.str();
  EXPECT_FALSE(fs::exists(unit()));
  EXPECT_TRUE(fs::exists(policy()));
  EXPECT_EQ(settingsOf(activation()),
            "[D-BUS Service]\nName=com.velkara.MountService\nExec=/opt/velkara/sbin/vkbvd-service\nUser=root\n");
  EXPECT_NE(out_.str().find("removed " + unit().string() + "\n"), std::string::npos) << out_.str();
}

TEST_F(RegistrationTest, UnregServerRemovesWhateverIsInstalled) {
  ASSERT_TRUE(registration().registerService());
  ASSERT_TRUE(registration().unregisterServer()) << err_.str();
  for (const fs::path& file : {policy(), activation(), unit()}) EXPECT_FALSE(fs::exists(file)) << file;
  // Nothing installed: nothing to do, and no failure.
  ASSERT_TRUE(registration().unregisterServer()) << err_.str();
  EXPECT_EQ(err_.str(), "");
}

TEST_F(RegistrationTest, AProgramPathTheFilesCannotNameIsRefusedBeforeAnythingIsWritten) {
  for (const std::string program : {"vkbvd-service", "/opt/my tools/vkbvd-service", "/opt/100%/vkbvd-service",
                                    "/opt/$HOME/vkbvd-service", "/opt/\"q\"/vkbvd-service", ""}) {
    SCOPED_TRACE(program);
    EXPECT_FALSE(registration(program).registerService());
    EXPECT_FALSE(registration(program).registerServer());
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "etc"));
  EXPECT_FALSE(fs::exists(dir_.path() / "usr"));
  EXPECT_NE(err_.str().find("must be absolute"), std::string::npos) << err_.str();
}

TEST_F(RegistrationTest, AFileThatCannotBeWrittenFailsTheCommandWithTheReason) {
  std::ofstream(dir_.path() / "etc") << "a file where a directory belongs";
  EXPECT_FALSE(registration().registerService());
  EXPECT_NE(err_.str().find("cannot make " + (dir_.path() / "etc/dbus-1/system.d").string()), std::string::npos)
      << err_.str();
  EXPECT_FALSE(fs::exists(activation()));
}
