#include "volume/VolumeUtils.h"

#include <gtest/gtest.h>

#include "common/WideString.h"
#include "fakes/FakeVolumes.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"
#include "sys/ScopedFake.h"

using namespace std::string_literals;

namespace {

const std::u16string kGuidPath = u"\\\\?\\Volume{6f1e2a3b-0000-11d0-94f2-00a0c91efb8b}\\";
const std::u16string kGuidPathBare = u"\\\\?\\Volume{6f1e2a3b-0000-11d0-94f2-00a0c91efb8b}";
const std::u16string kVolumeName = u"Volume{6f1e2a3b-0000-11d0-94f2-00a0c91efb8b}";
const std::string kEnd = VK_TEXT_LINE_END;

class VolumeUtilsTest : public ::testing::Test {
 protected:
  VolumeUtilsTest() : volumesFake_(volumes_) {
    logPath_ = dir_.file(u"volume.log");
    openDebugLog(logPath_.c_str());
  }
  ~VolumeUtilsTest() override { closeDebugLog(); }

  std::string log() { return readFileBytes(std::filesystem::path(logPath_)); }

  // A volume listed as `guidPath` whose device object name is `device`.
  void addVolume(const std::u16string& guidPath, const std::u16string& device) {
    volumes_.steps.push_back(FakeVolumes::volume(guidPath));
    volumes_.dosDevices[guidPath.substr(4, guidPath.size() - 5)] = device;
  }

  struct Inquiry {
    bool result = false;
    std::u16string vendor = u"stale", product = u"stale", revision = u"stale", serial = u"stale";
    uint32_t error = 77;
  };
  Inquiry inquire(const std::u16string& volume) {
    Inquiry inquiry;
    inquiry.result = VolumeUtils::getVolumeDeviceInquiryInfo(volume, inquiry.vendor, inquiry.product, inquiry.revision,
                                                             inquiry.serial, &inquiry.error);
    return inquiry;
  }

  TempDir dir_;
  std::u16string logPath_;
  FakeVolumes volumes_;
  sys::ScopedFake<sys::Volumes> volumesFake_;
};

}  // namespace

TEST_F(VolumeUtilsTest, RecognisesDriveLetterPaths) {
  struct Case {
    std::u16string text;
    bool driveLetter;
  };
  const Case cases[] = {
      {u"E:", true},  {u"e:\\", true}, {u"E:\\folder", true}, {u"Z:x:y", true},      {u"", false},
      {u"E", false},  {u":", false},   {u"1:", false},        {u"EE:", false},       {u"\u00E9:", false},
      {u"@:", false}, {u"[:", false},  {kGuidPath, false},    {u"\\\\.\\E:", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VolumeUtils::isDriveLetterPath(c.text), c.driveLetter) << wide::toUtf8(c.text);
  }
}

TEST_F(VolumeUtilsTest, NamesTheDeviceOfAVolumeGivenInAnyForm) {
  volumes_.dosDevices[kVolumeName] = u"\\Device\\HarddiskVolume7";
  volumes_.dosDevices[u"E:"] = u"\\Device\\HarddiskVolume3";
  struct Case {
    std::u16string volume;
    std::u16string queried;
    std::u16string device;
  };
  const Case cases[] = {
      {kGuidPath, kVolumeName, u"\\Device\\HarddiskVolume7"},
      {kGuidPathBare, kVolumeName, u"\\Device\\HarddiskVolume7"},
      {u"E:\\folder\\sub", u"E:", u"\\Device\\HarddiskVolume3"},
      {u"E:\\", u"E:", u"\\Device\\HarddiskVolume3"},
      {u"E:", u"E:", u"\\Device\\HarddiskVolume3"},
  };
  for (const Case& c : cases) {
    volumes_.queriedNames.clear();
    std::u16string device = u"stale";
    EXPECT_TRUE(VolumeUtils::getVolumeDevice(c.volume, device));
    EXPECT_EQ(device, c.device);
    EXPECT_EQ(volumes_.queriedNames, std::vector<std::u16string>{c.queried});
  }
}

TEST_F(VolumeUtilsTest, TakesTheFirstTargetAndFailsForUnknownOrEmptyNames) {
  volumes_.dosDevices[u"F:"] = u"\\Device\\First\0\\Device\\Second"s;
  std::u16string device = u"stale";
  ASSERT_TRUE(VolumeUtils::getVolumeDevice(u"F:", device));
  EXPECT_EQ(device, u"\\Device\\First");

  for (const std::u16string volume : {u"G:", u""}) {
    device = u"stale";
    EXPECT_FALSE(VolumeUtils::getVolumeDevice(volume, device));
    EXPECT_TRUE(device.empty());
  }
  EXPECT_EQ(volumes_.queriedNames, (std::vector<std::u16string>{u"F:", u"G:"})) << "an empty name is not queried";

  // A target that does not fit the 260-character buffer fails the query.
  volumes_.dosDevices[u"H:"] = std::u16string(259, u'x');
  EXPECT_FALSE(VolumeUtils::getVolumeDevice(u"H:", device));
  volumes_.dosDevices[u"H:"] = std::u16string(258, u'x');
  EXPECT_TRUE(VolumeUtils::getVolumeDevice(u"H:", device));
  EXPECT_EQ(device.size(), 258u);
}

