#include "MountRecordReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/WinError.h"
#include "volume/RegTool.h"
#include "volume/posix/RegStateDir.h"

namespace {

using Strings = std::vector<std::string>;

// The record as the service writes it (RegTool) is what the client reads.
TEST(MountRecordReader, ReadsTheRecordTheServiceWrites) {
  const RegStateDir state;
  MountRecord record;
  uint32_t error = 1;
  ASSERT_TRUE(MountRecordReader().read(record, error));  // no store yet
  EXPECT_EQ(error, WinError::Success);
  EXPECT_TRUE(record.empty());

  ASSERT_TRUE(RegTool::setMountedParams(u"\\\\?\\Volume{00000103-0000-8000-8000-000000000003}\\", u"/dev/loop4p1",
                                        {u"/run/vkbvd-volumes/MY DISK/", u"/mnt/b\u00e4ck/"}));
  ASSERT_TRUE(MountRecordReader().read(record, error));
  EXPECT_EQ(record.volumeId, "\\\\?\\Volume{00000103-0000-8000-8000-000000000003}\\");
  EXPECT_EQ(record.deviceName, "/dev/loop4p1");
  const std::string back = "/mnt/b\u00e4ck/";  // UTF-8
  EXPECT_EQ(record.mountPoints, (Strings{"/run/vkbvd-volumes/MY DISK/", back}));
  EXPECT_EQ(record.describe(),
            (Strings{"device: /dev/loop4p1", "mount point: /run/vkbvd-volumes/MY DISK/", "mount point: " + back}));

  RegTool::clearMountedParams();
  ASSERT_TRUE(MountRecordReader().read(record, error));
  EXPECT_TRUE(record.empty());
  EXPECT_TRUE(record.mountPoints.empty());
}

// A store that others could change is not trusted, by the client either.
TEST(MountRecordReader, RefusedStoreIsAnError) {
  const RegStateDir state;
  RegTool::clearMountedParams();
  ASSERT_EQ(chmod(state.store().c_str(), 0777), 0);
  MountRecord record;
  uint32_t error = 0;
  EXPECT_FALSE(MountRecordReader().read(record, error));
  EXPECT_EQ(error, WinError::AccessDenied);
  EXPECT_NE(MountRecordReader::describeError(error).find("access denied"), std::string::npos);
}

TEST(MountRecord, DecodesStringsUpToTheirEnd) {
  // "ab" without its zero, then a stray odd byte.
  EXPECT_EQ(MountRecord::decodeString({'a', 0, 'b', 0, 'c'}), "ab");
  EXPECT_EQ(MountRecord::decodeString({'a', 0, 0, 0, 'b', 0}), "a");
  EXPECT_EQ(MountRecord::decodeStrings({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0, 'x', 0}), (Strings{"a", "b"}));
  EXPECT_EQ(MountRecord::decodeStrings({0, 0, 0, 0}), Strings{});
  EXPECT_EQ(MountRecord::decodeStrings({'a', 0}), Strings{"a"});
  const MountRecord unmounted{"", "/dev/loop0p1", {}};
  EXPECT_EQ(unmounted.describe(),
            (Strings{"device: /dev/loop0p1", "mount point: none (the volume is not mounted anywhere)"}));
}

}  // namespace
