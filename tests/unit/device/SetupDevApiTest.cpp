#include "device/SetupDevApi.h"

#include <gtest/gtest.h>

#include "fakes/FakeDevices.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"
#include "sys/ScopedFake.h"

namespace {

const Guid kClass{0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 5, 5, 5, 5}};
const Guid kVolume = sys::DeviceInterfaces::GUID_DEVINTERFACE_VOLUME;
const std::string kEnd = VK_TEXT_LINE_END;

class SetupDevApiTest : public ::testing::Test {
 protected:
  SetupDevApiTest() : interfacesFake_(devices_) {
    logPath_ = dir_.file(u"setup.log");
    openDebugLog(logPath_.c_str());
  }
  ~SetupDevApiTest() override { closeDebugLog(); }

  std::string log() { return readFileBytes(std::filesystem::path(logPath_)); }
  bool logged(const std::string& line) { return log().find(line + kEnd) != std::string::npos; }

  TempDir dir_;
  std::u16string logPath_;
  FakeDevices devices_;
  sys::ScopedFake<sys::DeviceInterfaces> interfacesFake_;
};

}  // namespace

TEST_F(SetupDevApiTest, ListsPresentInterfacesInOrder) {
  devices_.classes[kClass] = {FakeDevices::interface(u"\\\\?\\a"), FakeDevices::interface(u"\\\\?\\b")};
  devices_.classes[kClass][1].detailFails = true;
  devices_.classes[kClass].push_back(FakeDevices::interface(u"\\\\?\\c"));
  std::vector<std::u16string> paths{u"stale"};
  ASSERT_TRUE(SetupDevApi::getDeviceInterfaceList(kClass, paths));
  EXPECT_EQ(paths, (std::vector<std::u16string>{u"\\\\?\\a", u"\\\\?\\c"}));
  EXPECT_TRUE(logged("SetupDevApi::getDeviceInterfaceList dev_interface_path=\\\\?\\a"));
  EXPECT_TRUE(logged("SetupDevice::getInterfacePath SetupDiGetDeviceInterfaceDetail err=0x7A"));
  EXPECT_TRUE(logged("SetupDevApi::getDeviceInterfaceList getInterfacePath fail"));
  EXPECT_EQ(devices_.destroyedSets, 1);
}

TEST_F(SetupDevApiTest, NoInterfaceIsAnEmptyList) {
  std::vector<std::u16string> paths{u"stale"};
  ASSERT_TRUE(SetupDevApi::getDeviceInterfaceList(kClass, paths));
  EXPECT_TRUE(paths.empty());
}

TEST_F(SetupDevApiTest, AnUnopenableSetFailsAndStillClearsTheList) {
  devices_.setOpenFails = true;
  std::vector<std::u16string> paths{u"stale"};
  EXPECT_FALSE(SetupDevApi::getDeviceInterfaceList(kClass, paths));
  EXPECT_TRUE(paths.empty());
  EXPECT_TRUE(logged("SetupDeviceHelper::open SetupDiGetClassDevs err=0x5"));
  EXPECT_TRUE(logged("SetupDevApi::getDeviceInterfaceList dev interface open fail"));
  std::u16string name = u"stale";
  EXPECT_FALSE(SetupDevApi::getDevInfoByInterface(u"x", name));
  EXPECT_TRUE(name.empty());
  EXPECT_TRUE(logged("SetupDevApi::getDevInfoByInterface dev interface open fail"));
}

// Failed steps are counted over the whole enumeration: the 101st ends it.
TEST_F(SetupDevApiTest, TheHundredAndFirstFailedStepEndsTheEnumeration) {
  struct Case {
    int failuresBefore;
    bool listed;
  };
  for (const Case& c : {Case{100, true}, Case{101, false}}) {
    std::vector<FakeDevices::Step>& steps = devices_.classes[kClass];
    steps.clear();
    for (int i = 0; i < c.failuresBefore; ++i) {
      steps.push_back(FakeDevices::failure(31));
      if (i == 50) steps.push_back(FakeDevices::interface(u"middle"));  // not in a row
    }
    steps.push_back(FakeDevices::interface(u"last"));
    std::vector<std::u16string> paths;
    ASSERT_TRUE(SetupDevApi::getDeviceInterfaceList(kClass, paths));
    const std::vector<std::u16string> expected =
        c.listed ? std::vector<std::u16string>{u"middle", u"last"} : std::vector<std::u16string>{u"middle"};
    EXPECT_EQ(paths, expected) << c.failuresBefore;
  }
}

TEST_F(SetupDevApiTest, FindsAVolumeByItsInterfacePathIgnoringCase) {
  devices_.classes[kVolume] = {
      FakeDevices::interface(u"\\\\?\\STORAGE#Volume#One", u"\\Device\\HarddiskVolume1"),
      FakeDevices::interface(u"\\\\?\\storage#volume#two", u"\\Device\\HarddiskVolume2"),
  };
  std::u16string name;
  ASSERT_TRUE(SetupDevApi::getDevInfoByInterface(u"\\\\?\\Storage#VOLUME#two", name));
  EXPECT_EQ(name, u"\\Device\\HarddiskVolume2");
  EXPECT_TRUE(logged("SetupDevApi::getDevInfoByInterface source_interface_path=\\\\?\\storage#volume#two"));
  EXPECT_TRUE(logged("SetupDevApi::getDevInfoByInterface  found_interface_path=\\\\?\\storage#volume#one"));

  EXPECT_FALSE(SetupDevApi::getDevInfoByInterface(u"\\\\?\\storage#volume#twoX", name)) << "no prefix match";
  EXPECT_TRUE(name.empty());
  EXPECT_FALSE(SetupDevApi::getDevInfoByInterface(u"\\\\?\\storage#volume#tw", name)) << "no prefix match";
}

TEST_F(SetupDevApiTest, AnUnreadablePropertyFailsTheLookUp) {
  devices_.classes[kVolume] = {FakeDevices::interface(u"vol", u"\\Device\\HarddiskVolume9")};
  devices_.classes[kVolume][0].propertyFails = true;
  std::u16string name = u"stale";
  EXPECT_FALSE(SetupDevApi::getDevInfoByInterface(u"VOL", name));
  EXPECT_TRUE(name.empty());
  EXPECT_TRUE(logged("SetupDevice::getDevicePropertyData SetupDiGetDeviceRegistryProperty err=0xD"));
}
