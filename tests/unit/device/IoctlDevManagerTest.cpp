#include "device/IoctlDevManager.h"

#include <gtest/gtest.h>

#include "device/DriverRecords.h"
#include "fakes/FakeDevices.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"
#include "sys/ScopedFake.h"

namespace records = driver_records;

namespace {

const std::string kEnd = VK_TEXT_LINE_END;
const std::u16string kDriverPath = u"\\\\?\\root#vkvd#0000#{aaa4747f-f023-430c-80c1-6dbda4ec699d}";

// One driver interface that answers as the service's driver.
class IoctlDevManagerTest : public ::testing::Test {
 protected:
  IoctlDevManagerTest() : interfacesFake_(devices_), ioFake_(devices_) {
    devices_.classes[records::VIRTUAL_DISK_INTERFACE_GUID] = {FakeDevices::interface(kDriverPath)};
    devices_.drivers[kDriverPath] = {};
    logPath_ = dir_.file(u"ioctl.log");
    openDebugLog(logPath_.c_str());
  }
  ~IoctlDevManagerTest() override { closeDebugLog(); }

  std::string log() { return readFileBytes(std::filesystem::path(logPath_)); }
  bool logged(const std::string& line) { return log().find(line + kEnd) != std::string::npos; }
  FakeDevices::Driver& driver() { return devices_.drivers[kDriverPath]; }
  size_t connectsSent() {
    return static_cast<size_t>(
        std::count(devices_.sentSubCommands.begin(), devices_.sentSubCommands.end(), records::CMD_CONNECT_DEVICE));
  }

  TempDir dir_;
  std::u16string logPath_;
  FakeDevices devices_;
  sys::ScopedFake<sys::DeviceInterfaces> interfacesFake_;
  sys::ScopedFake<sys::DeviceIo> ioFake_;
};

uint16_t unitAt(const std::vector<uint8_t>& record, size_t at) {
  return static_cast<uint16_t>(record[at] | record[at + 1] << 8);
}

}  // namespace

TEST_F(IoctlDevManagerTest, ConnectSendsTheRecordByteForByte) {
  const std::u16string path(512, u'p');
  const uint64_t size = uint64_t{7} << 32;  // low 32 bits zero
  ASSERT_TRUE(IoctlDevManager::createDev(path, u"first_tag", size, 4096, true));
  ASSERT_EQ(devices_.sentRecords.size(), 1u);
  const std::vector<uint8_t>& record = devices_.sentRecords[0];
  ASSERT_EQ(record.size(), 1143u);
  EXPECT_EQ(record[0] | record[1] << 8 | record[2] << 16 | static_cast<uint32_t>(record[3]) << 24,
            records::CMD_CONNECT_DEVICE);
  EXPECT_EQ(unitAt(record, 4), u'f');
  EXPECT_EQ(unitAt(record, 4 + 2 * 8), u'g');
  EXPECT_EQ(unitAt(record, 4 + 2 * 9), 0) << "the tag ends with zeros";
  EXPECT_EQ(unitAt(record, 106 + 2 * 511), u'p') << "a 512-character path fills its field";
  uint64_t volumeSize = 0;
  for (int i = 7; i >= 0; --i) volumeSize = (volumeSize << 8) | record[1130 + i];
  EXPECT_EQ(volumeSize, size);
  EXPECT_EQ(record[1138] | record[1139] << 8, 4096);
  EXPECT_EQ(record[1142], 1);
  EXPECT_TRUE(logged("IoctlDevManager::connectDevice DeviceIoControl dbg_status=7"));
  EXPECT_TRUE(logged("IoctlDevManager::getDriverHandle  driver_guid={543bc692-941c-46fa-8988-fb3bae5d7637}"));
  EXPECT_TRUE(logged("IoctlDevManager::getDriverHandle driver found OK"));
  EXPECT_EQ(devices_.opens, devices_.closes) << "every device opened is closed";
}

