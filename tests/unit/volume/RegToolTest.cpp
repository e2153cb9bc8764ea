#include "volume/RegTool.h"

#include <gtest/gtest.h>

#include "fakes/FakeRegistry.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"
#include "sys/ScopedFake.h"

namespace {

using sys::Registry;
using Strings = std::vector<std::u16string>;

const std::u16string kCompanyKey = u"Software\\Velkara Software";
const std::u16string kRecordKey = u"Software\\Velkara Software\\Velkara Backup";
const std::u16string kVolume = u"\\\\?\\Volume{6a1f0c3e-1b2d-4c5e-9f80-1234567890ab}\\";
const std::u16string kDevice = u"\\Device\\HarddiskVolume7";
const std::string kEnd = VK_TEXT_LINE_END;

// The bytes of a REG_SZ or REG_MULTI_SZ: the characters as UTF-16LE.
std::vector<uint8_t> utf16le(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

std::vector<uint8_t> regSz(const std::u16string& text) { return utf16le(text + u'\0'); }

class RegToolTest : public ::testing::Test {
 protected:
  RegToolTest() : registryFake_(registry_) {
    logPath_ = dir_.file(u"reg.log");
    openDebugLog(logPath_.c_str());
  }
  ~RegToolTest() override {
    closeDebugLog();
    EXPECT_TRUE(registry_.openKeys().empty()) << "a key was left open";
  }

  // The log without the empty line that opening it writes.
  std::string log() { return readFileBytes(std::filesystem::path(logPath_)).substr(kEnd.size()); }
  void haveBothKeys() { registry_.keys = {u"Software", kCompanyKey, kRecordKey}; }
  FakeRegistry::Value recordValue(const std::u16string& name) { return registry_.value(kRecordKey, name); }

  const RegTool tool_{Registry::HKEY_LOCAL_MACHINE, Registry::KEY_WOW64_32KEY};
  TempDir dir_;
  std::u16string logPath_;
  FakeRegistry registry_;
  sys::ScopedFake<Registry> registryFake_;
};

}  // namespace

TEST_F(RegToolTest, FirstWriteCreatesTheCompanyKeyThenTheRecordKeyThenTheValuesInThe32BitView) {
  ASSERT_TRUE(RegTool::setMountedParams(kVolume, kDevice, {u"E:\\"}));
  const std::string record = "Software\\Velkara Software\\Velkara Backup";
  EXPECT_EQ(registry_.calls(), (std::vector<std::string>{
                                   "open Software\\Velkara Software 0x201",
                                   "create Software\\Velkara Software 0x0 0x20206",
                                   "close",
                                   "open " + record + " 0x201",
                                   "create " + record + " 0x0 0x20206",
                                   "close",
                                   "open " + record + " 0x202",
                                   "set MountedVolumeID 1 " + std::to_string((kVolume.size() + 1) * 2),
                                   "close",
                                   "open " + record + " 0x202",
                                   "set MountedDeviceName 1 " + std::to_string((kDevice.size() + 1) * 2),
                                   "close",
                                   "open " + record + " 0x202",
                                   "set MountedDrives 7 10",
                                   "close",
                               }));
  EXPECT_EQ(recordValue(u"MountedVolumeID"), (FakeRegistry::Value{Registry::REG_SZ, regSz(kVolume)}));
  EXPECT_EQ(recordValue(u"MountedDeviceName"), (FakeRegistry::Value{Registry::REG_SZ, regSz(kDevice)}));
  EXPECT_EQ(recordValue(u"MountedDrives"),
            (FakeRegistry::Value{Registry::REG_MULTI_SZ, utf16le(std::u16string(u"E:\\\0\0", 5))}));
  EXPECT_EQ(log(), "");
}

TEST_F(RegToolTest, ExistingKeysAreOnlyOpenedAndClosedAtOnce) {
  haveBothKeys();
  ASSERT_TRUE(RegTool::setMountedParams(kVolume, kDevice, {}));
  const std::vector<std::string> calls = registry_.calls();
  ASSERT_EQ(calls.size(), 13u);
  EXPECT_EQ(calls[0], "open Software\\Velkara Software 0x201");
  EXPECT_EQ(calls[1], "close");
  EXPECT_EQ(calls[2], "open Software\\Velkara Software\\Velkara Backup 0x201");
  EXPECT_EQ(calls[3], "close");
  for (const std::string& call : calls) EXPECT_EQ(call.find("create"), std::string::npos) << call;
}

TEST_F(RegToolTest, MountPointsAreStoredAsAMultiStringOfExactSize) {
  struct Case {
    Strings mountPoints;
    std::u16string characters;  // every character of the value, terminators included
    size_t bytes;
  };
  const Case cases[] = {
      {{}, std::u16string(u"\0\0", 2), 4},
      {{u"E:\\"}, std::u16string(u"E:\\\0\0", 5), (3 + 1 + 1) * 2},
      {{u"E:\\", u"C:\\mnt\\backup\\"}, std::u16string(u"E:\\\0C:\\mnt\\backup\\\0\0", 20), (3 + 1 + 14 + 1 + 1) * 2},
      {{u"", u"F:\\"}, std::u16string(u"\0F:\\\0\0", 6), (0 + 1 + 3 + 1 + 1) * 2},
  };
  haveBothKeys();
  for (const Case& c : cases) {
    ASSERT_TRUE(RegTool::setMountedParams(kVolume, kDevice, c.mountPoints));
    const FakeRegistry::Value drives = recordValue(u"MountedDrives");
    EXPECT_EQ(drives.type, Registry::REG_MULTI_SZ);
    EXPECT_EQ(drives.data.size(), c.bytes) << c.mountPoints.size() << " mount points";
    EXPECT_EQ(drives.data, utf16le(c.characters)) << c.mountPoints.size() << " mount points";
  }
}

TEST_F(RegToolTest, ClearingOverwritesTheRecordWithEmptyValues) {
  ASSERT_TRUE(RegTool::setMountedParams(kVolume, kDevice, {u"E:\\", u"F:\\"}));
  RegTool::clearMountedParams();
  EXPECT_EQ(recordValue(u"MountedVolumeID"), (FakeRegistry::Value{Registry::REG_SZ, {0, 0}}));
  EXPECT_EQ(recordValue(u"MountedDeviceName"), (FakeRegistry::Value{Registry::REG_SZ, {0, 0}}));
  EXPECT_EQ(recordValue(u"MountedDrives"), (FakeRegistry::Value{Registry::REG_MULTI_SZ, {0, 0, 0, 0}}));
  const std::vector<std::string> calls = registry_.calls();
  EXPECT_EQ(std::vector<std::string>(calls.end() - 8, calls.end()),
            (std::vector<std::string>{
                "set MountedVolumeID 1 2", "close", "open Software\\Velkara Software\\Velkara Backup 0x202",
                "set MountedDeviceName 1 2", "close", "open Software\\Velkara Software\\Velkara Backup 0x202",
                "set MountedDrives 7 4", "close"}));
}

TEST_F(RegToolTest, AValueThatFailsIsLoggedAndTheOthersAreStillWritten) {
  const std::u16string names[] = {u"MountedVolumeID", u"MountedDeviceName", u"MountedDrives"};
  for (const std::u16string& failing : names) {
    SCOPED_TRACE(wide::toUtf8(failing));
    closeDebugLog();
    openDebugLog(logPath_.c_str());
    haveBothKeys();
    registry_.values.clear();
    registry_.setErrors = {{failing, 1450}};
    ASSERT_TRUE(RegTool::setMountedParams(kVolume, kDevice, {u"E:\\"}));
    EXPECT_EQ(log(), "RegTool::setParamValue RegSetValueEx winerr=1450" + kEnd +
                         "RegTool::setMountedParams setParamValue err for [" + wide::toUtf8(failing) + "]" + kEnd);
    for (const std::u16string& name : names) {
      EXPECT_EQ(registry_.values.contains(kRecordKey + u"|" + name), name != failing) << wide::toUtf8(name);
    }
  }
}

TEST_F(RegToolTest, AKeyThatCannotBeOpenedForWritingFailsEveryValueButNotTheRecord) {
  haveBothKeys();
  registry_.openForSetError = 5;
  EXPECT_TRUE(RegTool::setMountedParams(kVolume, kDevice, {}));
  const std::string failed = "RegTool::setParamValue RegOpenKeyEx winerr=5" + kEnd;
  EXPECT_EQ(log(), failed + "RegTool::setMountedParams setParamValue err for [MountedVolumeID]" + kEnd + failed +
                       "RegTool::setMountedParams setParamValue err for [MountedDeviceName]" + kEnd + failed +
                       "RegTool::setMountedParams setParamValue err for [MountedDrives]" + kEnd);
  EXPECT_TRUE(registry_.values.empty());
}

TEST_F(RegToolTest, AKeyThatCannotBeCreatedFailsTheRecordAndNamesTheKey) {
  struct Case {
    std::u16string failingKey;
    std::string loggedKey;
  };
  const Case cases[] = {{kCompanyKey, "Software\\Velkara Software"},
                        {kRecordKey, "Software\\Velkara Software\\Velkara Backup"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.loggedKey);
    closeDebugLog();
    openDebugLog(logPath_.c_str());
    registry_.keys.clear();
    registry_.createErrors = {{c.failingKey, 5}};
    EXPECT_FALSE(RegTool::setMountedParams(kVolume, kDevice, {u"E:\\"}));
    EXPECT_EQ(log(), "RegTool::createFolder RegCreateKeyEx winerr=5 folder=" + c.loggedKey + kEnd +
                         "RegTool::setMountedParams failed to create HKLM\\[" + c.loggedKey + "]" + kEnd);
    for (const std::string& call : registry_.calls()) EXPECT_NE(call.rfind("set ", 0), 0u) << call;
  }
}

TEST_F(RegToolTest, CreateFolderJoinsTheSubkeyNameToThePath) {
  struct Case {
    std::u16string path;
    std::u16string name;
    std::string created;
  };
  const Case cases[] = {
      {u"A\\B", u"C", "A\\B\\C"}, {u"A\\B\\", u"C", "A\\B\\C"}, {u"A", u"\\C\\", "A\\C"},         {u"A\\", u"", "A"},
      {u"A", u"\\", "A"},         {u"A\\\\", u"C", "A\\C"},     {u"A", u"\\\\C\\\\", "A\\\\C\\"}, {u"", u"C", "C"},
      {u"A", u"C\\D", "A\\C\\D"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(tool_.createFolder(c.path, c.name));
    EXPECT_EQ(registry_.calls().back(), "close");
    const std::vector<std::string> calls = registry_.calls();
    EXPECT_EQ(calls[calls.size() - 2], "create " + c.created + " 0x0 0x20206");
  }
}

TEST_F(RegToolTest, CreateFolderFailureIsLoggedInDecimalWithThePath) {
  registry_.createErrors = {{u"A\\B", 0x80000005u}};
  EXPECT_FALSE(tool_.createFolder(u"A\\", u"B"));
  EXPECT_EQ(log(), "RegTool::createFolder RegCreateKeyEx winerr=-2147483643 folder=A\\B" + kEnd);
}

TEST_F(RegToolTest, SetParamValueOpensTheKeyWithoutItsTrailingBackslash) {
  registry_.keys = {u"A\\B"};
  const uint8_t data[] = {1, 2, 3};
  for (const char16_t* path : {u"A\\B", u"A\\B\\"}) {
    EXPECT_TRUE(tool_.setParamValue(path, u"V", data, 3, 3));
    const std::vector<std::string> calls = registry_.calls();
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"open A\\B 0x202", "set V 3 3", "close"}));
  }
  EXPECT_EQ(registry_.value(u"A\\B", u"V"), (FakeRegistry::Value{3, {1, 2, 3}}));
}

TEST_F(RegToolTest, SetParamValueRefusesEmptyNamesAndNullDataSilently) {
  registry_.keys = {u"A"};
  const uint8_t data[] = {1};
  EXPECT_FALSE(tool_.setParamValue(u"A", u"", data, 1, 3));
  EXPECT_FALSE(tool_.setParamValue(u"", u"V", data, 1, 3));
  EXPECT_FALSE(tool_.setParamValue(u"A", u"V", nullptr, 0, 3));
  EXPECT_TRUE(registry_.calls().empty());
  EXPECT_EQ(log(), "");
}

TEST_F(RegToolTest, SetParamValueLogsAMissingKey) {
  const uint8_t data[] = {1};
  EXPECT_FALSE(tool_.setParamValue(u"Missing\\", u"V", data, 1, 3));
  EXPECT_EQ(registry_.calls(), (std::vector<std::string>{"open Missing 0x202"}));
  EXPECT_EQ(log(), "RegTool::setParamValue RegOpenKeyEx winerr=2" + kEnd);
}
