#include "service/App.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/OptionMap.h"
#include "common/WideString.h"
#include "fakes/FakeModuleInfo.h"
#include "fakes/FakeRegistry.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"
#include "sys/ScopedFake.h"

namespace {

const std::string kEnd = VK_TEXT_LINE_END;
const std::u16string kRecordKey = u"Software\\Velkara Software\\Velkara Backup";

class AppTest : public ::testing::Test {
 protected:
  AppTest() : moduleFake_(module_), registryFake_(registry_) { module_.setVersions(0x00010000, 0x00000001, 0, 2); }
  void TearDown() override { closeDebugLog(); }

  // Starts the service with these start arguments.
  void startup(const std::vector<std::u16string>& arguments) { App::startup(OptionMap(arguments, u'-', 0)); }
  std::u16string logPath() const { return dir_.file(u"service.log"); }
  std::string logText() const { return readFileBytes(std::filesystem::path(logPath())); }

  TempDir dir_;
  FakeModuleInfo module_;
  sys::ScopedFake<sys::ModuleInfo> moduleFake_;
  FakeRegistry registry_;
  sys::ScopedFake<sys::Registry> registryFake_;
};

}  // namespace

TEST_F(AppTest, TheLogOptionOpensTheLogWithTheVersionReport) {
  startup({u"-log", logPath()});
  ASSERT_TRUE(debugLogIsOpen());
  closeDebugLog();
  EXPECT_EQ(logText(), kEnd + "[VERSION INFO]" + kEnd + "\t exe_name=" + wide::toUtf8(module_.path) + kEnd +
                           "\t\t file_ver=1.0.0.1" + kEnd + "\t\t product_ver=0.0.0.2" + kEnd + "[VERSION INFO]" +
                           kEnd);
}

TEST_F(AppTest, StartArgumentsThatGiveTheLogNoPathOpenNone) {
  const std::u16string missingDirectory = dir_.file(u"missing/service.log");
  const std::vector<std::vector<std::u16string>> cases = {
      {},
      {u"-log"},                    // no value
      {u"-log", u"-other"},         // the next word is an option
      {u"-log=" + logPath()},       // one word: an option of that whole name
      {u"-log", missingDirectory},  // cannot be opened
      {u"-Log", logPath()},         // options are case-sensitive
  };
  for (const std::vector<std::u16string>& arguments : cases) {
    SCOPED_TRACE(arguments.empty() ? std::string("none") : wide::toUtf8(arguments.front()));
    startup(arguments);
    EXPECT_FALSE(debugLogIsOpen());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(logPath())));
  }
}

TEST_F(AppTest, ShutdownEmptiesTheRecordAndEndsTheLogWithItsLastLine) {
  startup({u"-log", logPath()});
  ASSERT_TRUE(debugLogIsOpen());
  App::shutdown();
  EXPECT_FALSE(debugLogIsOpen());

  const std::string text = logText();
  const std::string last = "App::shutdown OK" + kEnd;
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  const size_t dropped = text.find("VolumeDeviceNotificator::drop" + kEnd);
  const size_t probesEnded = text.find("VolumeDeviceNotificatorThread::shutdown OK" + kEnd);
  EXPECT_NE(dropped, std::string::npos) << text;
  EXPECT_NE(probesEnded, std::string::npos) << text;
  EXPECT_LT(dropped, probesEnded) << text;
  EXPECT_EQ(registry_.value(kRecordKey, u"MountedVolumeID"), (FakeRegistry::Value{sys::Registry::REG_SZ, {0, 0}}));
  EXPECT_EQ(registry_.value(kRecordKey, u"MountedDeviceName"), (FakeRegistry::Value{sys::Registry::REG_SZ, {0, 0}}));
  EXPECT_EQ(registry_.value(kRecordKey, u"MountedDrives"),
            (FakeRegistry::Value{sys::Registry::REG_MULTI_SZ, {0, 0, 0, 0}}));
}
