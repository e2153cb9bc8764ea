#include "service/VersionInfo.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/WideString.h"
#include "fakes/FakeModuleInfo.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"
#include "sys/Platform.h"
#include "sys/ScopedFake.h"

namespace {

const std::string kEnd = VK_TEXT_LINE_END;

class VersionReportTest : public ::testing::Test {
 protected:
  void TearDown() override { closeDebugLog(); }

  // The log text of one version report.
  std::string report() {
    const std::u16string path = dir_.file(u"version.log");
    openDebugLog(path.c_str());
    VersionInfo::logReport();
    closeDebugLog();
    return readFileBytes(std::filesystem::path(path));
  }

  TempDir dir_;
};

}  // namespace

TEST_F(VersionReportTest, ReportsFourNumberVersionsInWordOrder) {
  FakeModuleInfo module;
  module.setVersions(0x00020001, 0x00030004, 0x00050006, 0x00070008);
  sys::ScopedFake<sys::ModuleInfo> fake(module);

  EXPECT_EQ(report(), kEnd + "[VERSION INFO]" + kEnd +
                          "\t exe_name=C:\\Program Files\\Velkara\\vkbvd_mount_service.exe" + kEnd +
                          "\t\t file_ver=2.1.3.4" + kEnd + "\t\t product_ver=5.6.7.8" + kEnd + "[VERSION INFO]" + kEnd);
}

TEST_F(VersionReportTest, WordsAreSixteenBitDecimal) {
  FakeModuleInfo module;
  module.setVersions(0xFFFF0000, 0x0001FFFF, 0, 0);
  sys::ScopedFake<sys::ModuleInfo> fake(module);
  VersionInfo version;
  ASSERT_TRUE(version.load(module.path));
  EXPECT_EQ(version.fileVersion(), u"65535.0.1.65535");
  EXPECT_EQ(version.productVersion(), u"0.0.0.0");
}

TEST_F(VersionReportTest, LeavesOutVersionsWhenTheyCannotBeRead) {
  struct Case {
    const char* name;
    std::function<void(FakeModuleInfo&)> breakIt;
  };
  const Case cases[] = {
      {"no program path", [](FakeModuleInfo& m) { m.path.clear(); }},
      {"no version data", [](FakeModuleInfo& m) { m.versionData.clear(); }},
      {"read fails", [](FakeModuleInfo& m) { m.readFails = true; }},
      {"query fails", [](FakeModuleInfo& m) { m.queryFails = true; }},
      {"query gives no pointer", [](FakeModuleInfo& m) { m.queryGivesNull = true; }},
      {"query gives length 0", [](FakeModuleInfo& m) { m.queryLength = 0; }},
      {"root block too short", [](FakeModuleInfo& m) { m.queryLength = 20; }},
  };
  for (const auto& c : cases) {
    FakeModuleInfo module;
    module.setVersions(0x00020001, 0x00030004, 0x00020001, 0x00030004);
    c.breakIt(module);
    sys::ScopedFake<sys::ModuleInfo> fake(module);
    EXPECT_EQ(report(), kEnd + "[VERSION INFO]" + kEnd + "\t exe_name=" + wide::toUtf8(module.path) + kEnd +
                            "[VERSION INFO]" + kEnd)
        << c.name;
  }
}

TEST_F(VersionReportTest, NothingIsWrittenWithoutALog) {
  FakeModuleInfo module;
  module.setVersions(1, 2, 3, 4);
  sys::ScopedFake<sys::ModuleInfo> fake(module);
  VersionInfo::logReport();  // no log is open: a no-op, and no crash
  EXPECT_FALSE(debugLogIsOpen());
}

// The real platform: this test program's own path and the project's version,
// from its version resource on Windows and from compiled-in data elsewhere.
TEST_F(VersionReportTest, ReportsThisProgramsOwnVersion) {
  const std::u16string program = sys::platform().moduleInfo().programPath();
  ASSERT_FALSE(program.empty());
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(program)));

  const std::u16string version = VK_PROJECT_VERSION;
  const std::string v = wide::toUtf8(version);
  EXPECT_EQ(report(), kEnd + "[VERSION INFO]" + kEnd + "\t exe_name=" + wide::toUtf8(program) + kEnd +
                          "\t\t file_ver=" + v + kEnd + "\t\t product_ver=" + v + kEnd + "[VERSION INFO]" + kEnd);

  VersionInfo other;
  EXPECT_FALSE(other.load(dir_.file(u"not-a-program.exe")));
}
