// The volume utilities over the real Windows calls (under Wine, its drives
// C: and Z:).
#include <gtest/gtest.h>

#include <algorithm>

#include "common/WideString.h"
#include "volume/VolumeUtils.h"

TEST(VolumesWin32Test, EveryListedVolumeIsFoundAgainByItsDevice) {
  std::vector<std::u16string> volumes;
  ASSERT_TRUE(VolumeUtils::enumVolumes(volumes));
  for (const std::u16string& volume : volumes) {
    EXPECT_TRUE(volume.starts_with(u"\\\\?\\Volume{") && volume.ends_with(u"}\\")) << wide::toUtf8(volume);
    std::u16string device, found;
    ASSERT_TRUE(VolumeUtils::getVolumeDevice(volume, device)) << wide::toUtf8(volume);
    ASSERT_TRUE(VolumeUtils::getVolumeGuidForDevice(device, found)) << wide::toUtf8(device);
    std::u16string foundDevice;
    ASSERT_TRUE(VolumeUtils::getVolumeDevice(found, foundDevice));
    EXPECT_EQ(foundDevice, device);
  }
}

TEST(VolumesWin32Test, TheSystemDriveIsAMountPointOfItsVolumeAndAnswersTheInquiry) {
  std::u16string device, volume;
  ASSERT_TRUE(VolumeUtils::getVolumeDevice(u"C:\\windows", device));
  ASSERT_TRUE(VolumeUtils::getVolumeGuidForDevice(device, volume));
  std::vector<std::u16string> drives;
  ASSERT_TRUE(VolumeUtils::getVolumeDrives(volume.c_str(), drives));
  EXPECT_NE(std::find(drives.begin(), drives.end(), u"C:\\"), drives.end());

  std::u16string vendor, product, revision, serial;
  uint32_t error = 77;
  EXPECT_TRUE(VolumeUtils::getVolumeDeviceInquiryInfo(volume, vendor, product, revision, serial, &error));
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(VolumeUtils::getVolumeDeviceInquiryInfo(u"C:\\", vendor, product, revision, serial, &error));
  EXPECT_FALSE(VolumeUtils::getVolumeDeviceInquiryInfo(u"\\\\?\\Volume{00000000-0000-0000-0000-000000000001}\\", vendor,
                                                       product, revision, serial, &error));
  EXPECT_NE(error, 0u);
}