TEST_F(VolumeUtilsTest, EnumeratesAtMostFiftyOneVolumesPastFailures) {
  struct Case {
    const char* name;
    std::vector<FakeVolumes::Step> nextSteps;
    size_t listed;
    int nextCalls;
  };
  std::vector<FakeVolumes::Step> many;
  for (int i = 0; i < 80; ++i)
    many.push_back(FakeVolumes::volume(u"v" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26))));
  std::vector<FakeVolumes::Step> failuresFirst(50, FakeVolumes::failure(21));
  failuresFirst.push_back(FakeVolumes::volume(u"late"));
  const Case cases[] = {
      {"many volumes", many, 51, 50},
      {"failures are skipped",
       {FakeVolumes::volume(u"a"), FakeVolumes::failure(21), FakeVolumes::volume(u"b"), FakeVolumes::failure(5),
        FakeVolumes::volume(u"c")},
       4,
       6},
      {"failed calls count", failuresFirst, 1, 50},
      {"only one", {}, 1, 1},
  };
  for (const Case& c : cases) {
    volumes_.steps = {FakeVolumes::volume(u"first")};
    volumes_.steps.insert(volumes_.steps.end(), c.nextSteps.begin(), c.nextSteps.end());
    volumes_.findNextCalls = 0;
    volumes_.findCloses = 0;
    std::vector<std::u16string> list{u"stale"};
    ASSERT_TRUE(VolumeUtils::enumVolumes(list)) << c.name;
    EXPECT_EQ(list.size(), c.listed) << c.name;
    EXPECT_EQ(list.front(), u"first") << c.name;
    EXPECT_EQ(volumes_.findNextCalls, c.nextCalls) << c.name;
    EXPECT_EQ(volumes_.findCloses, 1) << c.name;
  }
}

TEST_F(VolumeUtilsTest, EnumerationListsInOrderAndKeepsTheListWhenItCannotStart) {
  addVolume(u"\\\\?\\Volume{a}\\", u"/dev/a");
  volumes_.steps.push_back(FakeVolumes::failure(1));
  addVolume(u"\\\\?\\Volume{b}\\", u"/dev/b");
  std::vector<std::u16string> list;
  ASSERT_TRUE(VolumeUtils::enumVolumes(list));
  EXPECT_EQ(list, (std::vector<std::u16string>{u"\\\\?\\Volume{a}\\", u"\\\\?\\Volume{b}\\"}));

  for (const std::vector<FakeVolumes::Step>& steps :
       {std::vector<FakeVolumes::Step>{}, std::vector<FakeVolumes::Step>{FakeVolumes::failure(5)}}) {
    volumes_.steps = steps;
    volumes_.findCloses = 0;
    list = {u"kept"};
    EXPECT_FALSE(VolumeUtils::enumVolumes(list));
    EXPECT_EQ(list, std::vector<std::u16string>{u"kept"});
    EXPECT_EQ(volumes_.findCloses, 0);
  }
}

TEST_F(VolumeUtilsTest, FindsTheVolumeOfADeviceAndTheFirstListedWins) {
  volumes_.steps.push_back(FakeVolumes::volume(u"\\\\?\\Volume{unnamed}\\"));  // its device cannot be named
  addVolume(u"\\\\?\\Volume{other}\\", u"/dev/loop1p1");
  addVolume(u"\\\\?\\Volume{first}\\", u"/dev/loop0p1");
  addVolume(u"\\\\?\\Volume{second}\\", u"/dev/loop0p1");
  std::u16string guid = u"stale";
  ASSERT_TRUE(VolumeUtils::getVolumeGuidForDevice(u"/dev/loop0p1", guid));
  EXPECT_EQ(guid, u"\\\\?\\Volume{first}\\");

  for (const std::u16string device : {u"/DEV/LOOP0P1", u"/dev/loop0p", u"/dev/loop0p12", u""}) {
    guid = u"stale";
    EXPECT_FALSE(VolumeUtils::getVolumeGuidForDevice(device, guid));
    EXPECT_TRUE(guid.empty());
  }
  volumes_.steps.clear();
  guid = u"stale";
  EXPECT_FALSE(VolumeUtils::getVolumeGuidForDevice(u"/dev/loop0p1", guid));
  EXPECT_TRUE(guid.empty());
  EXPECT_EQ(log(), kEnd) << "only the inquiry writes messages";
}