TEST_F(IoctlDevManagerTest, ConnectChecksRunInOrderBeforeAnythingIsSent) {
  struct Case {
    std::u16string path;
    std::u16string tag;
    uint64_t size;
    uint32_t sectorSize;
    const char* line;
  };
  const Case cases[] = {
      {std::u16string(513, u'p'), std::u16string(51, u't'), 0, 0,
       "IoctlDevManager::connectDevice image_path incorrect size"},
      {u"img", std::u16string(51, u't'), 0, 0, "IoctlDevManager::connectDevice connection_tag incorrect size"},
      {u"img", u"first_tag", 0, 0, "IoctlDevManager::connectDevice volume_size==0"},
      {u"img", u"first_tag", 1 << 20, 0, "IoctlDevManager::connectDevice sector_size==0"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(IoctlDevManager::createDev(c.path, c.tag, c.size, c.sectorSize, false)) << c.line;
    EXPECT_TRUE(logged(c.line)) << c.line;
  }
  EXPECT_TRUE(devices_.sentSubCommands.empty());
  EXPECT_TRUE(IoctlDevManager::createDev(u"img", std::u16string(50, u't'), 1 << 20, 512, false)) << "50 fit";
}

TEST_F(IoctlDevManagerTest, OneActiveDeviceBlocksAConnect) {
  FakeDevices::activate(driver(), u"first_tag", u"C:\\a.img", 1 << 20, 512);
  EXPECT_FALSE(IoctlDevManager::createDev(u"img", u"first_tag", 1 << 20, 512, false));
  EXPECT_TRUE(logged("IoctlDevManager::connectDevice connection limit excided"));
  EXPECT_EQ(connectsSent(), 0u);
  EXPECT_TRUE(IoctlDevManager::removeDev(u"any tag")) << "the tag is not compared";
  EXPECT_EQ(devices_.sentRecords.size(), 1u);
}

TEST_F(IoctlDevManagerTest, DisconnectChecks) {
  EXPECT_FALSE(IoctlDevManager::removeDev(std::u16string(51, u't')));
  EXPECT_TRUE(logged("IoctlDevManager::disconnectDevice connection_tag incorrect size"));
  EXPECT_FALSE(IoctlDevManager::removeDev(u"first_tag"));
  EXPECT_TRUE(logged("IoctlDevManager::disconnectDevice no connection found"));
  EXPECT_TRUE(devices_.sentRecords.empty());
}

TEST_F(IoctlDevManagerTest, SkipsAnInterfaceOfAnotherDriver) {
  const std::u16string other = u"\\\\?\\other";
  devices_.classes[records::VIRTUAL_DISK_INTERFACE_GUID].insert(
      devices_.classes[records::VIRTUAL_DISK_INTERFACE_GUID].begin(), FakeDevices::interface(other));
  devices_.drivers[other].guid = Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  DevInfo info;
  uint32_t count = 9;
  ASSERT_TRUE(IoctlDevManager::requestDevInfo(&info, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(logged("IoctlDevManager::openDevice found interface_count=2"));
  EXPECT_TRUE(logged("IoctlDevManager::getDriverHandle guid not equals"));
  EXPECT_TRUE(logged("IoctlDevManager::openDevice try next interface"));
  EXPECT_EQ(devices_.opens, 2);
  EXPECT_EQ(devices_.closes, 2);
}

TEST_F(IoctlDevManagerTest, ReadsTheFirstActiveDevice) {
  const std::u16string path(512, u'q');  // fills its field: no terminator before volume_size
  FakeDevices::activate(driver(), u"first_tag", path, 0x123456789A, 4096);
  DevInfo info;
  uint32_t count = 0;
  ASSERT_TRUE(IoctlDevManager::requestDevInfo(&info, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(info.connection_tag, u"first_tag");
  EXPECT_EQ(info.image_path, path);
  EXPECT_EQ(info.volume_size, 0x123456789Au);
  EXPECT_EQ(info.sector_size, 4096u);
}

TEST_F(IoctlDevManagerTest, ACountWithoutBytesIsNoDevice) {
  FakeDevices::activate(driver(), u"first_tag", u"img", 1 << 20, 512);
  driver().replyWithoutBytes = true;
  DevInfo info;
  uint32_t count = 5;
  ASSERT_TRUE(IoctlDevManager::requestDevInfo(&info, &count));
  EXPECT_EQ(count, 0u);
}

TEST_F(IoctlDevManagerTest, NoDriverInterface) {
  devices_.classes.clear();
  DevInfo info;
  uint32_t count = 0;
  EXPECT_FALSE(IoctlDevManager::requestDevInfo(&info, &count));
  EXPECT_TRUE(logged("IoctlDevManager::openDevice found interface_count=0"));
  EXPECT_TRUE(logged("IoctlDevManager::openDevice no devices"));
  EXPECT_TRUE(logged("IoctlDevManager::getActiveDevice openDevice fail"));
  EXPECT_FALSE(IoctlDevManager::createDev(u"img", u"first_tag", 1 << 20, 512, false));
  EXPECT_TRUE(logged("IoctlDevManager::connectDevice connection count unknown"));
  EXPECT_FALSE(logged("IoctlDevManager::connectDevice openDevice fail")) << "a connect without a count is not tried";
  EXPECT_FALSE(IoctlDevManager::removeDev(u"first_tag"));
  EXPECT_TRUE(logged("IoctlDevManager::disconnectDevice no connection found"));
}

TEST_F(IoctlDevManagerTest, AFailedConnectIsReported) {
  driver().connectError = 170;
  EXPECT_FALSE(IoctlDevManager::createDev(u"img", u"first_tag", 1 << 20, 512, false));
  EXPECT_TRUE(logged("IoctlDevManager::connectDevice DeviceIoControl err=0xAA"));
  EXPECT_TRUE(log().find(kEnd + "IoctlDevManager::createDev" + kEnd) != std::string::npos);
}
