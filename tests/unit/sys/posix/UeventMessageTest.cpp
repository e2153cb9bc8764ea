// Reading the kernel's uevent messages, and the broadcast record made of one.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "common/Guid.h"
#include "common/LittleEndian.h"
#include "sys/DeviceInterfaces.h"
#include "sys/DeviceNotifications.h"
#include "sys/posix/UeventMessage.h"

using sys::DeviceNotifications;
using sys::posix::UeventMessage;
using namespace std::string_literals;

namespace {

using Kind = UeventMessage::Kind;

const std::string kPartitionAdd =
    "add@/devices/virtual/block/loop7/loop7p1\0ACTION=add\0DEVPATH=/devices/virtual/block/loop7/loop7p1\0"
    "SUBSYSTEM=block\0DEVNAME=loop7p1\0DEVTYPE=partition\0PARTN=1\0SEQNUM=4242\0MAJOR=259\0MINOR=0\0"s;

struct Case {
  const char* what;
  std::string bytes;
  Kind kind;
  uint32_t eventType;
  const char* interfacePath;
};

class UeventMessageTest : public ::testing::TestWithParam<Case> {};

TEST_P(UeventMessageTest, ReadsOneMessage) {
  const Case& c = GetParam();
  const UeventMessage message = UeventMessage::parse(c.bytes.data(), c.bytes.size());
  EXPECT_EQ(message.kind, c.kind) << c.what;
  EXPECT_EQ(message.eventType, c.eventType) << c.what;
  EXPECT_EQ(message.interfacePath, c.interfacePath) << c.what;
  EXPECT_EQ(message.reason.empty(), c.kind != Kind::Malformed) << c.what << ": " << message.reason;
}

const char* kLoopPartition = "/sys/devices/virtual/block/loop7/loop7p1";

INSTANTIATE_TEST_SUITE_P(
    Messages, UeventMessageTest,
    ::testing::Values(
        Case{"partition added", kPartitionAdd, Kind::PartitionEvent, DeviceNotifications::DBT_DEVICEARRIVAL,
             kLoopPartition},
        Case{
            "partition removed",
            "remove@/devices/virtual/block/loop7/loop7p1\0ACTION=remove\0DEVPATH=/devices/virtual/block/loop7/loop7p1\0"
            "SUBSYSTEM=block\0DEVTYPE=partition\0"s,
            Kind::PartitionEvent, DeviceNotifications::DBT_DEVICEREMOVECOMPLETE, kLoopPartition},
        Case{"fields in another order",
             "add@/devices/x/sda/sda2\0SUBSYSTEM=block\0DEVTYPE=partition\0DEVPATH=/devices/x/sda/sda2\0ACTION=add\0"s,
             Kind::PartitionEvent, DeviceNotifications::DBT_DEVICEARRIVAL, "/sys/devices/x/sda/sda2"},
        Case{
            "partition changed",
            "change@/devices/virtual/block/loop7/loop7p1\0ACTION=change\0DEVPATH=/devices/virtual/block/loop7/loop7p1\0"
            "SUBSYSTEM=block\0DEVTYPE=partition\0"s,
            Kind::Ignored, 0, ""},
        Case{"whole disk added",
             "add@/devices/virtual/block/loop7\0ACTION=add\0DEVPATH=/devices/virtual/block/loop7\0SUBSYSTEM=block\0"
             "DEVTYPE=disk\0"s,
             Kind::Ignored, 0, ""},
        Case{"no device type",
             "add@/devices/virtual/block/loop7\0ACTION=add\0DEVPATH=/devices/virtual/block/loop7\0SUBSYSTEM=block\0"s,
             Kind::Ignored, 0, ""},
        Case{"another subsystem",
             "add@/devices/virtual/net/tap0\0ACTION=add\0DEVPATH=/devices/virtual/net/tap0\0SUBSYSTEM=net\0"
             "DEVTYPE=partition\0"s,
             Kind::Ignored, 0, ""},
        Case{"udev's own message", "libudev\0\xfe\xed\xca\xfe"s + kPartitionAdd, Kind::Ignored, 0, ""},
        Case{"empty", "", Kind::Malformed, 0, ""},
        Case{"no terminating zero", kPartitionAdd.substr(0, kPartitionAdd.size() - 1), Kind::Malformed, 0, ""},
        Case{"truncated after the header", "add@/devices/virtual/block/loop7/loop7p1\0"s, Kind::Malformed, 0, ""},
        Case{"truncated after the action", kPartitionAdd.substr(0, 52), Kind::Malformed, 0, ""},
        Case{"no header",
             "ACTION=add\0DEVPATH=/devices/virtual/block/loop7/loop7p1\0SUBSYSTEM=block\0DEVTYPE=partition\0"s,
             Kind::Malformed, 0, ""},
        Case{"no action", "add@/devices/b/sda/sda1\0DEVPATH=/devices/b/sda/sda1\0SUBSYSTEM=block\0DEVTYPE=partition\0"s,
             Kind::Malformed, 0, ""},
        Case{"no device path", "add@/devices/b/sda/sda1\0ACTION=add\0SUBSYSTEM=block\0DEVTYPE=partition\0"s,
             Kind::Malformed, 0, ""},
        Case{"device path leaving sysfs",
             "add@/devices/../../etc\0ACTION=add\0DEVPATH=/devices/../../etc\0SUBSYSTEM=block\0DEVTYPE=partition\0"s,
             Kind::Malformed, 0, ""},
        Case{"relative device path",
             "add@devices/b/sda/sda1\0ACTION=add\0DEVPATH=devices/b/sda/sda1\0SUBSYSTEM=block\0DEVTYPE=partition\0"s,
             Kind::Malformed, 0, ""}),
    [](const ::testing::TestParamInfo<Case>& param) {
      std::string name;
      for (const char* c = param.param.what; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return name;
    });

TEST(VolumeInterfaceRecordTest, IsLaidOutAsWindowsLaysItOut) {
  const std::vector<uint8_t> record = sys::posix::volumeInterfaceRecord("/sys/a\xc3\xa9");
  ASSERT_EQ(record.size(), 28u + 2 * 8);
  EXPECT_EQ(readLittleEndian(record.data(), 4), record.size()) << "dbcc_size";
  EXPECT_EQ(readLittleEndian(record.data() + 4, 4), 5u) << "dbcc_devicetype";
  EXPECT_EQ(readLittleEndian(record.data() + 8, 4), 0u) << "dbcc_reserved";
  EXPECT_EQ(Guid::fromBytes(record.data() + 12), sys::DeviceInterfaces::GUID_DEVINTERFACE_VOLUME);
  EXPECT_EQ(readUtf16LittleEndian(record.data() + 28, 8), u"/sys/a\u00e9");
  EXPECT_EQ(readLittleEndian(record.data() + record.size() - 2, 2), 0u) << "the name's terminating zero";
}

}  // namespace