TEST_F(VolumeUtilsTest, ReadsTheInquiryOfTheVolumeItself) {
  volumes_.devices[kGuidPathBare].descriptor =
      FakeVolumes::descriptor("VELKAR/A", "VKB_V_DISK", "1.0", "320A050564E94590AE3C6F348B43C4FE");
  const Inquiry inquiry = inquire(kGuidPath);
  ASSERT_TRUE(inquiry.result);
  EXPECT_EQ(inquiry.vendor, u"VELKAR/A");
  EXPECT_EQ(inquiry.product, u"VKB_V_DISK");
  EXPECT_EQ(inquiry.revision, u"1.0");
  EXPECT_EQ(inquiry.serial, u"320A050564E94590AE3C6F348B43C4FE");
  EXPECT_EQ(inquiry.error, 0u);
  EXPECT_EQ(volumes_.openedPaths, std::vector<std::u16string>{kGuidPathBare});
  EXPECT_EQ(volumes_.controlCode, 0x2D1400u);
  EXPECT_EQ(volumes_.controlInput, std::vector<uint8_t>(12, 0));
  EXPECT_EQ(volumes_.controlOutputSize, 1024u);
  EXPECT_EQ(volumes_.closes, 1);
}

TEST_F(VolumeUtilsTest, OpensADriveLetterAsTheVolumeNotItsRoot) {
  volumes_.devices[u"\\\\.\\E:"].descriptor = FakeVolumes::descriptor("V", "P", "R", "S");
  volumes_.devices[u"\\\\.\\e:"].descriptor = FakeVolumes::descriptor("v", "p", "r", "s");
  EXPECT_EQ(inquire(u"E:\\").vendor, u"V");
  EXPECT_EQ(inquire(u"e:").vendor, u"v");
  EXPECT_EQ(volumes_.openedPaths, (std::vector<std::u16string>{u"\\\\.\\E:", u"\\\\.\\e:"}));
}

TEST_F(VolumeUtilsTest, TakesTheDescriptorStringsAsTheyStand) {
  struct Case {
    const char* name;
    std::vector<uint8_t> descriptor;
    std::u16string vendor, product, revision, serial;
  };
  std::vector<uint8_t> runsToTheEnd = FakeVolumes::descriptor("VELKAR/A", "VKB_V_DISK", "1.0", "SERIAL");
  runsToTheEnd.pop_back();  // the serial's zero byte was not returned
  std::vector<uint8_t> pastTheData = FakeVolumes::descriptor("VELKAR/A", "VKB_V_DISK", "1.0", "SERIAL");
  FakeVolumes::put32(pastTheData, 16, static_cast<uint32_t>(pastTheData.size()));       // just past the end
  FakeVolumes::put32(pastTheData, 20, static_cast<uint32_t>(pastTheData.size()) + 40);  // inside the buffer
  FakeVolumes::put32(pastTheData, 24, 0xFFFFFFF0);
  std::vector<uint8_t> headerOnly = FakeVolumes::descriptor("VELKAR/A", "VKB_V_DISK", "1.0", "SERIAL");
  headerOnly.resize(22);  // ends inside the revision's offset
  const Case cases[] = {
      {"no serial", FakeVolumes::descriptor("VELKAR/A", "VKB_V_DISK", "1.0", std::nullopt), u"VELKAR/A", u"VKB_V_DISK",
       u"1.0", u""},
      {"blanks and case kept", FakeVolumes::descriptor("VELKAR/A  ", " vkb_v_disk", "", "s n "), u"VELKAR/A  ",
       u" vkb_v_disk", u"", u"s n "},
      {"bytes widened one by one", FakeVolumes::descriptor("caf\xE9", "\x7F\x80", "1.0", "x"), u"caf\u00E9",
       u"\u007F\u0080", u"1.0", u"x"},
      {"a string runs to the end of the data", runsToTheEnd, u"VELKAR/A", u"VKB_V_DISK", u"1.0", u"SERIAL"},
      {"at most 260 bytes", FakeVolumes::descriptor(std::string(300, 'V'), "P", "R", "S"), std::u16string(260, u'V'),
       u"P", u"R", u"S"},
      {"offsets past the data", pastTheData, u"VELKAR/A", u"", u"", u""},
      {"offsets cut off", headerOnly, u"", u"", u"", u""},
      {"nothing returned", {}, u"", u"", u"", u""},
  };
  for (const Case& c : cases) {
    volumes_.devices[kGuidPathBare].descriptor = c.descriptor;
    const Inquiry inquiry = inquire(kGuidPath);
    EXPECT_TRUE(inquiry.result) << c.name;
    EXPECT_EQ(inquiry.vendor, c.vendor) << c.name;
    EXPECT_EQ(inquiry.product, c.product) << c.name;
    EXPECT_EQ(inquiry.revision, c.revision) << c.name;
    EXPECT_EQ(inquiry.serial, c.serial) << c.name;
  }
}

TEST_F(VolumeUtilsTest, ReportsAFailedOpenOrRequest) {
  volumes_.devices[kGuidPathBare].openError = 5;
  volumes_.devices[u"\\\\.\\F:"].controlError = 0x1F;
  Inquiry inquiry = inquire(kGuidPath);
  EXPECT_FALSE(inquiry.result);
  EXPECT_EQ(inquiry.error, 5u);
  EXPECT_TRUE(inquiry.vendor.empty() && inquiry.product.empty() && inquiry.revision.empty() && inquiry.serial.empty());
  EXPECT_EQ(volumes_.controlCode, 0u) << "no request without an open volume";
  EXPECT_EQ(volumes_.closes, 0);

  inquiry = inquire(u"F:\\");
  EXPECT_FALSE(inquiry.result);
  EXPECT_EQ(inquiry.error, 0x1Fu);
  EXPECT_TRUE(inquiry.vendor.empty() && inquiry.serial.empty());
  EXPECT_EQ(volumes_.closes, 1);

  EXPECT_EQ(log(), kEnd +
                       "VolumeUtils::getVolumeDeviceInquiryInfo open volume err=0x5; "
                       "vol=\\\\?\\Volume{6f1e2a3b-0000-11d0-94f2-00a0c91efb8b}" +
                       kEnd + "VolumeUtils::getVolumeDeviceInquiryInfo ioctl err=0x1F; vol=\\\\.\\F:" + kEnd);

  // Without an error output the failure is still reported as false.
  std::u16string vendor, product, revision, serial;
  EXPECT_FALSE(VolumeUtils::getVolumeDeviceInquiryInfo(u"F:", vendor, product, revision, serial));
}

TEST_F(VolumeUtilsTest, ListsTheMountPointsOfAVolume) {
  volumes_.mountPointsPerCall = {{u"E:\\", u"C:\\mnt\\data\\"}};
  std::vector<std::u16string> drives{u"stale"};
  ASSERT_TRUE(VolumeUtils::getVolumeDrives(kGuidPath.c_str(), drives));
  EXPECT_EQ(drives, (std::vector<std::u16string>{u"E:\\", u"C:\\mnt\\data\\"}));
  EXPECT_EQ(volumes_.pathNamesLengths, std::vector<uint32_t>{1024});
}

TEST_F(VolumeUtilsTest, AVolumeWithoutMountPointsOrAVolumeNotFoundHasNoDrives) {
  for (const bool known : {true, false}) {
    volumes_.mountPointsPerCall.clear();
    if (known) volumes_.mountPointsPerCall = {{}};
    volumes_.pathNamesLengths.clear();
    std::vector<std::u16string> drives{u"stale"};
    EXPECT_FALSE(VolumeUtils::getVolumeDrives(kGuidPath.c_str(), drives));
    EXPECT_TRUE(drives.empty());
    EXPECT_EQ(volumes_.pathNamesLengths.size(), 1u) << "no second attempt";
  }
  std::vector<std::u16string> drives{u"kept"};
  EXPECT_FALSE(VolumeUtils::getVolumeDrives(nullptr, drives));
  EXPECT_FALSE(VolumeUtils::getVolumeDrives(u"", drives));
  EXPECT_EQ(drives, std::vector<std::u16string>{u"kept"});
}

TEST_F(VolumeUtilsTest, ALongListIsReadOnTheSecondAttemptOnly) {
  const std::vector<std::u16string> longList{u"C:\\" + std::u16string(600, u'a') + u"\\",
                                             u"C:\\" + std::u16string(600, u'b') + u"\\"};
  const uint32_t needed = 2 * 605 + 1;
  std::vector<std::u16string> longer = longList;
  longer.push_back(u"C:\\c\\");

  volumes_.mountPointsPerCall = {longList};
  std::vector<std::u16string> drives;
  ASSERT_TRUE(VolumeUtils::getVolumeDrives(kGuidPath.c_str(), drives));
  EXPECT_EQ(drives, longList);
  EXPECT_EQ(volumes_.pathNamesLengths, (std::vector<uint32_t>{1024, needed}));

  // The list grew between the attempts: it still does not fit.
  volumes_.mountPointsPerCall = {longList, longer};
  volumes_.pathNamesLengths.clear();
  EXPECT_FALSE(VolumeUtils::getVolumeDrives(kGuidPath.c_str(), drives));
  EXPECT_TRUE(drives.empty());
  EXPECT_EQ(volumes_.pathNamesLengths, (std::vector<uint32_t>{1024, needed}));
}
